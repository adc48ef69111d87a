#include "common/thread_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "common/error.h"

namespace norvex {
namespace {

TEST(ThreadPool, MapKeepsInputOrderForEveryGrain) {
  for (std::size_t grain : {1u, 3u, 64u, 1000u}) {
    const auto out = parallel_map<std::size_t>(1000, grain, [](std::size_t i) { return i * i; });
    ASSERT_EQ(out.size(), 1000u);
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], i * i) << "grain " << grain;
  }
}

TEST(ThreadPool, RethrowsLowestFailingChunkOnCaller) {
  std::atomic<int> ran{0};
  try {
    parallel_for(100, 1, [&](std::size_t i) {
      ran.fetch_add(1);
      if (i == 17 || i == 80) throw Error("boom " + std::to_string(i));
    });
    FAIL() << "expected an exception";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "boom 17");
  }
  EXPECT_EQ(ran.load(), 100);  // every chunk still ran
}

TEST(ThreadPool, FaultKeepsItsType) {
  EXPECT_THROW(parallel_for(8, 1, [](std::size_t) { NVX_FAULT("invariant"); }), Fault);
}

TEST(ThreadPool, NestedCallsRunWithoutDeadlock) {
  std::atomic<std::size_t> total{0};
  parallel_for(
      16, 1, [&](std::size_t) { parallel_for(16, 1, [&](std::size_t j) { total.fetch_add(j); }); });
  EXPECT_EQ(total.load(), 16u * 120u);
}

TEST(ThreadPool, WorksInForkedChild) {
  parallel_for(64, 1, [](std::size_t) {});  // start the pool in the parent
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::atomic<int> n{0};
    parallel_for(64, 1, [&](std::size_t) { n.fetch_add(1); });
    _exit(n.load() == 64 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace norvex
