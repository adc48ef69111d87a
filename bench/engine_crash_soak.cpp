// Long kill-and-reopen soak of the engine: `engine_crash_soak [kills] [seed] [rounds] [dir]`
// (defaults 2000, 1, 5, the system temp dir; /dev/shm avoids disk waits). Forks a writer, kills it
// with SIGKILL at random moments, and checks after every kill that the reopened database holds
// exactly the acknowledged writes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/cpp/crash_harness.h"
#include "../tests/cpp/test_util.h"

int main(int argc, char** argv) {
  const int kills = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  norvex::testing::TempDir dir =
      argc > 4 ? norvex::testing::TempDir(argv[4]) : norvex::testing::TempDir();
  int done = 0;
  while (done < kills) {
    const int batch = std::min(100, kills - done);
    const auto failures =
        norvex::testing::crash::run_kill_series(dir.path(), seed + done, batch, rounds);
    if (!failures.empty()) {
      std::printf("FAILED after %d kills (seed %llu): %s\n", done,
                  static_cast<unsigned long long>(seed + done), failures[0].c_str());
      return 1;
    }
    done += batch;
    std::printf("%d kills passed\n", done);
    std::fflush(stdout);
  }
  return 0;
}
