#include "storage/dir_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/error.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using testing::in_child;
using testing::TempDir;

// 0 when acquire throws the in-use Error naming `dir`, 1 when it succeeds, 2 on another error.
int try_acquire(const std::string& dir) {
  try {
    auto lock = DirLock::acquire(dir);
    return 1;
  } catch (const Error& e) {
    return std::string(e.what()) == "database directory " + dir + " is in use by another process"
               ? 0
               : 2;
  }
}

TEST(DirLockTest, SecondProcessIsRefusedWithTheDirectoryNamed) {
  TempDir dir;
  auto lock = DirLock::acquire(dir.path());
  EXPECT_EQ(in_child([&] { return try_acquire(dir.path()); }), 0);
}

TEST(DirLockTest, OpensInOneProcessShareOneLockHowEverThePathIsSpelled) {
  TempDir dir;
  ASSERT_EQ(symlink(dir.path().c_str(), dir.file("alias").c_str()), 0);
  mkdir(dir.file("sub").c_str(), 0777);
  auto a = DirLock::acquire(dir.path());
  auto b = DirLock::acquire(dir.path() + "/./");
  auto c = DirLock::acquire(dir.file("alias"));
  auto d = DirLock::acquire(dir.file("sub") + "/..");
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(a.get(), c.get());
  EXPECT_EQ(a.get(), d.get());
  // A different directory has its own lock.
  auto other = DirLock::acquire(dir.file("sub"));
  EXPECT_NE(other.get(), a.get());
}

TEST(DirLockTest, LockIsReleasedWhenTheLastHolderGoes) {
  TempDir dir;
  auto a = DirLock::acquire(dir.path());
  auto b = DirLock::acquire(dir.path());
  a.reset();
  EXPECT_EQ(in_child([&] { return try_acquire(dir.path()); }), 0);
  b.reset();
  EXPECT_EQ(in_child([&] { return try_acquire(dir.path()); }), 1);
}

TEST(DirLockTest, KilledHolderLeavesNoStaleLock) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    auto lock = DirLock::acquire(dir.path());
    char c = 'x';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_THROW(DirLock::acquire(dir.path()), Error);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_NO_THROW(DirLock::acquire(dir.path()));
  close(ready[0]);
  close(ready[1]);
}

TEST(DirLockTest, ForkedChildCannotUseItsParentsLockNorTakeItAgain) {
  TempDir dir;
  auto lock = DirLock::acquire(dir.path());
  EXPECT_TRUE(lock->owned_by_this_process());
  EXPECT_NO_THROW(lock->check_owner());
  EXPECT_EQ(in_child([&] {
              if (lock->owned_by_this_process()) return 3;
              try {
                lock->check_owner();
                return 4;
              } catch (const Error& e) {
                if (std::string(e.what()).find("fork()") == std::string::npos) return 5;
              }
              return try_acquire(dir.path());
            }),
            0);
  // The child's exit did not release the parent's lock.
  EXPECT_EQ(in_child([&] { return try_acquire(dir.path()); }), 0);
}

TEST(DirLockTest, ChildMayOpenOnceTheParentHasLetGo) {
  TempDir dir;
  auto lock = DirLock::acquire(dir.path());
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    (void)!read(go[0], &c, 1);
    _exit(try_acquire(dir.path()));
  }
  lock.reset();
  char c = 'x';
  ASSERT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  close(go[0]);
  close(go[1]);
}

TEST(DirLockTest, MissingDirectoryIsAnErrorWithTheSystemText) {
  TempDir dir;
  try {
    DirLock::acquire(dir.file("missing"));
    FAIL() << "expected an Error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
  }
}

TEST(DirLockTest, FifoInPlaceOfTheLockFileIsAnErrorNotAHang) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file(kLockFileName).c_str(), 0666), 0);
  EXPECT_THROW(DirLock::acquire(dir.path()), Error);
}

TEST(DirLockTest, LockFileIsNotInheritedAcrossExec) {
  TempDir dir;
  auto lock = DirLock::acquire(dir.path());
  // A program started by exec (here a shell) finds no descriptor on the lock file.
  std::string cmd =
      "ls -l /proc/$$/fd | grep -q '" + dir.file(kLockFileName) + "' && exit 1; exit 0";
  EXPECT_EQ(in_child([&] {
              execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
              return 97;
            }),
            0);
}

}  // namespace
}  // namespace norvex::storage
