// Damage the file checks cannot see at open still ends in an Error, never a Fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "common/file_util.h"
#include "engine_test_util.h"

namespace norvex::testing {
namespace {

constexpr std::size_t kD = 8;

TEST(EngineDamageTest, IdListedUnderTwoSlotsFailsTheCompactingFlushWithAnError) {
  TempDir dir;
  const OpenOptions o = options_for(dir.path(), kD);
  std::mt19937_64 rng(5);
  {
    auto e = open_engine(o);
    e->insert_with_document("ab", random_vector(rng, kD), {}, std::nullopt);
    e->insert_with_document("ac", random_vector(rng, kD), {}, std::nullopt);
    e->close();
  }
  // A flipped byte turns "ac" into a second "ab" (the stored hashes stay as they were).
  Bytes ids = read_file(dir.file("live_ids.bin"));
  const Bytes ac = {'a', 'c'};
  auto at = std::search(ids.begin(), ids.end(), ac.begin(), ac.end());
  ASSERT_NE(at, ids.end());
  *(at + 1) = 'b';
  write_file(dir.file("live_ids.bin"), ids);

  auto e = open_engine(o);
  e->insert_with_document("x", random_vector(rng, kD), {}, std::nullopt);
  e->delete_id("x");  // the next flush compacts the slot files
  try {
    e->flush_wal_to_segment();
    FAIL() << "expected an Error";
  } catch (const Error& err) {
    EXPECT_NE(std::string(err.what()).find("damaged"), std::string::npos) << err.what();
  }
}

TEST(EngineDamageTest, PathWithANulByteIsRefusedBeforeAnythingIsCreated) {
  TempDir dir;
  for (const std::string& bad : {dir.file("db") + std::string("\0x", 2)}) {
    OpenOptions o = options_for(bad, kD);
    EXPECT_THROW(open_engine(o), Error);
    o = options_for(dir.file("db"), kD);
    o.uri = bad;
    EXPECT_THROW(open_engine(o), Error);
  }
  EXPECT_FALSE(path_exists(dir.file("db")));
}

}  // namespace
}  // namespace norvex::testing
