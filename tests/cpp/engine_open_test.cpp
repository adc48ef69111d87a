// Opening, reopening and repairing a database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/error.h"
#include "engine_test_util.h"
#include "storage/backend.h"
#include "storage/graph.h"
#include "storage/live_codes.h"
#include "storage/manifest.h"
#include "storage/wal.h"

namespace norvex::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDim = 8;

std::string error_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

void insert_n(NorvaneEngine& e, std::size_t first, std::size_t count, std::uint64_t seed = 1) {
  std::mt19937_64 rng(seed + first);
  for (std::size_t i = first; i < first + count; ++i) {
    e.insert_with_document(id_of(i), random_vector(rng, kDim), {{"i", Json(i)}},
                           "doc" + std::to_string(i));
  }
}

std::vector<std::string> sorted_ids(const NorvaneEngine& e) {
  auto ids = e.list_all_ids();
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(EngineOpen, EmptyDirectoryGetsTheStartingFiles) {
  for (RerankPrecision p :
       {RerankPrecision::kDisabled, RerankPrecision::kF32, RerankPrecision::kF16}) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), kDim);
    o.rerank_precision = p;
    auto e = open_engine(o);
    EXPECT_TRUE(fs::exists(dir.file("manifest.json")));
    EXPECT_TRUE(fs::exists(dir.file("quantizer.bin")));
    EXPECT_EQ(size_of(dir.file("wal.log")), 8u);
    EXPECT_EQ(size_of(dir.file("live_codes.bin")), 0u);
    EXPECT_EQ(fs::exists(dir.file("live_vectors.bin")), p != RerankPrecision::kDisabled);
    if (p != RerankPrecision::kDisabled) {
      EXPECT_EQ(size_of(dir.file("live_vectors.bin")), 0u);
    }
  }
}

TEST(EngineOpen, MismatchedParametersAreRefusedWithoutChanges) {
  TempDir dir;
  open_engine(options_for(dir.path(), 64))->close();
  const Bytes manifest = read_file(dir.file("manifest.json"));
  struct Case {
    std::uint64_t d, b;
    DistanceMetric metric;
    const char* message;
  };
  const Case cases[] = {
      {128, 4, DistanceMetric::kIp, "dimension mismatch: manifest has d=64, requested d=128"},
      {64, 3, DistanceMetric::kIp, "bits mismatch: manifest has b=4, requested b=3"},
      {64, 4, DistanceMetric::kCosine, "metric mismatch: manifest has Ip, requested Cosine"},
  };
  for (const Case& c : cases) {
    OpenOptions o = options_for(dir.path(), c.d);
    o.b = c.b;
    o.metric = c.metric;
    EXPECT_EQ(error_of([&] { open_engine(o); }), c.message);
    EXPECT_EQ(read_file(dir.file("manifest.json")), manifest);
  }
}

TEST(EngineOpen, ReopenKeepsTheStoredRerankFastModeAndPrecision) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.rerank_precision = RerankPrecision::kF32;
  open_engine(o)->close();
  o.rerank = false;
  o.fast_mode = true;
  o.rerank_precision = RerankPrecision::kF16;
  auto e = open_engine(o);
  EXPECT_TRUE(e->has_raw_vectors());
  const auto m = storage::Manifest::load(dir.file("manifest.json"));
  EXPECT_TRUE(m.rerank_enabled);
  EXPECT_FALSE(m.fast_mode);
  EXPECT_EQ(m.rerank_precision, RerankPrecision::kF32);
}

TEST(EngineOpen, NormalizeIsTheCallersOptionOrTheManifests) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), 2);
  o.rerank_precision = RerankPrecision::kF32;
  open_engine(o)->insert_with_document("a", std::vector<double>{3, 4}, {}, std::nullopt);
  o.normalize = true;
  auto e = open_engine(o);
  e->insert_with_document("b", std::vector<double>{3, 4}, {}, std::nullopt);
  EXPECT_EQ(e->live_raw_vector_at_slot(0), (std::vector<double>{3, 4}));
  EXPECT_EQ(e->live_raw_vector_at_slot(1), (std::vector<double>{0.6f, 0.8f}));
  EXPECT_EQ(e->live_codes_at_slot(1).norm, 1.0f);
  e->close();
  EXPECT_FALSE(storage::Manifest::load(dir.file("manifest.json")).normalize);
}

TEST(EngineOpen, EmptiedDirectoryIsRestoredFromTheBackend) {
  TempDir local, remote;
  OpenOptions o = options_for(local.path(), kDim);
  o.uri = remote.path();
  o.rerank_precision = RerankPrecision::kF16;
  open_engine(o);  // created, never flushed: the backend has the manifest and quantizer
  fs::remove_all(local.path());
  open_engine(o)->close();
  EXPECT_TRUE(fs::exists(local.file("quantizer.bin")));
  EXPECT_EQ(read_file(local.file("quantizer.bin")), read_file(remote.file("quantizer.bin")));

  {
    auto e = open_engine(o);
    insert_n(*e, 0, 5);
    e->close();
  }
  fs::remove_all(local.path());
  auto e = open_engine(o);
  EXPECT_EQ(e->count_with_filter(std::nullopt), 5u);
  EXPECT_EQ(e->get("id3")->metadata.document, "doc3");
  EXPECT_TRUE(e->has_raw_vectors());
}

TEST(EngineOpen, CloseTrimsTheSlotFilesToTheSlotCount) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.rerank_precision = RerankPrecision::kF32;
  auto e = open_engine(o);
  insert_n(*e, 0, 3);
  e->close();
  const std::uint64_t slot = storage::code_slot_size(kDim, 4);
  EXPECT_EQ(size_of(dir.file("live_codes.bin")), 3 * slot);
  EXPECT_EQ(size_of(dir.file("live_vectors.bin")), 3 * 4 * kDim);
  insert_n(*e, 3, 1);  // still usable after close
  EXPECT_EQ(e->count_with_filter(std::nullopt), 4u);
}

TEST(EngineOpen, MissingIdTableWithAnEmptyLogIsReportedCorrupt) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), kDim));
  insert_n(*e, 0, 2);
  e->close();
  e.reset();
  fs::remove(dir.file("live_ids.bin"));
  EXPECT_EQ(error_of([&] { open_engine(options_for(dir.path(), kDim)); }),
            "live_ids.bin missing and WAL is empty; database state appears corrupt");
}

TEST(EngineOpen, MissingIdTableIsRebuiltFromTheLog) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.rerank_precision = RerankPrecision::kF32;
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 2);
    e->flush_wal_to_segment();
    insert_n(*e, 2, 3);
    e->delete_id("id3");
  }
  fs::remove(dir.file("live_ids.bin"));
  auto e = open_engine(o);
  EXPECT_EQ(sorted_ids(*e), (std::vector<std::string>{"id2", "id4"}));
  EXPECT_EQ(e->get("id4")->metadata.document, "doc4");
  EXPECT_FALSE(e->has_raw_vectors());
  EXPECT_FALSE(fs::exists(dir.file("live_vectors.bin")));
}

TEST(EngineOpen, DroppedEngineIsReplayedOnReopen) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  o.metric = DistanceMetric::kL2;
  o.rerank_precision = RerankPrecision::kF32;
  std::mt19937_64 rng(5);
  const auto va = random_vector(rng, kDim);
  const auto vb = random_vector(rng, kDim);
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 3);
    e->flush_wal_to_segment();
    e->insert_with_document("a", va, {{"k", Json(1)}}, "A");
    e->delete_id("id1");
    e->insert_with_document("id1", vb, {}, std::nullopt);  // a new slot for an old id
    e->write_vector_entry("id0", vb, {{"k", Json(2)}}, std::nullopt);
    e->update_metadata_only("id2", {{"k", Json(3)}}, "two");
    e->delete_id("a");
    e->insert_with_document("a", vb, {{"k", Json(4)}}, std::nullopt);
  }
  auto e = open_engine(o);
  EXPECT_EQ(sorted_ids(*e), (std::vector<std::string>{"a", "id0", "id1", "id2"}));
  EXPECT_EQ(e->get("a")->metadata.properties.at("k"), Json(4));
  EXPECT_EQ(e->get("id0")->metadata.properties.at("k"), Json(2));
  EXPECT_EQ(e->get("id1")->metadata.properties.size(), 0u);
  EXPECT_EQ(e->get("id2")->metadata.document, "two");
  EXPECT_EQ(e->get("id2")->metadata.properties.at("k"), Json(3));
  EXPECT_EQ(size_of(dir.file("wal.log")), 8u);
  // Every live slot has its raw vector back, the re-inserted ids included: a, id0 and id1
  // hold vb exactly.
  const auto hits = e->search_with_filter_and_ann(vb, 10, std::nullopt, std::nullopt, false);
  ASSERT_EQ(hits.size(), 4u);
  std::vector<std::string> exact;
  for (const auto& h : hits) {
    if (h.score == 0.0) exact.push_back(h.id);
  }
  std::sort(exact.begin(), exact.end());
  EXPECT_EQ(exact, (std::vector<std::string>{"a", "id0", "id1"}));
}

TEST(EngineOpen, TornLogTailKeepsTheCompleteEntries) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 3);
  }
  fs::resize_file(dir.file("wal.log"), size_of(dir.file("wal.log")) - 3);
  {
    auto e = open_engine(o);
    EXPECT_EQ(sorted_ids(*e), (std::vector<std::string>{"id0", "id1"}));
    insert_n(*e, 5, 1);
  }
  EXPECT_EQ(sorted_ids(*open_engine(o)), (std::vector<std::string>{"id0", "id1", "id5"}));
}

TEST(EngineOpen, TornFirstFrameDoesNotHideLaterWrites) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 1);
  }
  fs::resize_file(dir.file("wal.log"), 13);
  {
    auto e = open_engine(o);
    EXPECT_EQ(e->count_with_filter(std::nullopt), 0u);
    EXPECT_EQ(size_of(dir.file("wal.log")), 8u);
    insert_n(*e, 7, 1);
  }
  EXPECT_EQ(sorted_ids(*open_engine(o)), (std::vector<std::string>{"id7"}));
}

TEST(EngineOpen, UncommittedStagedFilesAreDropped) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 3);
    e->flush_wal_to_segment();
    e->delete_id("id0");
  }
  for (const char* name :
       {"live_codes.bin.tmp", "live_vectors.bin.tmp", "metadata.bin.next", "live_ids.bin.next"}) {
    write_file(dir.file(name), as_bytes("junk"));
  }
  auto e = open_engine(o);
  EXPECT_EQ(sorted_ids(*e), (std::vector<std::string>{"id1", "id2"}));
  for (const char* name :
       {"live_codes.bin.tmp", "live_vectors.bin.tmp", "metadata.bin.next", "live_ids.bin.next"}) {
    EXPECT_FALSE(fs::exists(dir.file(name))) << name;
  }
}

TEST(EngineOpen, DamagedFilesAreErrors) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 3);
    e->close();
  }
  const Bytes codes = read_file(dir.file("live_codes.bin"));
  fs::resize_file(dir.file("live_codes.bin"), codes.size() - 1);
  EXPECT_EQ(error_of([&] { open_engine(o); }),
            "live_codes.bin holds 2 slots but live_ids.bin has 3; the database directory is "
            "damaged");
  write_file(dir.file("live_codes.bin"), codes);

  write_file(dir.file("live_ids.bin"), as_bytes("garbage"));
  EXPECT_NE(error_of([&] { open_engine(o); }), "");

  fs::remove(dir.file("live_ids.bin"));
  write_file(dir.file("quantizer.bin"), as_bytes("garbage"));
  EXPECT_NE(error_of([&] { open_engine(o); }), "");
}

TEST(EngineOpen, IndexListPointingOutsideTheSlotsIsIgnored) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kDim);
  {
    auto e = open_engine(o);
    insert_n(*e, 0, 3);
    e->close();
  }
  write_file(dir.file("graph_ids.json"), as_bytes("[\n  0,\n  99\n]"));
  auto e = open_engine(o);
  EXPECT_EQ(e->stats().index_nodes, 0u);
  EXPECT_EQ(e->count_with_filter(std::nullopt), 3u);
}

// A database whose files describe a graph index over `nodes` of its three slots.
void install_index(const std::string& dir, std::uint32_t graph_nodes,
                   const std::vector<std::uint32_t>& slots) {
  storage::GraphFileWriter w;
  for (std::uint32_t i = 0; i < graph_nodes; ++i) {
    w.begin_node(1);
    std::vector<std::uint32_t> others;
    for (std::uint32_t j = 0; j < graph_nodes; ++j) {
      if (j != i) others.push_back(j);
    }
    w.add_list(others);
  }
  write_file(dir + "/graph.bin", w.finish(0, 0));
  storage::save_index_ids(slots, dir, *storage::StorageBackend::from_uri(dir));
  auto m = storage::Manifest::load(dir + "/manifest.json");
  m.index_state = storage::IndexState{8, 16, 32, 1.2, slots.size()};
  m.save(dir + "/manifest.json");
}

TEST(EngineOpen, IndexIsUsableOnlyWhenItsFilesAgree) {
  struct Case {
    std::uint32_t graph_nodes;
    std::vector<std::uint32_t> slots;
    bool usable;
  };
  const Case cases[] = {
      {3, {0, 1, 2}, true},
      {2, {0, 1, 2}, false},  // the graph and the node list disagree
      {3, {0, 1, 7}, false},  // a node stands for a slot that does not exist
  };
  for (const Case& c : cases) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), kDim);
    {
      auto e = open_engine(o);
      insert_n(*e, 0, 3);
      e->close();
    }
    install_index(dir.path(), c.graph_nodes, c.slots);
    auto e = open_engine(o);
    const auto s = e->stats();
    EXPECT_EQ(s.has_index, c.usable);
    EXPECT_EQ(s.index_nodes, c.usable ? 3u : 0u);
    EXPECT_EQ(s.graph_nodes, c.graph_nodes);
    // An index that is not usable is gone from the manifest at once.
    EXPECT_EQ(storage::Manifest::load(dir.file("manifest.json")).index_state.has_value(), c.usable);
  }
}

TEST(EngineOpen, FirstWriteAfterABuildDropsTheIndexFromTheManifest) {
  using Write = std::function<void(NorvaneEngine&)>;
  const std::pair<Write, bool> cases[] = {
      {[](NorvaneEngine& e) { insert_n(e, 10, 1); }, true},
      {[](NorvaneEngine& e) { e.delete_id("id1"); }, true},
      {[](NorvaneEngine& e) { e.update_metadata_only("id1", {{"x", Json(1)}}, "d"); }, false},
      {[](NorvaneEngine& e) { e.delete_id("absent"); }, false},
  };
  for (const auto& [write, drops] : cases) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), kDim);
    {
      auto e = open_engine(o);
      insert_n(*e, 0, 3);
      e->close();
    }
    install_index(dir.path(), 3, {0, 1, 2});
    auto e = open_engine(o);
    write(*e);
    EXPECT_EQ(e->stats().has_index, !drops);
    // Before the call returned, not at the next flush.
    EXPECT_EQ(storage::Manifest::load(dir.file("manifest.json")).index_state.has_value(), !drops);
    EXPECT_EQ(storage::load_index_ids(dir.path()).empty(), drops);
  }
}

}  // namespace
}  // namespace norvex::testing
