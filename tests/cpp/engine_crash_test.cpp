// A process killed at any moment loses no acknowledged write, and the database always opens.
// A longer run of the same harness: bench/engine_crash_soak.cpp.
#include <gtest/gtest.h>

#include <filesystem>

#include "crash_harness.h"
#include "test_util.h"

namespace norvex::testing {
namespace {

TEST(EngineCrash, KilledWriterKeepsExactlyTheAcknowledgedWrites) {
  // A killed process leaves the same files on a memory file system as on a disk, and there
  // the flushes (msync, renames) cost no disk waits.
  std::error_code ec;
  TempDir dir(std::filesystem::is_directory("/dev/shm", ec)
                  ? "/dev/shm"
                  : std::filesystem::temp_directory_path().string());
  const auto failures = crash::run_kill_series(dir.path(), 20260101, 60, 4);
  for (const auto& f : failures) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace norvex::testing
