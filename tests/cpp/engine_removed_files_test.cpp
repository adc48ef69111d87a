// Files removed while a database is open: the engine notices at the next append or flush and
// puts them back from what it holds, so that no acknowledged write depends on a removed file.
#include <gtest/gtest.h>

#include <random>

#include "common/file_util.h"
#include "engine_test_util.h"

namespace norvex::testing {
namespace {

constexpr std::size_t kD = 8;

struct RemovedCase {
  const char* name;
  bool close_before_reopen;  // false: dropped without close, as a killed process leaves it
};

TEST(EngineRemovedFilesTest, AcknowledgedWritesSurviveAFileRemovedWhileOpen) {
  const RemovedCase cases[] = {
      {"wal.log", false},       {"wal.log", true},          {"live_codes.bin", false},
      {"live_codes.bin", true}, {"live_vectors.bin", true}, {"live_vectors.bin", false},
      {"quantizer.bin", true},  {"quantizer.bin", false},   {"metadata.bin", true},
      {"live_ids.bin", true},   {"manifest.json", false},
  };
  for (const RemovedCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.close_before_reopen ? " close" : " crash"));
    TempDir dir;
    OpenOptions o = options_for(dir.path(), kD);
    o.rerank_precision = RerankPrecision::kF32;
    o.wal_flush_threshold = 1000;
    std::mt19937_64 rng(9);
    std::vector<std::vector<double>> v;
    for (int i = 0; i < 6; ++i) v.push_back(random_vector(rng, kD));
    {
      auto e = open_engine(o);
      for (int i = 0; i < 3; ++i) {
        e->insert_with_document(id_of(i), v[i], {{"i", i}}, std::nullopt);
      }
      e->flush_wal_to_segment();
      remove_file(dir.file(c.name));
      for (int i = 3; i < 6; ++i) {
        e->insert_with_document(id_of(i), v[i], {{"i", i}}, std::nullopt);
      }
      if (c.close_before_reopen) {
        e->close();
      } else if (std::string(c.name) != "wal.log") {
        e->flush_wal_to_segment();  // a flush after the removal, then the crash
      }
    }
    auto e = open_engine(o);
    for (int i = 0; i < 6; ++i) {
      auto got = e->get(id_of(i));
      ASSERT_TRUE(got.has_value()) << id_of(i);
      EXPECT_EQ(got->metadata.properties.at("i"), i);
      auto hits = e->search_with_filter_and_ann(v[i], 1, std::nullopt, std::nullopt, false);
      ASSERT_FALSE(hits.empty());
      EXPECT_EQ(hits[0].id, id_of(i));
    }
  }
}

}  // namespace
}  // namespace norvex::testing
