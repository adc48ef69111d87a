// An update overwrites its slot's raw vector only after the log append. A process killed in
// between left the new code and metadata (replayed from the log) beside the old raw vector,
// so exact reranking scored the record with a vector it no longer had. The log entry of an
// update now carries the raw vector and replay writes it.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/file_util.h"
#include "engine_test_util.h"

namespace norvex::testing {
namespace {

constexpr std::size_t kD = 16;

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

TEST(EngineReplayRawTest, UpdateKilledBeforeItsRawVectorWasWrittenReplaysTheRawVector) {
  for (RerankPrecision precision : {RerankPrecision::kF32, RerankPrecision::kF16}) {
    for (bool batch : {false, true}) {
      TempDir a;
      TempDir b;
      OpenOptions oa = options_for(a.path(), kD);
      oa.rerank_precision = precision;
      std::mt19937_64 rng(11);
      const auto v1 = random_vector(rng, kD);
      const auto v2 = random_vector(rng, kD);
      {
        auto e = open_engine(oa);
        e->insert_with_document("x", v1, {{"v", 1}}, std::nullopt);
        e->insert_with_document("y", random_vector(rng, kD), {}, std::nullopt);
        e->close();
      }
      // The same database updated elsewhere, dropped without close: its log holds the update.
      std::filesystem::copy(a.path(), b.path(),
                            std::filesystem::copy_options::recursive |
                                std::filesystem::copy_options::overwrite_existing);
      {
        OpenOptions ob = oa;
        ob.uri = ob.local_dir = b.path();
        auto e = open_engine(ob);
        if (batch) {
          e->insert_many_with_mode({{"x", to_f32(v2), {{"v", 2}}, std::nullopt}},
                                   storage::engine::WriteMode::kUpsert);
        } else {
          e->write_vector_entry("x", v2, {{"v", 2}}, std::nullopt);
        }
      }
      // That log beside the old slot files: the state a kill between append and raw write
      // leaves.
      write_file(a.file("wal.log"), read_file(b.file("wal.log")));
      auto e = open_engine(oa);
      ASSERT_EQ(e->get("x")->metadata.properties.at("v"), 2);
      auto hits = e->search_with_filter_and_ann(v2, 1, std::nullopt, std::nullopt, false);
      ASSERT_EQ(hits.size(), 1u);
      EXPECT_EQ(hits[0].id, "x");
      const double tolerance = precision == RerankPrecision::kF16 ? 1e-2 : 1e-6;
      EXPECT_NEAR(hits[0].score, dot(v2, v2), tolerance);
    }
  }
}

}  // namespace
}  // namespace norvex::testing
