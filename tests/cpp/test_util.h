// Helpers shared by the C++ tests.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace norvex::testing {

// A fresh directory under the system temp dir, removed with everything in it at scope exit.
class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}
  // Under `base` instead of the system temp dir.
  explicit TempDir(const std::string& base) {
    std::string tmpl = (std::filesystem::path(base) / "norvex-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs `body` in a forked child and returns its exit code (the child's verdict).
inline int in_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace norvex::testing
