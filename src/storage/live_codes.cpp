#include "storage/live_codes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "common/error.h"
#include "common/file_util.h"

namespace norvex::storage {
namespace {

constexpr std::uint64_t kMaxFileBytes =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b, const char* what) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw Error(std::string(what) + " is too large");
  return r;
}

std::uint64_t ceil_div8(std::uint64_t bits) { return bits / 8 + (bits % 8 != 0 ? 1 : 0); }

}  // namespace

std::uint64_t code_slot_size(std::uint64_t d, std::uint64_t b) {
  NVX_CHECK(b >= 1, "code slot size needs b >= 1");
  std::uint64_t padded = 1;
  while (padded < d) {
    if (padded > std::numeric_limits<std::uint64_t>::max() / 2) {
      throw Error("dimension is too large");
    }
    padded *= 2;
  }
  const std::uint64_t m = ceil_div8(checked_mul(padded, b - 1, "code slot size"));
  const std::uint64_t q = ceil_div8(padded);
  return m + q + 9;
}

std::uint64_t raw_slot_size(std::uint64_t d, RerankPrecision precision) {
  switch (precision) {
    case RerankPrecision::kF32:
      return checked_mul(d, 4, "raw vector slot size");
    case RerankPrecision::kF16:
      return checked_mul(d, 2, "raw vector slot size");
    case RerankPrecision::kDisabled:
      return 0;
  }
  return 0;
}

LiveCodesFile::LiveCodesFile(std::string path, std::uint64_t slot_size)
    : path_(std::move(path)), slot_size_(slot_size) {}

LiveCodesFile::LiveCodesFile(LiveCodesFile&& other) noexcept
    : path_(std::move(other.path_)),
      slot_size_(other.slot_size_),
      capacity_(other.capacity_),
      len_(other.len_),
      fd_(std::exchange(other.fd_, -1)),
      map_(std::exchange(other.map_, nullptr)),
      map_len_(std::exchange(other.map_len_, 0)) {}

LiveCodesFile& LiveCodesFile::operator=(LiveCodesFile&& other) noexcept {
  if (this != &other) {
    unmap();
    close_file();
    path_ = std::move(other.path_);
    slot_size_ = other.slot_size_;
    capacity_ = other.capacity_;
    len_ = other.len_;
    fd_ = std::exchange(other.fd_, -1);
    map_ = std::exchange(other.map_, nullptr);
    map_len_ = std::exchange(other.map_len_, 0);
  }
  return *this;
}

LiveCodesFile::~LiveCodesFile() {
  unmap();
  close_file();
}

LiveCodesFile LiveCodesFile::open(std::string path, std::uint64_t slot_size) {
  LiveCodesFile file(std::move(path), slot_size);
  file.ensure_open();  // on any later failure the destructor closes the handle
  struct stat st;
  if (::fstat(file.fd_, &st) != 0) throw last_os_error(file.path_);
  const auto length = static_cast<std::uint64_t>(st.st_size);
  file.capacity_ = slot_size == 0 ? 0 : length / slot_size;
  file.len_ = file.capacity_;
  if (length != 0) file.remap();
  return file;
}

void LiveCodesFile::ensure_open() {
  if (fd_ >= 0) return;
  fd_ = open_regular_file(path_, O_RDWR | O_CREAT);
}

void LiveCodesFile::remap() {
  unmap();
  ensure_open();
  if (capacity_ == 0) return;
  NVX_CHECK(fd_ >= 0, "file handle open");
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw last_os_error(path_);
  const auto length = static_cast<std::uint64_t>(st.st_size);
  if (length == 0) return;  // zero-sized slots: nothing to map
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) throw last_os_error(path_);
  map_ = static_cast<std::uint8_t*>(p);
  map_len_ = length;
}

std::uint64_t LiveCodesFile::alloc_slot() {
  if (map_ == nullptr && len_ < capacity_) {
    ensure_open();
    remap();
  }
  if (len_ >= capacity_) {
    unmap();
    ensure_open();
    const std::uint64_t grown = capacity_ + kSlotGrowth;
    set_file_length(grown);
    capacity_ = grown;
    remap();
  }
  return len_++;
}

std::span<std::uint8_t> LiveCodesFile::get_slot_mut(std::uint64_t slot) {
  if (slot_size_ == 0) return {};
  if (map_ == nullptr) throw Error("mmap not initialized");
  NVX_CHECK(slot < map_len_ / slot_size_, "slot " + std::to_string(slot) + " out of range for " +
                                              path_ + " (" + std::to_string(map_len_ / slot_size_) +
                                              " slots)");
  return {map_ + slot * slot_size_, static_cast<std::size_t>(slot_size_)};
}

std::span<const std::uint8_t> LiveCodesFile::slot(std::uint64_t s) const {
  return const_cast<LiveCodesFile*>(this)->get_slot_mut(s);
}

void LiveCodesFile::truncate_to(std::uint64_t n) {
  unmap();
  ensure_open();
  set_file_length(n);
  capacity_ = n;
  len_ = n;
  remap();
}

void LiveCodesFile::clear() {
  unmap();
  ensure_open();
  set_file_length(0);
  capacity_ = 0;
  len_ = 0;
}

void LiveCodesFile::flush() {
  if (map_ == nullptr) return;
  if (::msync(map_, map_len_, MS_SYNC) != 0) throw last_os_error(path_);
}

void LiveCodesFile::advise_random() {
  if (map_ == nullptr) return;
  (void)::madvise(map_, map_len_, MADV_RANDOM);
}

void LiveCodesFile::release_handles() {
  unmap();
  close_file();
}

void LiveCodesFile::set_len(std::uint64_t n) {
  if (n > capacity_) {
    throw Error(path_ + " holds " + std::to_string(capacity_) + " slots, fewer than the " +
                std::to_string(n) + " in use; the slot file does not match the id table");
  }
  len_ = n;
}

void LiveCodesFile::unmap() {
  if (map_ != nullptr) {
    ::munmap(map_, map_len_);
    map_ = nullptr;
    map_len_ = 0;
  }
}

void LiveCodesFile::close_file() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void LiveCodesFile::set_file_length(std::uint64_t slots) {
  const std::uint64_t bytes = checked_mul(slots, slot_size_, "slot file length");
  if (bytes > kMaxFileBytes) throw Error("slot file length is too large: " + path_);
  while (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
    if (errno != EINTR) throw last_os_error(path_);
  }
}

}  // namespace norvex::storage
