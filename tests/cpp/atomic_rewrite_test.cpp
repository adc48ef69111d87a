// A process killed while rewriting its state files leaves each file whole: old or new.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"
#include "storage/id_pool.h"
#include "storage/manifest.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

Manifest manifest_with(std::uint64_t count) {
  Manifest m;
  m.d = 64;
  m.b = 4;
  m.seed = 42;
  m.vector_count = count;
  m.storage_uri = "/db";
  return m;
}

// Large enough that writing it takes a while, so kills land mid-write.
IdPool pool_with(int ids, int tag) {
  IdPool pool;
  for (int i = 0; i < ids; ++i) pool.insert("id-" + std::to_string(tag) + "-" + std::to_string(i));
  return pool;
}

[[noreturn]] void rewrite_forever(const std::string& dir, StorageBackend& backend,
                                  const IdPool (&pools)[2]) {
  try {
    for (std::uint64_t round = 0;; ++round) {
      persist_manifest(manifest_with(round), dir, backend);
      save_id_pool(pools[round % 2], dir, backend);
    }
  } catch (...) {
    _exit(1);
  }
}

TEST(AtomicRewrite, KilledWriterLeavesWholeFiles) {
  TempDir tmp;
  const std::string dir = tmp.file("db");
  create_dirs(dir);
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  const IdPool pools[2] = {pool_with(6000, 0), pool_with(4000, 1)};
  persist_manifest(manifest_with(0), dir, *backend);
  save_id_pool(pools[0], dir, *backend);

  std::mt19937 rng(5);
  std::uniform_int_distribution<int> delay_us(0, 8000);
  for (int kill = 0; kill < 50; ++kill) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) rewrite_forever(dir, *backend, pools);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

    for (const std::string& root : {dir, tmp.file("remote")}) {
      const Manifest m = Manifest::load(join_path(root, "manifest.json"));
      EXPECT_EQ(m.d, 64u);
      const IdPool pool = IdPool::decode(read_file(join_path(root, "live_ids.bin")));
      ASSERT_TRUE(pool.live_count() == 6000 || pool.live_count() == 4000) << kill;
    }
  }
}

}  // namespace
}  // namespace norvex::storage
