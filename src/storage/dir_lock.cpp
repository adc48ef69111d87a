#include "storage/dir_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "common/error.h"
#include "common/file_util.h"

namespace norvex::storage {

struct DirLockRegistry {
  struct Entry {
    std::weak_ptr<DirLock> lock;
    DirLock* object;  // to hand the descriptor over while `lock` is expiring
    int fd;
  };

  std::mutex mutex;
  std::unordered_map<std::string, Entry> entries;

  static DirLockRegistry& get() {
    // Never destroyed: DirLocks may outlive static destruction (held by Python objects).
    static auto* registry = new DirLockRegistry;
    return *registry;
  }

  // The child of a fork closes its copies of the lock descriptors (the lock stays with the
  // parent) and forgets every entry. The mutex is held across fork, so the map is consistent.
  static void install_fork_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
      pthread_atfork([] { get().mutex.lock(); }, [] { get().mutex.unlock(); },
                     [] {
                       auto& r = get();
                       for (auto& [path, entry] : r.entries) {
                         if (entry.fd >= 0) ::close(entry.fd);
                       }
                       r.entries.clear();
                       r.mutex.unlock();
                     });
    });
  }
};

namespace {

std::string real_path_of(const std::string& dir) {
  char* resolved = ::realpath(dir.c_str(), nullptr);
  if (resolved == nullptr) throw last_os_error(dir);
  std::string out(resolved);
  ::free(resolved);
  return out;
}

// Opens and locks the lock file; -1 when the file system has no flock.
int lock_file(const std::string& dir) {
  const std::string path = join_path(dir, kLockFileName);
  // A FIFO planted as the lock file would block a plain open.
  const int fd = open_regular_file(path, O_RDONLY | O_CREAT);
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return fd;
  const int err = errno;
  ::close(fd);
  if (err == EWOULDBLOCK) {
    throw Error("database directory " + dir + " is in use by another process");
  }
  if (err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS) return -1;
  throw os_error(err, path);
}

}  // namespace

DirLock::DirLock(std::string dir, std::string real_path, int fd)
    : dir_(std::move(dir)), real_path_(std::move(real_path)), fd_(fd), owner_(::getpid()) {}

std::shared_ptr<DirLock> DirLock::acquire(const std::string& dir) {
  DirLockRegistry::install_fork_handlers();
  std::string real = real_path_of(dir);
  auto& registry = DirLockRegistry::get();
  std::lock_guard guard(registry.mutex);
  auto it = registry.entries.find(real);
  int fd = -1;
  if (it != registry.entries.end()) {
    if (auto held = it->second.lock.lock()) return held;
    // The last holder is being destroyed and waits for the mutex: take its descriptor over
    // instead of locking the file a second time (which would conflict with ourselves).
    fd = it->second.fd;
    it->second.object->fd_ = -1;
    registry.entries.erase(it);
  } else {
    fd = lock_file(dir);
  }
  std::shared_ptr<DirLock> lock(new DirLock(dir, real, fd));
  registry.entries.emplace(real, DirLockRegistry::Entry{lock, lock.get(), fd});
  return lock;
}

DirLock::~DirLock() {
  auto& registry = DirLockRegistry::get();
  std::lock_guard guard(registry.mutex);
  auto it = registry.entries.find(real_path_);
  if (it != registry.entries.end() && it->second.object == this) registry.entries.erase(it);
  // In a forked child the descriptor was closed at fork; its number may be reused since.
  if (fd_ >= 0 && owner_ == ::getpid()) ::close(fd_);
}

bool DirLock::owned_by_this_process() const { return owner_ == ::getpid(); }

void DirLock::check_owner() const {
  if (owned_by_this_process()) return;
  throw Error("database directory " + dir_ + " was opened by process " + std::to_string(owner_) +
              "; a process created by fork() must open the database itself");
}

}  // namespace norvex::storage
