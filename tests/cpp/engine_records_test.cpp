// Record operations: reads by id, deletions, metadata updates, counts, listings, statistics.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/error.h"
#include "engine_test_util.h"

namespace norvex::testing {
namespace {

namespace fs = std::filesystem;
using storage::engine::BatchWriteItem;
using storage::engine::WriteMode;

constexpr std::uint64_t kDim = 4;
const std::vector<double> kVec{1, 2, 3, 4};

class EngineRecords : public ::testing::Test {
 protected:
  void SetUp() override { e_ = open_engine(options_for(dir_.path(), kDim)); }

  void put(const std::string& id, PropertyMap props = {},
           std::optional<std::string> doc = std::nullopt) {
    e_->insert_with_document(id, kVec, props, doc);
  }
  std::uint64_t wal_size() const { return size_of(dir_.file("wal.log")); }

  TempDir dir_;
  std::unique_ptr<NorvaneEngine> e_;
};

TEST_F(EngineRecords, GetReturnsTheRecordOrNothing) {
  EXPECT_FALSE(e_->get("missing").has_value());
  put("bare");
  const auto r = e_->get("bare");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->id, "bare");
  EXPECT_TRUE(r->metadata.properties.empty());
  EXPECT_FALSE(r->metadata.document.has_value());
}

TEST_F(EngineRecords, GetManyFillsEveryPositionOfALiveId) {
  put("a", {{"k", Json(1)}});
  put("b", {{"k", Json(2)}});
  const auto r = e_->get_many({"a", "missing", "b", "a"});
  ASSERT_EQ(r.size(), 4u);
  ASSERT_TRUE(r[0] && r[2] && r[3]);
  EXPECT_FALSE(r[1]);
  EXPECT_EQ(r[0]->metadata.properties.at("k"), Json(1));
  EXPECT_EQ(r[2]->id, "b");
  EXPECT_EQ(r[3]->id, "a");
  EXPECT_TRUE(e_->get_many({}).empty());
}

TEST_F(EngineRecords, DeleteOfAMissingIdChangesNothing) {
  put("a");
  const std::uint64_t wal = wal_size();
  EXPECT_FALSE(e_->delete_id("missing"));
  EXPECT_EQ(wal_size(), wal);
  EXPECT_EQ(e_->delete_batch({}), 0u);
  EXPECT_EQ(e_->delete_batch({"missing", "other"}), 0u);
  EXPECT_EQ(wal_size(), wal);
  EXPECT_EQ(e_->stats().buffered_vectors, 1u);
}

TEST_F(EngineRecords, DeletionsHideTheRecordAtOnce) {
  for (const char* id : {"a", "b", "c", "x"}) put(id);
  EXPECT_TRUE(e_->delete_id("a"));
  EXPECT_FALSE(e_->get("a").has_value());
  EXPECT_FALSE(e_->delete_id("a"));
  EXPECT_EQ(e_->count_with_filter(std::nullopt), 3u);
  EXPECT_EQ(e_->delete_batch({"x", "x", "nope"}), 1u);
  EXPECT_EQ(e_->list_all_ids(), (std::vector<std::string>{"b", "c"}));
  const auto s = e_->stats();
  EXPECT_FALSE(s.has_index);
  EXPECT_EQ(s.index_nodes, 0u);
  EXPECT_EQ(s.vector_count, 2u);
  EXPECT_EQ(s.live_slot_count, 4u);  // dead slots stay until the next flush
  e_->flush_wal_to_segment();
  EXPECT_EQ(e_->stats().live_slot_count, 2u);
}

TEST_F(EngineRecords, DeleteWhereDeletesTheMatchingRecords) {
  put("a", {{"year", Json(2020)}});
  put("b", {{"year", Json(2021)}});
  put("c", {{"year", Json(2022)}});
  EXPECT_EQ(e_->delete_where({{"year", Json{{"$gte", 2021}}}}), 2u);
  EXPECT_EQ(e_->list_all_ids(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(e_->delete_where({{"year", Json{{"$nonsense", 1}}}}), 0u);
  EXPECT_EQ(e_->delete_where({}), 1u);  // the empty filter matches every record
  EXPECT_EQ(e_->count_with_filter(std::nullopt), 0u);
}

TEST_F(EngineRecords, MetadataOnlyUpdateMergesPropertiesAndDocument) {
  put("a", {{"k", Json(1)}}, "old");
  e_->update_metadata_only("a", {}, "new");
  EXPECT_EQ(e_->get("a")->metadata.properties.at("k"), Json(1));
  EXPECT_EQ(e_->get("a")->metadata.document, "new");
  e_->update_metadata_only("a", {{"j", Json(2)}}, std::nullopt);
  EXPECT_EQ(e_->get("a")->metadata.properties, (PropertyMap{{"j", Json(2)}}));
  EXPECT_EQ(e_->get("a")->metadata.document, "new");
  try {
    e_->update_metadata_only("nope", {}, std::nullopt);
    ADD_FAILURE();
  } catch (const Error& err) {
    EXPECT_STREQ(err.what(), "ID 'nope' does not exist");
  }
}

TEST_F(EngineRecords, CountsAndPagesWithAndWithoutFilters) {
  for (int i = 0; i < 6; ++i) put(id_of(i), {{"even", Json(i % 2 == 0)}});
  EXPECT_EQ(e_->count_with_filter(std::nullopt), 6u);
  EXPECT_EQ(e_->count_with_filter(PropertyMap{{"even", Json(true)}}), 3u);
  EXPECT_EQ(e_->count_with_filter(PropertyMap{{"even", Json{{"$in", 5}}}}), 0u);
  using Ids = std::vector<std::string>;
  EXPECT_EQ(e_->list_with_filter_page(std::nullopt, 2, 1), (Ids{"id1", "id2"}));
  EXPECT_EQ(e_->list_with_filter_page(std::nullopt, std::nullopt, 4), (Ids{"id4", "id5"}));
  EXPECT_EQ(e_->list_with_filter_page(PropertyMap{{"even", Json(true)}}, 2, 1),
            (Ids{"id2", "id4"}));
  EXPECT_TRUE(e_->list_with_filter_page(std::nullopt, std::nullopt, 6).empty());
  EXPECT_TRUE(e_->list_with_filter_page(std::nullopt, 0, 0).empty());
  EXPECT_TRUE(e_->list_with_filter_page(std::nullopt, 5, ~std::uint64_t{0}).empty());
}

TEST_F(EngineRecords, MetadataValuesAreCountedByTheirText) {
  put("a", {{"year", Json(2020)}});
  put("b", {{"year", Json(2020)}});
  put("c", {{"year", Json("2020")}});
  put("d", {{"year", Json(1.5)}, {"meta", Json{{"src", "web"}}}});
  put("e", {{"meta", Json{{"src", "web"}}}});
  put("f");
  const auto years = e_->list_metadata_values("year");
  EXPECT_EQ(years.size(), 2u);
  EXPECT_EQ(years.at("2020"), 3u);
  EXPECT_EQ(years.at("1.5"), 1u);
  EXPECT_EQ(e_->list_metadata_values("meta.src").at("web"), 2u);
  EXPECT_EQ(e_->list_metadata_values("meta").at("{\"src\":\"web\"}"), 2u);
  EXPECT_TRUE(e_->list_metadata_values("absent").empty());
}

TEST_F(EngineRecords, StatisticsOfANewDatabase) {
  const auto s = e_->stats();
  EXPECT_EQ(s.vector_count, 0u);
  EXPECT_EQ(s.dimension, kDim);
  EXPECT_EQ(s.bits, 4u);
  EXPECT_FALSE(s.has_index);
  EXPECT_EQ(s.segment_count, 0u);
  std::uint64_t files = 0;
  for (const char* name : {"manifest.json", "wal.log", "quantizer.bin", "live_codes.bin"}) {
    files += size_of(dir_.file(name));
  }
  EXPECT_EQ(s.total_disk_bytes, files);
}

TEST_F(EngineRecords, StatisticsFollowTheWrites) {
  put("a", {{"k", Json(1)}}, "doc");
  put("b");
  const auto s = e_->stats();
  EXPECT_EQ(s.vector_count, 2u);
  EXPECT_EQ(s.buffered_vectors, 2u);
  EXPECT_EQ(s.live_slot_count, 2u);
  EXPECT_EQ(s.live_id_count, 2u);
  EXPECT_EQ(s.metadata_entries, 2u);
  EXPECT_EQ(s.metadata_bytes_estimate,
            (4 + std::string(R"({"properties":{"k":1},"document":"doc"})").size()) +
                (4 + std::string(R"({"properties":{},"document":null})").size()));
  EXPECT_EQ(s.live_vectors_bytes_estimate, 0u);
  EXPECT_EQ(s.live_codes_bytes, 2 * storage::code_slot_size(kDim, 4));
}

}  // namespace
}  // namespace norvex::testing
