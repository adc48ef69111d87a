// The write path: single and batch writes, their validation, and the flush.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/error.h"
#include "engine_test_util.h"
#include "storage/live_codes.h"
#include "storage/wal.h"

namespace norvex::testing {
namespace {

namespace fs = std::filesystem;
using storage::engine::BatchWriteItem;
using storage::engine::WriteMode;

constexpr std::uint64_t kDim = 4;

std::string error_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

std::vector<BatchWriteItem> items(std::size_t first, std::size_t count, std::uint64_t seed = 3) {
  std::mt19937_64 rng(seed);
  std::vector<BatchWriteItem> out;
  for (std::size_t i = first; i < first + count; ++i) {
    out.push_back({id_of(i), to_f32(random_vector(rng, kDim)), {{"i", Json(i)}}, std::nullopt});
  }
  return out;
}

const std::vector<double> kOnes{1, 1, 1, 1};

TEST(EngineWrite, ThresholdThreeFlushesOnTheThirdInsert) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.wal_flush_threshold = 3;
  auto e = open_engine(o);
  e->insert_with_document("a", kOnes, {}, std::nullopt);
  e->insert_with_document("b", kOnes, {}, std::nullopt);
  EXPECT_EQ(e->stats().buffered_vectors, 2u);
  EXPECT_EQ(e->stats().segment_count, 0u);
  e->insert_with_document("c", kOnes, {}, std::nullopt);
  EXPECT_EQ(e->stats().buffered_vectors, 0u);
  EXPECT_EQ(size_of(dir.file("wal.log")), 8u);
  EXPECT_EQ(e->stats().segment_count, 1u);
  EXPECT_TRUE(fs::exists(dir.file("seg-00000000.bin")));
}

TEST(EngineWrite, ThresholdZeroOrOneFlushesAfterEveryCall) {
  for (std::uint64_t threshold : {0u, 1u}) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), kDim);
    o.wal_flush_threshold = threshold;
    auto e = open_engine(o);
    for (int i = 0; i < 3; ++i) {
      e->insert_with_document(id_of(i), kOnes, {}, std::nullopt);
      EXPECT_EQ(e->stats().buffered_vectors, 0u);
      EXPECT_EQ(e->stats().segment_count, static_cast<std::uint64_t>(i + 1));
    }
    e->update_metadata_only("id0", {{"k", Json(1)}}, std::nullopt);
    EXPECT_EQ(e->stats().segment_count, 4u);
  }
}

TEST(EngineWrite, LargeBatchIsLoggedInOrderAndApplied) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.wal_flush_threshold = 20000;
  {
    auto e = open_engine(o);
    e->insert_many_with_mode(items(0, 12000), WriteMode::kInsert);
    EXPECT_EQ(e->stats().buffered_vectors, 12000u);
    EXPECT_EQ(e->count_with_filter(std::nullopt), 12000u);
    const auto log = storage::Wal::replay(dir.file("wal.log"), nullptr);
    ASSERT_EQ(log.size(), 12000u);
    for (std::size_t i = 0; i < log.size(); i += 1999) EXPECT_EQ(log[i].id, id_of(i));
  }
  auto e = open_engine(o);
  EXPECT_EQ(e->count_with_filter(std::nullopt), 12000u);
  EXPECT_EQ(e->get("id11999")->metadata.properties.at("i"), Json(11999));
}

TEST(EngineWrite, DeletingOneOfThreeAndFlushingRenumbersTheSlots) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.rerank_precision = RerankPrecision::kF32;
  auto e = open_engine(o);
  e->insert_many_with_mode(items(0, 3), WriteMode::kInsert);
  const auto c_code = e->live_codes_at_slot(2);
  const auto c_raw = e->live_raw_vector_at_slot(2);
  EXPECT_TRUE(e->delete_id("id1"));
  e->flush_wal_to_segment();
  const std::uint64_t slot = storage::code_slot_size(kDim, 4);
  EXPECT_EQ(size_of(dir.file("live_codes.bin")), 2 * slot);
  EXPECT_EQ(size_of(dir.file("live_vectors.bin")), 2 * 4 * kDim);
  EXPECT_EQ(e->list_all_ids(), (std::vector<std::string>{"id0", "id2"}));
  EXPECT_EQ(e->live_codes_at_slot(1).mse_indices, c_code.mse_indices);
  EXPECT_EQ(e->live_raw_vector_at_slot(1), c_raw);
  EXPECT_EQ(e->get("id2")->metadata.properties.at("i"), Json(2));
  EXPECT_EQ(e->stats().live_slot_count, 2u);
}

TEST(EngineWrite, HalfPrecisionRawRecordOfOne) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.rerank_precision = RerankPrecision::kF16;
  auto e = open_engine(o);
  e->insert_with_document("a", std::vector<double>{1, 0, 0, 0}, {}, std::nullopt);
  e->close();
  const Bytes raw = read_file(dir.file("live_vectors.bin"));
  ASSERT_EQ(raw.size(), 8u);
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[1], 0x3C);
}

TEST(EngineWrite, ZeroVectorIsStoredWithNormZeroOrOneWhenNormalizing) {
  for (bool normalize : {false, true}) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), kDim);
    o.normalize = normalize;
    auto e = open_engine(o);
    e->insert_with_document("z", std::vector<double>(kDim, 0.0), {}, std::nullopt);
    EXPECT_EQ(e->live_codes_at_slot(0).norm, normalize ? 1.0f : 0.0f);
  }
}

TEST(EngineWrite, ModeViolationsAreRefusedAndChangeNothing) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), kDim));
  e->insert_with_document("x", kOnes, {}, std::nullopt);
  const std::uint64_t wal = size_of(dir.file("wal.log"));

  auto dup = items(0, 3);
  dup[2].id = "id0";
  auto absent = items(5, 2);
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {[&] { e->insert_with_document("x", kOnes, {}, std::nullopt); }, "ID 'x' already exists"},
      {[&] { e->update_with_document("y", kOnes, {}, std::nullopt); }, "ID 'y' does not exist"},
      {[&] { e->insert_many_with_mode(dup, WriteMode::kInsert); }, "ID 'id0' already exists"},
      {[&] { e->insert_many_with_mode(absent, WriteMode::kUpdate); }, "ID 'id5' does not exist"},
      {[&] { e->update_metadata_only("y", {}, "d"); }, "ID 'y' does not exist"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(c.call), c.message);
    EXPECT_EQ(size_of(dir.file("wal.log")), wal);
    EXPECT_EQ(e->list_all_ids(), (std::vector<std::string>{"x"}));
    EXPECT_EQ(e->stats().live_slot_count, 1u);
  }
}

TEST(EngineWrite, BadVectorsAndIdsAreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), kDim));
  const std::uint64_t wal = size_of(dir.file("wal.log"));
  auto batch = items(0, 4);
  batch[3].vector.pop_back();
  auto nan_batch = items(0, 2);
  nan_batch[1].vector[0] = std::nanf("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {[&] { e->insert_with_document("a", std::vector<double>{1, 2, 3}, {}, std::nullopt); },
       "vector dimension mismatch: expected 4, got 3"},
      {[&] { e->write_vector_entry("a", std::vector<double>(9, 1.0), {}, std::nullopt); },
       "vector dimension mismatch: expected 4, got 9"},
      {[&] { e->insert_many_with_mode(batch, WriteMode::kInsert); },
       "vector dimension mismatch: expected 4, got 3"},
      {[&] { e->insert_many_with_mode(nan_batch, WriteMode::kUpsert); },
       "vector component 0 is not a finite 32-bit float"},
      {[&] { e->insert_with_document("a", std::vector<double>{1, inf, 0, 0}, {}, std::nullopt); },
       "vector component 1 is not a finite 32-bit float"},
      {[&] { e->insert_with_document("a", std::vector<double>{1e300, 0, 0, 0}, {}, std::nullopt); },
       "vector component 0 is not a finite 32-bit float"},
      {[&] {
         e->insert_with_document("a", std::vector<double>{3e38, 3e38, 0, 0}, {}, std::nullopt);
       },
       "vector norm overflows a 32-bit float"},
      {[&] { e->insert_with_document(std::string(65536, 'x'), kOnes, {}, std::nullopt); },
       "id is too long (65536 bytes, max 65535)"},
      {[&] { e->insert_with_document("\xff", kOnes, {}, std::nullopt); }, "id is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(c.call), c.message);
    EXPECT_EQ(size_of(dir.file("wal.log")), wal);
    EXPECT_EQ(e->count_with_filter(std::nullopt), 0u);
    EXPECT_EQ(e->stats().live_slot_count, 0u);
  }
  e->insert_with_document(std::string(65535, 'x'), kOnes, {}, std::nullopt);
  EXPECT_EQ(e->count_with_filter(std::nullopt), 1u);
}

TEST(EngineWrite, UpsertReusesTheSlotAndReplacesEverything) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), kDim));
  e->insert_with_document("a", kOnes, {{"k", Json(1)}}, "one");
  e->write_vector_entry("a", std::vector<double>{1, 0, 0, 0}, {{"k", Json(2)}}, std::nullopt);
  e->update_with_document("a", std::vector<double>{0, 1, 0, 0}, {{"k", Json(3)}}, "three");
  EXPECT_EQ(e->stats().live_slot_count, 1u);
  EXPECT_EQ(e->get("a")->metadata.properties.at("k"), Json(3));
  EXPECT_EQ(e->get("a")->metadata.document, "three");
  auto batch = items(0, 2);
  batch.push_back(batch[0]);  // the same id twice in one upsert batch: the last one wins
  batch.back().properties = {{"last", Json(true)}};
  e->insert_many_with_mode(batch, WriteMode::kUpsert);
  EXPECT_EQ(e->stats().live_slot_count, 3u);
  EXPECT_EQ(e->get("id0")->metadata.properties.at("last"), Json(true));
}

// A batch is validated, encoded and written on the worker pool: the files must come out as
// the same writes made one at a time, repeated ids (the last wins) included.
TEST(EngineWrite, BatchWritesTheSameFilesAsSingleWrites) {
  TempDir batch_dir;
  TempDir single_dir;
  auto batch = items(0, 400);
  for (std::size_t i = 0; i < 400; i += 7) {
    batch.push_back(items(i, 1, 100 + i)[0]);  // a new vector for an id of this batch
  }
  {
    OpenOptions o = options_for(batch_dir.path(), kDim);
    o.rerank_precision = RerankPrecision::kF32;
    auto e = open_engine(o);
    e->insert_many_with_mode(batch, WriteMode::kUpsert);
    e->close();
  }
  {
    OpenOptions o = options_for(single_dir.path(), kDim);
    o.rerank_precision = RerankPrecision::kF32;
    auto e = open_engine(o);
    for (const BatchWriteItem& item : batch) {
      const std::vector<double> v(item.vector.begin(), item.vector.end());
      e->write_vector_entry(item.id, v, item.properties, item.document);
    }
    e->close();
  }
  for (const char* name : {"live_codes.bin", "live_vectors.bin", "live_ids.bin"}) {
    EXPECT_EQ(read_file(batch_dir.file(name)), read_file(single_dir.file(name))) << name;
  }
}

// Each item's own checks run in parallel; the error reported is still the first in item order.
TEST(EngineWrite, BatchReportsItsFirstFailureInItemOrder) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), kDim));
  e->insert_with_document("id1", kOnes, {}, std::nullopt);
  const std::uint64_t wal = size_of(dir.file("wal.log"));
  auto exists_first = items(0, 300);
  exists_first[250].vector.pop_back();
  auto bad_first = items(0, 300);
  bad_first[0].vector.pop_back();
  auto bad_id_late = items(2, 300);
  bad_id_late[299].id = "\xff";
  bad_id_late[298].vector[1] = std::nanf("");
  EXPECT_EQ(error_of([&] { e->insert_many_with_mode(exists_first, WriteMode::kInsert); }),
            "ID 'id1' already exists");
  EXPECT_EQ(error_of([&] { e->insert_many_with_mode(bad_first, WriteMode::kInsert); }),
            "vector dimension mismatch: expected 4, got 3");
  EXPECT_EQ(error_of([&] { e->insert_many_with_mode(bad_id_late, WriteMode::kInsert); }),
            "vector component 1 is not a finite 32-bit float");
  EXPECT_EQ(size_of(dir.file("wal.log")), wal);
  EXPECT_EQ(e->stats().live_slot_count, 1u);
}

TEST(EngineWrite, ReinsertAfterDeleteSurvivesTheFlush) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), kDim));
  e->insert_with_document("a", kOnes, {}, std::nullopt);
  e->delete_id("a");
  e->insert_with_document("a", kOnes, {{"again", Json(true)}}, std::nullopt);
  e->flush_wal_to_segment();
  ASSERT_TRUE(e->get("a").has_value());
  EXPECT_EQ(e->get("a")->metadata.properties.at("again"), Json(true));
  e.reset();
  EXPECT_TRUE(open_engine(options_for(dir.path(), kDim))->get("a").has_value());
}

TEST(EngineWrite, MetadataOnlyUpdateSurvivesADroppedEngine) {
  TempDir dir;
  {
    auto e = open_engine(options_for(dir.path(), kDim));
    e->insert_with_document("a", kOnes, {{"k", Json(1)}}, "doc");
    e->flush_wal_to_segment();
    e->update_metadata_only("a", {{"k", Json(2)}}, std::nullopt);
  }
  auto e = open_engine(options_for(dir.path(), kDim));
  EXPECT_EQ(e->get("a")->metadata.properties.at("k"), Json(2));
  EXPECT_EQ(e->get("a")->metadata.document, "doc");
}

}  // namespace
}  // namespace norvex::testing
