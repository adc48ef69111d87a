#include "storage/wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/error.h"
#include "common/file_util.h"
#include "common/thread_pool.h"

namespace norvex::storage {
namespace {

constexpr std::uint8_t kMagic[4] = {'N', 'V', 'W', 'V'};
constexpr std::size_t kHeaderSize = 8;
constexpr std::uint32_t kOldestVersion = 4;

Bytes header_bytes() {
  Bytes h(kMagic, kMagic + sizeof(kMagic));
  append_le<std::uint32_t>(h, Wal::kVersion);
  return h;
}

// Sequential reads of a log, from a file through a buffer or from bytes in memory, telling
// end of data apart from read errors.
class LogReader {
 public:
  enum class Status { kOk, kEof, kError };

  LogReader(int fd, std::uint64_t file_size) : fd_(fd), unread_(file_size), buffer_(65536) {}
  explicit LogReader(ByteView data) : unread_(data.size()), window_(data) {}

  // Bytes not consumed yet (of a file: as of its length when replay started).
  std::uint64_t remaining() const { return unread_; }
  int error() const { return error_; }

  Status read_exact(std::uint8_t* dst, std::size_t n) {
    while (n > 0) {
      if (pos_ == window_.size()) {
        const Status s = fill();
        if (s != Status::kOk) return s;
      }
      const std::size_t take = std::min(n, window_.size() - pos_);
      std::memcpy(dst, window_.data() + pos_, take);
      pos_ += take;
      dst += take;
      n -= take;
      unread_ = take > unread_ ? 0 : unread_ - take;
    }
    return Status::kOk;
  }

 private:
  Status fill() {
    if (fd_ < 0) return Status::kEof;
    for (;;) {
      const ssize_t r = ::read(fd_, buffer_.data(), buffer_.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return Status::kError;
      }
      if (r == 0) return Status::kEof;
      window_ = ByteView(buffer_.data(), static_cast<std::size_t>(r));
      pos_ = 0;
      return Status::kOk;
    }
  }

  int fd_ = -1;
  std::uint64_t unread_;
  Bytes buffer_;
  ByteView window_;
  std::size_t pos_ = 0;
  int error_ = 0;
};

class ReadOnlyFd {
 public:
  explicit ReadOnlyFd(const std::string& path) : fd_(open_regular_file(path, O_RDONLY)) {}
  ~ReadOnlyFd() { ::close(fd_); }
  ReadOnlyFd(const ReadOnlyFd&) = delete;
  ReadOnlyFd& operator=(const ReadOnlyFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void WalEntry::encode(RecordWriter& w) const {
  w.put_string(id);
  w.put_u16_seq(mse_indices);
  w.put_bytes(qjl_bits);
  w.put_f32(gamma);
  w.put_f32(norm);
  w.put_string(metadata_json);
  w.put_bool(is_deleted);
}

WalEntry WalEntry::decode(RecordReader& r) {
  WalEntry e;
  e.id = r.get_string();
  e.mse_indices = r.get_u16_seq();
  e.qjl_bits = r.get_bytes();
  e.gamma = r.get_f32();
  e.norm = r.get_f32();
  e.metadata_json = r.get_string();
  e.is_deleted = r.get_bool();
  return e;
}

void WalEntryPacked::encode(RecordWriter& w) const {
  w.put_string(id);
  w.put_bytes(packed_mse);
  w.put_bytes(qjl_bits);
  w.put_f32(gamma);
  w.put_f32(norm);
  w.put_string(metadata_json);
  w.put_bool(is_deleted);
}

WalEntryPacked WalEntryPacked::decode(RecordReader& r) {
  WalEntryPacked e;
  e.id = r.get_string();
  e.packed_mse = r.get_bytes();
  e.qjl_bits = r.get_bytes();
  e.gamma = r.get_f32();
  e.norm = r.get_f32();
  e.metadata_json = r.get_string();
  e.is_deleted = r.get_bool();
  return e;
}

Wal Wal::open(const std::string& path) {
  BufferedFile file = BufferedFile::open(path, O_WRONLY | O_CREAT | O_APPEND);
  if (file.size() == 0) {
    file.write(header_bytes());
    file.flush();
  }
  return Wal(path, std::move(file));
}

void Wal::set_quantizer(std::shared_ptr<const quantizer::ProdQuantizer> quantizer) {
  quantizer_ = std::move(quantizer);
}

WalEntryPacked WalEntryPacked::of(const WalEntry& e, const quantizer::ProdQuantizer* quantizer) {
  WalEntryPacked packed;
  packed.id = e.id;
  if (!e.is_deleted && !e.mse_indices.empty()) {
    packed.packed_mse = quantizer->pack_mse_indices(e.mse_indices);
  }
  packed.qjl_bits = e.qjl_bits;
  packed.gamma = e.gamma;
  packed.norm = e.norm;
  packed.metadata_json = e.metadata_json;
  packed.is_deleted = e.is_deleted;
  return packed;
}

Bytes Wal::frame(const WalEntry& e) const {
  if (!e.is_deleted && !e.mse_indices.empty()) {
    NVX_CHECK(quantizer_ != nullptr, "WAL entry with indices appended without a quantizer");
    NVX_CHECK(e.mse_indices.size() == quantizer_->n,
              "WAL entry has " + std::to_string(e.mse_indices.size()) + " indices, expected " +
                  std::to_string(quantizer_->n));
  }
  RecordWriter w;
  w.put_u64(0);  // the length, filled in below
  WalEntryPacked::of(e, quantizer_.get()).encode(w);
  Bytes out = w.take();
  store_le<std::uint64_t>(out.data(), out.size() - 8);
  append_le<std::uint32_t>(out, crc32(out));
  return out;
}

std::vector<Bytes> Wal::frames(std::span<const WalEntry> entries) const {
  // Packing and the CRC dominate an append: build the frames on the pool.
  constexpr std::size_t kGrain = 64;
  return parallel_map<Bytes>(entries.size(), kGrain,
                             [&](std::size_t i) { return frame(entries[i]); });
}

void Wal::append_batch(std::span<const WalEntry> entries, bool sync) {
  // Every frame is built (and every entry checked) before any byte is written.
  const std::vector<Bytes> built = frames(entries);
  std::vector<ByteView> views(built.begin(), built.end());
  append_frames(views, sync);
}

void Wal::append_frames(std::span<const ByteView> frames, bool sync) {
  const std::uint64_t start = file_.size();
  try {
    // One large write instead of a system call per buffer-full.
    std::size_t total = 0;
    for (ByteView f : frames) total += f.size();
    Bytes all;
    all.reserve(total);
    for (ByteView f : frames) all.insert(all.end(), f.begin(), f.end());
    file_.write(all);
    file_.flush();
    if (sync) file_.sync();
  } catch (...) {
    // Cut the batch off again: a torn frame would hide every later frame from replay, and a
    // batch reported as failed must not come back on the next open.
    file_.discard();
    try {
      file_.truncate_to(start);
    } catch (const Error&) {
      // Keep the original failure; replay stops at a torn tail anyway.
    }
    throw;
  }
}

namespace {

std::vector<WalEntry> replay_from(LogReader& reader, const std::string& path,
                                  const quantizer::ProdQuantizer* quantizer) {
  std::vector<WalEntry> entries;
  std::uint8_t word[8];
  if (reader.read_exact(word, 4) != LogReader::Status::kOk) return entries;
  if (std::memcmp(word, kMagic, sizeof(kMagic)) != 0) return entries;
  switch (reader.read_exact(word, 4)) {
    case LogReader::Status::kOk:
      break;
    case LogReader::Status::kEof:
      throw Error("failed to fill whole buffer");
    case LogReader::Status::kError:
      throw os_error(reader.error(), path);
  }
  const std::uint32_t version = load_le<std::uint32_t>(word);
  if (version < kOldestVersion || version > Wal::kVersion) {
    throw Error("Unsupported WAL version " + std::to_string(version) +
                " (supported: 4\u20135). The WAL format changed; delete wal.log to start fresh.");
  }
  const bool has_crc = version >= 5;

  for (;;) {
    const LogReader::Status s = reader.read_exact(word, 8);
    if (s == LogReader::Status::kEof) break;
    if (s == LogReader::Status::kError) throw os_error(reader.error(), path);
    const std::uint64_t len = load_le<std::uint64_t>(word);
    // A corrupt length must not turn into an allocation.
    if (len > reader.remaining()) break;
    Bytes payload(static_cast<std::size_t>(len));
    if (reader.read_exact(payload.data(), payload.size()) != LogReader::Status::kOk) break;
    if (has_crc) {
      std::uint8_t stored[4];
      if (reader.read_exact(stored, 4) != LogReader::Status::kOk) break;
      const std::uint32_t crc = crc32(payload, crc32(ByteView(word, 8)));
      if (crc != load_le<std::uint32_t>(stored)) {
        std::fprintf(stderr, "WAL CRC32 mismatch at entry %zu; truncating replay here.\n",
                     entries.size());
        break;
      }
    }
    WalEntryPacked packed;
    try {
      RecordReader r(payload);
      packed = WalEntryPacked::decode(r);
    } catch (const DecodeError&) {
      break;
    }
    WalEntry e;
    if (!packed.is_deleted && quantizer != nullptr && !packed.packed_mse.empty()) {
      // A code of the wrong shape cannot be unpacked or applied: it ends the replay like any
      // other undecodable frame.
      if (packed.packed_mse.size() != quantizer->packed_mse_bytes() ||
          packed.qjl_bits.size() != quantizer->qjl_bytes()) {
        break;
      }
      e.mse_indices.assign(static_cast<std::size_t>(quantizer->n), 0);
      quantizer->unpack_mse_indices(packed.packed_mse, e.mse_indices);
    }
    e.id = std::move(packed.id);
    e.qjl_bits = std::move(packed.qjl_bits);
    e.gamma = packed.gamma;
    e.norm = packed.norm;
    e.metadata_json = std::move(packed.metadata_json);
    e.is_deleted = packed.is_deleted;
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace

std::vector<WalEntry> Wal::replay(const std::string& path,
                                  const quantizer::ProdQuantizer* quantizer) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  const ReadOnlyFd fd(path);
  if (::fstat(fd.get(), &st) != 0) throw last_os_error(path);
  LogReader reader(fd.get(), static_cast<std::uint64_t>(st.st_size));
  return replay_from(reader, path, quantizer);
}

std::vector<WalEntry> Wal::replay_bytes(ByteView log, const quantizer::ProdQuantizer* quantizer) {
  LogReader reader(log);
  return replay_from(reader, "wal.log", quantizer);
}

void Wal::truncate() {
  // Rewritten in place rather than renamed over: the append handle must keep pointing at
  // this file, and every state a crash can leave (old log, empty file, bare header) is a valid
  // log (an empty file gets its header on the next open).
  BufferedFile rewrite = BufferedFile::open(path_, O_WRONLY | O_CREAT | O_TRUNC);
  rewrite.write(header_bytes());
  rewrite.flush();
  rewrite.close();
}

bool Wal::detached() const {
  struct stat open_file;
  struct stat named;
  if (::fstat(file_.fd(), &open_file) != 0 || open_file.st_nlink == 0) return true;
  if (::stat(path_.c_str(), &named) != 0) return true;
  return named.st_dev != open_file.st_dev || named.st_ino != open_file.st_ino;
}

void Wal::reset() {
  // The new log is complete under a temporary name, with the append handle already open on it,
  // before the rename replaces the old one: a crash leaves either every old entry or none, and
  // nothing can fail once the rename succeeded.
  const std::string tmp = path_ + ".tmp";
  BufferedFile next = BufferedFile::open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
  try {
    next.write(header_bytes());
    next.flush();
    rename_file(tmp, path_);
  } catch (const Error&) {
    try {
      remove_file(tmp);
    } catch (const Error&) {
      // A leftover temporary file is overwritten by the next reset.
    }
    throw;
  }
  try {
    file_ = BufferedFile::open(path_, O_WRONLY | O_APPEND);  // the same file, by its name
  } catch (const Error&) {
    file_ = std::move(next);
  }
}

}  // namespace norvex::storage
