// One process per database directory. Two processes writing one directory would corrupt it
// silently (both append to the log and write the same slots), so an open database holds an
// advisory lock: flock(LOCK_EX) on the file LOCK inside the directory. The kernel drops the lock
// when the holding process dies, however it dies, so no stale lock survives a crash.
//
// Within one process every open of a directory shares one lock: a process-wide registry keyed by
// the directory's real path hands out the same DirLock (reference counted), and the lock file is
// closed, releasing the lock, when its last holder goes.
//
// fork(): a child inherits the parent's descriptors, and a flock lock belongs to the open file
// description, which parent and child would then share. So the child closes its copies of every
// lock descriptor right after fork (the parent keeps the lock) and starts with an empty registry:
// a database the child opens itself contends for the lock like any other process, and a
// DirLock the child inherited reports through check_owner() that it is not the child's.
//
// The lock file is opened with O_CLOEXEC, so programs started by exec never see it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace norvex::storage {

inline constexpr const char* kLockFileName = "LOCK";

class DirLock {
 public:
  // Takes the lock of the existing directory `dir` for this process, or returns the lock this
  // process already holds on it (however the path is spelled). Throws Error "database directory
  // {dir} is in use by another process" when another process holds it, or the system's error
  // when the directory or its lock file cannot be opened. On a file system without flock the
  // directory opens unlocked.
  static std::shared_ptr<DirLock> acquire(const std::string& dir);

  // The last holder in the process closes the lock file, which releases the lock.
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

  // Whether the calling process took this lock (false in a child created by fork()).
  bool owned_by_this_process() const;
  // Throws Error unless owned_by_this_process(): a forked child must not write a database its
  // parent opened; it has to open the database itself.
  void check_owner() const;

  const std::string& dir() const { return dir_; }
  const std::string& real_path() const { return real_path_; }

 private:
  DirLock(std::string dir, std::string real_path, int fd);

  std::string dir_;        // as the first opener spelled it; named in messages
  std::string real_path_;  // registry key
  int fd_;                 // -1 when unlocked (no flock on this file system) or handed over
  pid_t owner_;

  friend struct DirLockRegistry;
};

}  // namespace norvex::storage
