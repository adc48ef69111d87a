// A database directory may hold a FIFO or a device where a file belongs (damage, or a hostile
// directory): opening it must fail with an Error instead of blocking on the FIFO or reading
// /dev/zero without end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "common/file_util.h"
#include "engine_test_util.h"

namespace norvex::testing {
namespace {

constexpr std::size_t kD = 8;

enum class NonRegular { kFifo, kDevZero };

void plant(const std::string& path, NonRegular kind) {
  remove_file(path);
  if (kind == NonRegular::kFifo) {
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
  } else {
    ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
  }
}

TEST(NonRegularFilesTest, FileHelpersRefuseFifosAndDevices) {
  for (NonRegular kind : {NonRegular::kFifo, NonRegular::kDevZero}) {
    TempDir dir;
    const std::string p = dir.file("f");
    plant(p, kind);
    EXPECT_THROW(read_file(p), Error);
    EXPECT_THROW(write_file(p, as_bytes("x")), Error);
    EXPECT_THROW(open_regular_file(p, O_RDONLY), Error);
  }
}

TEST(NonRegularFilesTest, DatabaseWithAFifoOrDeviceInPlaceOfAFileFailsToOpen) {
  for (const char* name : {"wal.log", "manifest.json", "quantizer.bin", "metadata.bin",
                           "live_ids.bin", "live_codes.bin", "live_vectors.bin"}) {
    for (NonRegular kind : {NonRegular::kFifo, NonRegular::kDevZero}) {
      TempDir dir;
      OpenOptions o = options_for(dir.path(), kD);
      o.rerank_precision = RerankPrecision::kF32;
      {
        auto e = open_engine(o);
        std::mt19937_64 rng(1);
        e->insert_with_document("a", random_vector(rng, kD), {}, std::nullopt);
        e->close();
      }
      plant(dir.file(name), kind);
      try {
        auto e = open_engine(o);
        // A file the engine recreates (or does without) may open; it must then work.
        EXPECT_LE(e->count_with_filter(std::nullopt), 1u) << name;
      } catch (const Error& err) {
        SUCCEED() << err.what();
      }
    }
  }
}

}  // namespace
}  // namespace norvex::testing
