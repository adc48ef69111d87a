// A process killed at any moment loses no acknowledged write, and the database always opens.
// A longer run of the same harness: bench/engine_crash_soak.cpp.
#include <gtest/gtest.h>

#include "crash_harness.h"
#include "test_util.h"

namespace norvex::testing {
namespace {

TEST(EngineCrash, KilledWriterKeepsExactlyTheAcknowledgedWrites) {
  TempDir dir;
  const auto failures = crash::run_kill_series(dir.path(), 20260101, 30, 3);
  for (const auto& f : failures) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace norvex::testing
