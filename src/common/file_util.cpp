#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/error.h"

namespace norvex {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now so that a failing close is reported.
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

void write_all(int fd, ByteView data, const std::string& path) {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t w = ::write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw last_os_error(path);
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
}

}  // namespace

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int open_regular_file(const std::string& path, int flags) {
  // O_NONBLOCK only for the open itself: a FIFO would otherwise block it until a peer appears.
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw last_os_error(path);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw os_error(err, path);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Error("not a regular file: " + path);
  }
  if ((flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

Bytes read_file(const std::string& path) {
  Fd fd(open_regular_file(path, O_RDONLY));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw last_os_error(path);
  Bytes out;
  out.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd.get(), buf, sizeof(buf));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw last_os_error(path);
    }
    if (r == 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

void write_file(const std::string& path, ByteView data) {
  Fd fd(open_regular_file(path, O_WRONLY | O_CREAT | O_TRUNC));
  write_all(fd.get(), data, path);
  if (fd.close() != 0) throw last_os_error(path);
}

void write_file_atomic(const std::string& path, ByteView data) {
  const std::string tmp = path + ".tmp";
  write_file(tmp, data);
  rename_file(tmp, path);
}

void create_dirs(const std::string& path) {
  if (path.empty()) return;
  std::string partial;
  partial.reserve(path.size());
  std::size_t pos = 0;
  while (pos <= path.size()) {
    const std::size_t slash = path.find('/', pos);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    partial = path.substr(0, end);
    pos = end + 1;
    if (partial.empty() || partial == "." || partial == "..") continue;
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) throw last_os_error(partial);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw last_os_error(path);
  if (!S_ISDIR(st.st_mode)) throw os_error(ENOTDIR, path);
}

void remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw last_os_error(path);
}

void rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) throw last_os_error(to);
}

std::uint64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw last_os_error(path);
  return static_cast<std::uint64_t>(st.st_size);
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace norvex
