// Writes a seed corpus of small valid files for every fuzz target, made with the real
// encoders so the seeds follow the formats as they are: make_corpus <dir> creates
// <dir>/<target>/seed-N for each target.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/file_util.h"
#include "quantizer/prod.h"
#include "storage/backend.h"
#include "storage/compaction.h"
#include "storage/encoding.h"
#include "storage/graph.h"
#include "storage/id_pool.h"
#include "storage/manifest.h"
#include "storage/metadata.h"
#include "storage/segment.h"
#include "storage/wal.h"

using namespace norvex;
using namespace norvex::storage;

namespace {

std::string g_root;

void seed(const std::string& target, const std::string& name, ByteView bytes) {
  std::string dir = g_root + "/" + target;
  create_dirs(dir);
  write_file(dir + "/" + name, bytes);
}

void seed_text(const std::string& target, const std::string& name, const std::string& text) {
  seed(target, name, as_bytes(text));
}

std::vector<float> vec(std::size_t d, float phase) {
  std::vector<float> v(d);
  for (std::size_t i = 0; i < d; ++i) v[i] = static_cast<float>(i % 5) - 2.0f + phase;
  return v;
}

WalEntry entry_for(const quantizer::ProdQuantizer& q, const std::string& id, float phase,
                   const std::string& metadata_json) {
  quantizer::Code code = q.quantize(vec(q.d, phase));
  WalEntry e;
  e.id = id;
  e.mse_indices = code.mse_indices;
  e.qjl_bits = code.qjl_bits;
  e.gamma = static_cast<float>(code.gamma);
  e.norm = 1.5f;
  e.metadata_json = metadata_json;
  return e;
}

WalEntry deletion(const std::string& id) {
  WalEntry e;
  e.id = id;
  e.metadata_json = "{}";
  e.is_deleted = true;
  return e;
}

void wal_seeds(const std::string& tmp) {
  // The same quantizers as the target.
  for (std::uint64_t b : {4u, 9u}) {
    auto q = std::make_shared<const quantizer::ProdQuantizer>(
        quantizer::ProdQuantizer::create(16, b, 7, false));
    std::string path = tmp + "/wal-" + std::to_string(b) + ".log";
    remove_file(path);
    Wal wal = Wal::open(path);
    wal.set_quantizer(q);
    std::vector<WalEntry> entries = {
        entry_for(*q, "a", 0.0f, R"({"properties":{"k":1,"tag":["x","y"]},"document":"doc"})"),
        entry_for(*q, "b", 0.5f, R"({"properties":{},"document":null})"),
        deletion("a"),
        entry_for(*q, "\xc3\xa9t\xc3\xa9", -0.25f,
                  R"({"properties":{"nested":{"a":{"b":-3}},"f":1.5},"document":null})"),
    };
    wal.append_batch(entries, false);
    seed("wal_replay_fuzz", "seed-b" + std::to_string(b), read_file(path));
  }
  // A version-4 log: the same frames without CRCs.
  auto q = quantizer::ProdQuantizer::create(16, 4, 7, false);
  Bytes log = {'N', 'V', 'W', 'V'};
  append_le<std::uint32_t>(log, 4);
  for (const WalEntry& e : {entry_for(q, "v4", 1.0f, R"({"properties":{"v":4}})"), deletion("x")}) {
    RecordWriter w;
    WalEntryPacked::of(e, &q).encode(w);
    append_le<std::uint64_t>(log, w.bytes().size());
    log.insert(log.end(), w.bytes().begin(), w.bytes().end());
  }
  seed("wal_replay_fuzz", "seed-v4", log);
}

void segment_seeds() {
  seed("segment_fuzz", "seed-1", Segment::encode_file({{"a", false}}));
  seed("segment_fuzz", "seed-3",
       Segment::encode_file({{"a", false}, {"bb", true}, {"\xc3\xa9", false}}));
  // The older layout: count, then frames without magic or CRCs.
  Bytes old;
  append_le<std::uint64_t>(old, 2);
  for (const SegmentRecord& r : {SegmentRecord{"x", false}, SegmentRecord{"y", true}}) {
    RecordWriter w;
    r.encode(w);
    append_le<std::uint32_t>(old, static_cast<std::uint32_t>(w.bytes().size()));
    old.insert(old.end(), w.bytes().begin(), w.bytes().end());
  }
  seed("segment_fuzz", "seed-old", old);
}

void metadata_seeds(const std::string& tmp) {
  std::string path = tmp + "/metadata.bin";
  remove_file(path);
  MetadataStore store = MetadataStore::open(path);
  VectorMetadata a;
  a.properties["year"] = 2021;
  a.properties["score"] = -1.25;
  a.properties["tags"] = Json::array({"x", 1, nullptr, true});
  a.properties["nested"] = Json::object({{"k", Json::object({{"v", "deep"}})}});
  a.document = "a document";
  store.put(0, a);
  store.put(5, VectorMetadata{});
  store.flush();
  seed("metadata_fuzz", "seed-2", read_file(path));
}

void id_pool_seeds() {
  IdPool pool;
  pool.insert("alpha");
  pool.insert("");
  pool.insert("gamma");
  pool.insert("\xe2\x82\xac");
  pool.delete_by_id("gamma");
  seed("live_ids_fuzz", "seed-4", pool.encode());
  seed("live_ids_fuzz", "seed-empty", IdPool().encode());
}

void quantizer_seeds() {
  seed("quantizer_fuzz", "seed-d8-b4", quantizer::ProdQuantizer::create(8, 4, 1, false).encode());
  seed("quantizer_fuzz", "seed-d5-b2", quantizer::ProdQuantizer::create(5, 2, 2, false).encode());
  seed("quantizer_fuzz", "seed-d3-b9", quantizer::ProdQuantizer::create(3, 9, 3, false).encode());
  seed("quantizer_fuzz", "seed-fast", quantizer::ProdQuantizer::create(4, 3, 4, true).encode());
}

void manifest_seeds() {
  Manifest m;
  m.d = 16;
  m.b = 4;
  m.seed = 42;
  m.vector_count = 3;
  m.storage_uri = "/tmp/db";
  seed_text("manifest_fuzz", "seed-plain", m.encode());
  m.metric = DistanceMetric::kL2;
  m.index_state = IndexState{32, 200, 128, 1.2, 3};
  m.rerank_precision = RerankPrecision::kF16;
  m.normalize = true;
  seed_text("manifest_fuzz", "seed-index", m.encode());
  seed_text("manifest_fuzz", "seed-minimal",
            R"({"version":2,"d":4,"b":4,"seed":1,"vector_count":0,"storage_uri":"x"})");
}

void graph_ids_seeds() {
  seed_text("graph_ids_fuzz", "seed-2", serialize_index_ids({3, 7}));
  seed_text("graph_ids_fuzz", "seed-empty", serialize_index_ids({}));
}

void graph_seeds(const std::string& tmp) {
  // Built the way create_index builds: 40 points on a line, scored by negated distance.
  const std::string dir = tmp + "/graph";
  create_dirs(dir);
  auto backend = StorageBackend::from_uri(dir);
  GraphManager graph(backend, dir);
  GraphSimilarity similarity;
  similarity.metric = DistanceMetric::kL2;
  similarity.score = [](std::uint32_t u, std::span<const std::uint32_t> candidates,
                        std::span<double> scores) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const double a = static_cast<double>(u % 13) * 1.5 + u * 0.01;
      const double b = static_cast<double>(candidates[i] % 13) * 1.5 + candidates[i] * 0.01;
      scores[i] = -std::abs(a - b);
    }
  };
  GraphBuildOptions options;
  options.seed = 11;
  graph.build(40, 8, 32, 1, 1.2, similarity, options);
  seed("graph_fuzz", "seed-built-40", read_file(dir + "/" + kGraphFileName));
  graph.build(3, 4, 8, 1, 1.0, similarity, options);
  seed("graph_fuzz", "seed-built-3", read_file(dir + "/" + kGraphFileName));

  // Hand-made: a node on level 2 with multi-byte varints, and the empty graph.
  GraphFileWriter w;
  const std::vector<std::uint32_t> wide = {3, 130, 131, 200};
  const std::vector<std::uint32_t> one = {0};
  w.begin_node(3);
  w.add_list(wide);
  w.add_list(one);
  w.add_list({});
  for (std::uint32_t i = 1; i < 201; ++i) {
    w.begin_node(1);
    w.add_list(one);
  }
  seed("graph_fuzz", "seed-levels", w.finish(0, 2));
  seed("graph_fuzz", "seed-empty", GraphFileWriter().finish(0, 0));
}

void filter_seeds() {
  // One filter and one properties object per file, a newline between them.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({})", R"({})"},
      {R"({"year":2020})", R"({"year":2020.0})"},
      {R"({"year":{"$gte":2020,"$lt":2023}})", R"({"year":2022.5,"tag":"x"})"},
      {R"({"a.b":1,"a.c":{"$exists":false}})", R"({"a":{"b":1},"a.b":2})"},
      {R"({"tag":{"$in":["x","y"]},"n":{"$nin":[1,2.5,null]}})", R"({"tag":"y","n":-3})"},
      {R"({"$and":[{"k":{"$ne":"v"}},{"name":{"$contains":"lo"}}]})",
       R"({"k":"w","name":"hello"})"},
      {R"({"$or":[1,{"k":{"$gt":"a","$lte":"zz"}},{"$and":[]}]})", R"({"k":"b"})"},
      {R"({"$or":[]})", R"({"k":[1,{"x":null}]})"},
      {R"({"k":{"$eq":[1,{"x":null}]},"m":{},"z":{"$regex":"."}})",
       R"({"k":[1,{"x":null}],"m":true})"},
      {R"({"deep.x.y.z":{"$lt":-1e300}})", R"({"deep":{"x":{"y":{"z":-1.7976931348623157e308}}}})"},
  };
  int i = 0;
  for (const auto& [filter, properties] : cases) {
    seed_text("filter_fuzz", "seed-" + std::to_string(i++), filter + "\n" + properties);
  }
}

void compaction_seeds() {
  CompactionState s;
  s.old_segment_names = {"seg-00000000.bin", "seg-00000001.bin"};
  s.new_segment_name = "seg-00000002.bin";
  seed_text("compaction_state_fuzz", "seed-prepared", s.to_json().dump(2));
  s.phase = CompactionPhase::kCommitted;
  seed_text("compaction_state_fuzz", "seed-committed", s.to_json().dump());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  create_dirs(g_root);
  std::string tmp = g_root + "/.tmp";
  create_dirs(tmp);
  wal_seeds(tmp);
  segment_seeds();
  metadata_seeds(tmp);
  id_pool_seeds();
  quantizer_seeds();
  manifest_seeds();
  graph_ids_seeds();
  graph_seeds(tmp);
  filter_seeds();
  compaction_seeds();
  std::filesystem::remove_all(tmp);
  return 0;
}
