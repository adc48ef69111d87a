// An owned POSIX file handle with an 8192-byte write buffer, for files written as a stream of
// small pieces (log frames, metadata entries). Nothing is written to the file until the buffer
// fills or flush() is called; the destructor closes the handle WITHOUT flushing, so a writer
// abandoned on an error path never adds a partial tail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bytes.h"

namespace norvex {

class BufferedFile {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // open(2) with `flags` (O_CLOEXEC is added) and mode 0666 before the umask. Throws Error with
  // the system's text and the path.
  static BufferedFile open(const std::string& path, int flags);

  BufferedFile(BufferedFile&& other) noexcept;
  BufferedFile& operator=(BufferedFile&& other) noexcept;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;
  ~BufferedFile();

  // Buffers `data`; writes through when the buffer would overflow. Throws Error; after a failure
  // the buffer content is unspecified and should be dropped with discard().
  void write(ByteView data);
  // Writes out the buffer. Throws Error.
  void flush();
  // fsync(2) of the file's data (the buffer is not flushed first). Throws Error.
  void sync();
  // Drops whatever is buffered.
  void discard() { used_ = 0; }
  // Current length of the file (fstat). Throws Error.
  std::uint64_t size() const;
  // Cuts the file to `length` bytes (ftruncate). Throws Error.
  void truncate_to(std::uint64_t length);
  // Closes the handle now, reporting a failing close. The buffer must have been flushed.
  void close();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  BufferedFile(int fd, std::string path);

  void write_all(const std::uint8_t* p, std::size_t n);

  int fd_ = -1;
  std::string path_;
  Bytes buffer_;
  std::size_t used_ = 0;
};

}  // namespace norvex
