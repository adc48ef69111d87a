#include "common/buffered_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/error.h"
#include "common/file_util.h"

namespace norvex {

BufferedFile BufferedFile::open(const std::string& path, int flags) {
  return BufferedFile(open_regular_file(path, flags), path);
}

BufferedFile::BufferedFile(int fd, std::string path)
    : fd_(fd), path_(std::move(path)), buffer_(kBufferSize) {}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)) {}

BufferedFile& BufferedFile::operator=(BufferedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    buffer_ = std::move(other.buffer_);
    used_ = std::exchange(other.used_, 0);
  }
  return *this;
}

BufferedFile::~BufferedFile() {
  if (fd_ >= 0) ::close(fd_);
}

void BufferedFile::write_all(const std::uint8_t* p, std::size_t n) {
  NVX_CHECK(fd_ >= 0, "BufferedFile used after close");
  while (n > 0) {
    const ssize_t w = ::write(fd_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw last_os_error(path_);
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void BufferedFile::write(ByteView data) {
  if (data.empty()) return;  // an empty view may carry a null pointer, which memcpy must not get
  if (data.size() > kBufferSize - used_) {
    flush();
    // A piece at least as large as the buffer goes straight to the file.
    if (data.size() >= kBufferSize) {
      write_all(data.data(), data.size());
      return;
    }
  }
  std::memcpy(buffer_.data() + used_, data.data(), data.size());
  used_ += data.size();
}

void BufferedFile::flush() {
  if (used_ == 0) return;
  const std::size_t n = used_;
  used_ = 0;
  write_all(buffer_.data(), n);
}

void BufferedFile::sync() {
  NVX_CHECK(fd_ >= 0, "BufferedFile used after close");
  if (::fsync(fd_) != 0) throw last_os_error(path_);
}

std::uint64_t BufferedFile::size() const {
  NVX_CHECK(fd_ >= 0, "BufferedFile used after close");
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw last_os_error(path_);
  return static_cast<std::uint64_t>(st.st_size);
}

void BufferedFile::truncate_to(std::uint64_t length) {
  NVX_CHECK(fd_ >= 0, "BufferedFile used after close");
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) throw last_os_error(path_);
}

void BufferedFile::close() {
  NVX_CHECK(used_ == 0, "BufferedFile closed with unflushed data");
  if (fd_ < 0) return;
  const int rc = ::close(std::exchange(fd_, -1));
  if (rc != 0) throw last_os_error(path_);
}

}  // namespace norvex
