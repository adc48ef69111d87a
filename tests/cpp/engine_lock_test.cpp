// The engine holds its directory's lock for its lifetime: a second process cannot open the
// directory, engines of one process share it, and a forked child cannot write through an
// engine it inherited.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "engine_test_util.h"
#include "storage/dir_lock.h"

namespace norvex::testing {
namespace {

constexpr std::size_t kD = 8;

TEST(EngineLockTest, SecondProcessCannotOpenTheDirectory) {
  TempDir dir;
  auto engine = open_engine(options_for(dir.path(), kD));
  EXPECT_EQ(in_child([&] {
              try {
                open_engine(options_for(dir.path(), kD));
                return 1;
              } catch (const Error& e) {
                return std::string(e.what()) ==
                               "database directory " + dir.path() + " is in use by another process"
                           ? 0
                           : 2;
              }
            }),
            0);
  engine.reset();
  EXPECT_EQ(in_child([&] {
              open_engine(options_for(dir.path(), kD));
              return 0;
            }),
            0);
}

TEST(EngineLockTest, EnginesOfOneProcessShareTheDirectory) {
  TempDir dir;
  std::mt19937_64 rng(1);
  auto a = open_engine(options_for(dir.path(), kD));
  a->insert_with_document("x", random_vector(rng, kD), {}, std::nullopt);
  a->close();
  auto b = open_engine(options_for(dir.path(), kD));
  EXPECT_TRUE(b->get("x").has_value());
  a.reset();
  // b still holds the lock after a is gone.
  EXPECT_EQ(in_child([&] {
              try {
                open_engine(options_for(dir.path(), kD));
                return 1;
              } catch (const Error&) {
                return 0;
              }
            }),
            0);
}

TEST(EngineLockTest, ForkedChildCannotWriteThroughAnInheritedEngine) {
  TempDir dir;
  std::mt19937_64 rng(2);
  auto engine = open_engine(options_for(dir.path(), kD));
  engine->insert_with_document("before", random_vector(rng, kD), {}, std::nullopt);
  const auto v = random_vector(rng, kD);
  EXPECT_EQ(in_child([&] {
              // Reads of the inherited engine still work; writes are refused.
              if (!engine->get("before")) return 3;
              try {
                engine->insert_with_document("from-child", v, {}, std::nullopt);
                return 1;
              } catch (const Error& e) {
                return std::string(e.what()).find("fork()") != std::string::npos ? 0 : 2;
              }
            }),
            0);
  engine->insert_with_document("after", v, {}, std::nullopt);
  engine->close();
  engine.reset();
  auto reopened = open_engine(options_for(dir.path(), kD));
  EXPECT_FALSE(reopened->get("from-child").has_value());
  EXPECT_TRUE(reopened->get("before").has_value());
  EXPECT_TRUE(reopened->get("after").has_value());
}

}  // namespace
}  // namespace norvex::testing
