// The graph index through the engine: building it, its lifetime, and the approximate search.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "common/error.h"
#include "engine_test_util.h"
#include "quantizer/prod.h"
#include "storage/engine/filter.h"
#include "storage/manifest.h"

namespace norvex::testing {
namespace {

using storage::GraphBuildOptions;
using storage::engine::BatchWriteItem;
using storage::engine::SearchResult;
using storage::engine::WriteMode;
using Vectors = std::vector<std::vector<double>>;

// Gaussian clusters: centres N(0, 1), points centre + spread * N(0, 1), as f32 values.
Vectors clustered(std::size_t n, std::size_t d, std::size_t clusters, std::uint64_t seed,
                  double spread = 0.5) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  Vectors centers(clusters, std::vector<double>(d));
  for (auto& c : centers) {
    for (double& x : c) x = normal(rng);
  }
  Vectors out(n, std::vector<double>(d));
  for (auto& v : out) {
    const auto& c = centers[rng() % clusters];
    for (std::size_t j = 0; j < d; ++j) v[j] = static_cast<float>(c[j] + spread * normal(rng));
  }
  return out;
}

// Inserts the vectors as id0, id1, ... with metadata {"i": i}.
void insert_all(NorvaneEngine& e, const Vectors& vs) {
  std::vector<BatchWriteItem> items;
  for (std::size_t i = 0; i < vs.size(); ++i) {
    items.push_back({id_of(i), to_f32(vs[i]), {{"i", Json(i)}}, std::nullopt});
  }
  e.insert_many_with_mode(std::move(items), WriteMode::kInsert);
}

// The binding's defaults, with the build's random draws fixed.
void build_index(NorvaneEngine& e, std::uint64_t max_degree = 32, std::uint64_t seed = 1) {
  GraphBuildOptions options;
  options.seed = seed;
  e.create_index_with_options(max_degree, 200, 128, 1.2, 5, options);
}

std::vector<SearchResult> ann(const NorvaneEngine& e, const std::vector<double>& q, std::uint64_t k,
                              const std::optional<PropertyMap>& filter = {},
                              std::optional<std::uint64_t> list = {}) {
  return e.search_with_filter_and_ann(q, k, filter, list, true);
}

std::vector<SearchResult> exhaustive(const NorvaneEngine& e, const std::vector<double>& q,
                                     std::uint64_t k,
                                     const std::optional<PropertyMap>& filter = {}) {
  return e.search_with_filter_and_ann(q, k, filter, std::nullopt, false);
}

std::vector<std::string> ids(const std::vector<SearchResult>& results) {
  std::vector<std::string> out;
  for (const SearchResult& r : results) out.push_back(r.id);
  return out;
}

std::vector<double> scores(const std::vector<SearchResult>& results) {
  std::vector<double> out;
  for (const SearchResult& r : results) out.push_back(r.score);
  return out;
}

// The exhaustive scan scores codes in single precision, the graph search in double.
void expect_scores_near(const std::vector<SearchResult>& got, const std::vector<SearchResult>& want,
                        const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i].score, want[i].score, 1e-5 * (1.0 + std::abs(want[i].score))) << what;
  }
}

TEST(EngineIndex, NodesFollowTheByteOrderOfIds) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), 4));
  std::mt19937_64 rng(1);
  // Slots 0..4 in this order; "\xc3\xa9" (e acute) sorts after "z" byte-wise.
  for (const char* id : {"b", "a", "ab", "\xc3\xa9", "z"}) {
    e->insert_with_document(id, random_vector(rng, 4), {}, std::nullopt);
  }
  build_index(*e);
  EXPECT_EQ(storage::load_index_ids(dir.path()), (std::vector<std::uint32_t>{1, 2, 0, 4, 3}));
  const auto stats = e->stats();
  EXPECT_TRUE(stats.has_index);
  EXPECT_EQ(stats.graph_nodes, 5u);
  EXPECT_EQ(stats.index_nodes, 5u);
  const auto manifest = storage::Manifest::load(dir.file("manifest.json"));
  ASSERT_TRUE(manifest.index_state.has_value());
  EXPECT_EQ(*manifest.index_state, (storage::IndexState{32, 200, 128, 1.2, 5}));
}

TEST(EngineIndex, EmptyDatabaseBuildsNothingAndOneVectorBuildsOneNode) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), 8));
  build_index(*e);
  EXPECT_FALSE(e->stats().has_index);
  EXPECT_FALSE(std::filesystem::exists(dir.file("graph.bin")));
  EXPECT_FALSE(storage::Manifest::load(dir.file("manifest.json")).index_state.has_value());

  std::mt19937_64 rng(2);
  const std::vector<double> v = random_vector(rng, 8);
  e->insert_with_document("only", v, {}, std::nullopt);
  build_index(*e);
  EXPECT_TRUE(e->stats().has_index);
  EXPECT_EQ(e->stats().graph_nodes, 1u);
  EXPECT_EQ(ids(ann(*e, v, 3)), std::vector<std::string>{"only"});
}

TEST(EngineIndex, UnusableParametersAreRefusedAndChangeNothing) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), 8));
  insert_all(*e, clustered(50, 8, 2, 6));
  build_index(*e);
  const Bytes manifest = read_file(dir.file("manifest.json"));
  for (const double alpha : {std::nan(""), HUGE_VAL, -1.0, 0.0, 0.99}) {
    EXPECT_THROW(e->create_index_with_params(8, 16, 16, alpha, 1), Error) << alpha;
    EXPECT_TRUE(e->stats().has_index) << alpha;
    EXPECT_EQ(read_file(dir.file("manifest.json")), manifest) << alpha;
  }
  EXPECT_THROW(e->create_index_with_params(0, 16, 16, 1.2, 1), Error);
  EXPECT_EQ(read_file(dir.file("manifest.json")), manifest);
  e->create_index_with_params(8, 16, 16, 1.0, 1);
  e.reset();
  EXPECT_TRUE(open_engine(options_for(dir.path(), 8))->stats().has_index);
}

TEST(EngineIndex, WalkThatReachesTooFewNodesIsAnsweredExhaustively) {
  // Without a first-pass sample the graph has no edges and the walk cannot collect k hits;
  // the search must not return fewer than the database holds.
  const Vectors vs = clustered(120, 8, 3, 7);
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), 8));
  insert_all(*e, vs);
  e->create_index_with_params(32, 0, 16, 1.2, 2);
  ASSERT_TRUE(e->stats().has_index);
  for (std::size_t q = 0; q < 120; q += 17) {
    EXPECT_EQ(ids(ann(*e, vs[q], 5)), ids(exhaustive(*e, vs[q], 5)));
  }
}

TEST(EngineIndex, SmallDatabaseGivesTheExhaustiveResults) {
  // A graph over 200 nodes reaches every node: the approximate search returns exactly what
  // the exhaustive search returns, scores included, whatever the metric and reranking.
  const Vectors vs = clustered(200, 16, 4, 3);
  const Vectors queries = clustered(5, 16, 4, 4);
  for (const DistanceMetric metric :
       {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    for (const RerankPrecision precision : {RerankPrecision::kDisabled, RerankPrecision::kF32}) {
      for (const bool rerank : {true, false}) {
        TempDir dir;
        OpenOptions o = options_for(dir.path(), 16);
        o.metric = metric;
        o.rerank = rerank;
        o.rerank_precision = precision;
        auto e = open_engine(o);
        insert_all(*e, vs);
        build_index(*e);
        ASSERT_TRUE(e->stats().has_index);
        for (const auto& q : queries) {
          const auto want = exhaustive(*e, q, 5);
          const auto got = ann(*e, q, 5);
          EXPECT_EQ(ids(got), ids(want)) << metric_key(metric) << " rerank " << rerank;
          expect_scores_near(got, want,
                             std::string(metric_key(metric)) + " rerank " + std::to_string(rerank));
        }
      }
    }
  }
}

TEST(EngineIndex, RequestEdgeCases) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), 16);
  o.rerank = false;
  auto e = open_engine(o);
  const Vectors vs = clustered(200, 16, 4, 5);
  insert_all(*e, vs);
  build_index(*e);
  EXPECT_TRUE(ann(*e, vs[0], 0).empty());
  // The result set holds max(k, L) nodes: a list size below k still gives k results.
  const auto wide = ann(*e, vs[0], 50, std::nullopt, 10);
  ASSERT_EQ(wide.size(), 50u);
  EXPECT_TRUE(std::is_sorted(wide.begin(), wide.end(),
                             [](const auto& a, const auto& b) { return a.score > b.score; }));
  // More than there are: every vector once.
  const std::vector<std::string> all = ids(ann(*e, vs[0], 1000));
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 200u);
  EXPECT_THROW(ann(*e, std::vector<double>(15, 0.0), 3), Error);
}

TEST(EngineIndex, FilteredSearchReturnsOnlyMatches) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), 16));
  const Vectors vs = clustered(600, 16, 6, 6);
  insert_all(*e, vs);
  build_index(*e, 8);
  // Matches spread over every cluster, far apart in the graph: the walk goes through
  // non-matching nodes and still finds each of them.
  PropertyMap sparse{{"i", Json::object({{"$in", Json::array({3, 101, 257, 390, 448, 599})}})}};
  for (std::size_t q = 0; q < 20; ++q) {
    const auto got = ann(*e, vs[q * 7], 10, sparse);
    EXPECT_EQ(ids(got), ids(exhaustive(*e, vs[q * 7], 10, sparse)));
  }
  PropertyMap half{{"i", Json::object({{"$lt", 300}})}};
  for (std::size_t q = 0; q < 20; ++q) {
    for (const SearchResult& r : ann(*e, vs[q * 29], 10, half)) {
      EXPECT_LT(r.metadata.properties.at("i").get<int>(), 300);
    }
  }
  EXPECT_TRUE(ann(*e, vs[0], 10, PropertyMap{{"i", Json(-1)}}).empty());
}

// Each vector write drops the index: searches are exhaustive until the next build. A
// metadata-only update keeps it.
TEST(EngineIndex, VectorWritesMakeSearchesExhaustiveUntilRebuild) {
  const Vectors vs = clustered(300, 16, 4, 7);
  std::mt19937_64 rng(8);
  const std::vector<double> fresh = random_vector(rng, 16);
  struct Case {
    const char* name;
    std::function<void(NorvaneEngine&)> write;
    bool keeps_index;
  };
  const Case cases[] = {
      {"insert", [&](NorvaneEngine& e) { e.insert_with_document("new", fresh, {}, {}); }, false},
      {"upsert", [&](NorvaneEngine& e) { e.write_vector_entry(id_of(3), fresh, {}, {}); }, false},
      {"update", [&](NorvaneEngine& e) { e.update_with_document(id_of(4), fresh, {}, {}); }, false},
      {"delete", [&](NorvaneEngine& e) { e.delete_id(id_of(5)); }, false},
      {"delete batch", [&](NorvaneEngine& e) { e.delete_batch({id_of(6), id_of(7)}); }, false},
      {"metadata only",
       [&](NorvaneEngine& e) { e.update_metadata_only(id_of(8), {{"i", Json(-8)}}, "doc"); }, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto e = open_engine(options_for(dir.path(), 16));
    insert_all(*e, vs);
    build_index(*e, 8);
    c.write(*e);
    EXPECT_EQ(e->stats().has_index, c.keeps_index) << c.name;
    for (std::size_t q = 0; q < 10; ++q) {
      const auto got = ann(*e, vs[q * 31], 10);
      const auto want = exhaustive(*e, vs[q * 31], 10);
      if (!c.keeps_index) {
        EXPECT_EQ(ids(got), ids(want)) << c.name;
        expect_scores_near(got, want, c.name);
      }
    }
    // The persisted state agrees: a reopened engine sees the same.
    e.reset();
    e = open_engine(options_for(dir.path(), 16));
    EXPECT_EQ(e->stats().has_index, c.keeps_index) << c.name;
    build_index(*e, 8);
    EXPECT_TRUE(e->stats().has_index) << c.name;
  }
}

TEST(EngineIndex, ReopenedDatabaseKeepsItsIndex) {
  TempDir dir;
  const Vectors vs = clustered(400, 16, 4, 9);
  auto e = open_engine(options_for(dir.path(), 16));
  insert_all(*e, vs);
  build_index(*e, 8);
  std::vector<std::vector<SearchResult>> before;
  for (std::size_t q = 0; q < 10; ++q) before.push_back(ann(*e, vs[q * 13], 10, {}, 16));
  e.reset();  // dropped without close: the build already persisted everything
  e = open_engine(options_for(dir.path(), 16));
  ASSERT_TRUE(e->stats().has_index);
  for (std::size_t q = 0; q < 10; ++q) {
    const auto after = ann(*e, vs[q * 13], 10, {}, 16);
    EXPECT_EQ(ids(after), ids(before[q]));
    EXPECT_EQ(scores(after), scores(before[q]));
  }
}

// Live vectors that the index does not cover are searched exhaustively and merged in. (Every
// write drops the index, so the state is made by hand: an index over the first vectors, and
// one more vector beside it.)
TEST(EngineIndex, VectorsOutsideTheGraphAreMerged) {
  TempDir dir;
  const Vectors vs = clustered(120, 16, 3, 10);
  auto e = open_engine(options_for(dir.path(), 16));
  insert_all(*e, vs);
  build_index(*e, 8);
  e->close();
  const auto state = storage::Manifest::load(dir.file("manifest.json")).index_state;
  const Bytes index_ids = read_file(dir.file("graph_ids.json"));
  std::mt19937_64 rng(11);
  const std::vector<double> extra = random_vector(rng, 16);
  e->insert_with_document("extra", extra, {{"i", Json(-1)}}, std::nullopt);
  e->close();
  e.reset();
  storage::Manifest m = storage::Manifest::load(dir.file("manifest.json"));
  m.index_state = state;
  m.save(dir.file("manifest.json"));
  write_file(dir.file("graph_ids.json"), index_ids);

  e = open_engine(options_for(dir.path(), 16));
  ASSERT_TRUE(e->stats().has_index);
  EXPECT_EQ(e->stats().index_nodes, 120u);
  EXPECT_EQ(ann(*e, extra, 3)[0].id, "extra");
  EXPECT_EQ(ids(ann(*e, extra, 3, PropertyMap{{"i", Json(-1)}})),
            std::vector<std::string>{"extra"});
  const auto got = ann(*e, vs[7], 10);
  EXPECT_EQ(ids(got), ids(exhaustive(*e, vs[7], 10)));
}

// A damaged graph.bin or graph_ids.json never breaks a search: the index is dropped (searches
// are exhaustive) or the undecodable nodes are skipped.
TEST(EngineIndex, DamagedIndexFilesNeverBreakSearches) {
  TempDir dir;
  const Vectors vs = clustered(40, 8, 3, 12);
  {
    auto e = open_engine(options_for(dir.path(), 8));
    insert_all(*e, vs);
    build_index(*e, 6);
    e->close();
  }
  const Bytes graph = read_file(dir.file("graph.bin"));
  const Bytes index_ids = read_file(dir.file("graph_ids.json"));
  const Bytes manifest = read_file(dir.file("manifest.json"));
  std::set<std::string> live;
  for (std::size_t i = 0; i < vs.size(); ++i) live.insert(id_of(i));
  const PropertyMap filter{{"i", Json::object({{"$gte", 20}})}};

  // Opens the database over the given index files, searches, and says whether the index
  // was usable.
  auto exercise = [&](const Bytes& graph_file, const Bytes& ids_file, const std::string& what) {
    write_file(dir.file("graph.bin"), graph_file);
    write_file(dir.file("graph_ids.json"), ids_file);
    write_file(dir.file("manifest.json"), manifest);
    auto e = open_engine(options_for(dir.path(), 8));
    const bool usable = e->stats().has_index;
    for (std::size_t q = 0; q < 40; q += 13) {
      const auto got = ann(*e, vs[q], 5);
      EXPECT_LE(got.size(), 5u) << what;
      for (const SearchResult& r : got) EXPECT_EQ(live.count(r.id), 1u) << what;
      for (const SearchResult& r : ann(*e, vs[q], 5, filter)) {
        EXPECT_GE(r.metadata.properties.at("i").get<int>(), 20) << what;
      }
      if (!usable) {
        EXPECT_EQ(ids(got), ids(exhaustive(*e, vs[q], 5))) << what;
      }
    }
    return usable;
  };
  EXPECT_TRUE(exercise(graph, index_ids, "intact"));
  for (std::size_t cut = 0; cut < graph.size(); cut += cut < 64 ? 1 : 17) {
    exercise(Bytes(graph.begin(), graph.begin() + cut), index_ids, "cut " + std::to_string(cut));
  }
  for (std::size_t at = 0; at < graph.size(); at += at < 64 ? 3 : 11) {
    Bytes damaged = graph;
    damaged[at] ^= at % 2 == 0 ? 0xFF : 0x01;
    exercise(damaged, index_ids, "flip " + std::to_string(at));
  }

  // Lists of slots that cannot stand for the 40 nodes.
  const std::vector<std::uint32_t> good = storage::decode_index_ids(as_chars(index_ids));
  auto text_of = [](std::vector<std::uint32_t> slots, const std::string& tail) {
    std::string text = "[";
    for (std::size_t i = 0; i < slots.size(); ++i)
      text += (i ? "," : "") + std::to_string(slots[i]);
    return text + tail;
  };
  std::vector<std::uint32_t> duplicated = good;
  duplicated[1] = duplicated[0];
  std::vector<std::uint32_t> outside = good;
  outside[5] = 4000;
  std::vector<std::uint32_t> one_more = good;
  one_more.push_back(0);
  std::vector<std::uint32_t> one_less(good.begin() + 1, good.end());
  for (const std::string& text :
       {std::string(""), std::string("["), std::string("{}"), std::string("[-1]"),
        text_of(good, ""), text_of(good, "]garbage"), text_of(duplicated, "]"),
        text_of(outside, "]"), text_of(one_more, "]"), text_of(one_less, "]")}) {
    EXPECT_FALSE(exercise(graph, Bytes(text.begin(), text.end()), "graph_ids.json " + text))
        << text;
  }
}

// Recall of the default index against the exhaustive search on clustered data.
TEST(EngineIndex, GraphNodeScoresMatchTheCodeReference) {
  // Without reranking a hit carries its node score: under ip and cosine the fast scan's value
  // (the reference up to float rounding), under l2 the reconstruction's exact distance. d = 100
  // pads its short records for the scan, d = 300 reads them in place.
  struct Case {
    std::size_t d, count;
    DistanceMetric metric;
  };
  for (const Case c :
       {Case{100, 800, DistanceMetric::kIp}, Case{100, 800, DistanceMetric::kL2},
        Case{300, 500, DistanceMetric::kCosine}, Case{300, 500, DistanceMetric::kL2}}) {
    const std::string what =
        "d=" + std::to_string(c.d) + " metric=" + std::to_string(static_cast<int>(c.metric));
    TempDir dir;
    OpenOptions o = options_for(dir.path(), c.d);
    o.metric = c.metric;
    o.rerank = false;
    auto e = open_engine(o);
    const Vectors vs = clustered(c.count, c.d, 8, 21);
    insert_all(*e, vs);
    build_index(*e);
    const auto pq = quantizer::ProdQuantizer::create(c.d, 4, 42, false);
    std::mt19937_64 rng(3);
    for (int t = 0; t < 3; ++t) {
      const std::vector<double> q = random_vector(rng, c.d);
      double qq = 0;
      for (double x : q) qq += x * x;
      const auto prepared = pq.prepare_ip_query(q);
      const auto reference = [&](std::uint32_t slot) {
        const auto code = e->live_codes_at_slot(slot);
        if (c.metric == DistanceMetric::kL2) {
          std::vector<double> x = pq.dequantize(code.mse_indices, code.qjl_bits, code.gamma);
          for (double& v : x) v *= code.norm;
          return storage::engine::filter::score_vectors_with_metric(DistanceMetric::kL2, q, x);
        }
        const double s = pq.score_ip_encoded(prepared, code.mse_indices, code.qjl_bits, code.gamma);
        return c.metric == DistanceMetric::kIp ? s * code.norm : s / std::sqrt(qq);
      };
      const auto hits = ann(*e, q, 20, {}, 64);
      ASSERT_EQ(hits.size(), 20u) << what;
      for (const SearchResult& h : hits) {
        const auto slot = static_cast<std::uint32_t>(std::stoul(h.id.substr(2)));
        const double want = reference(slot);
        if (c.metric == DistanceMetric::kL2) {
          ASSERT_EQ(h.score, want) << what;
        } else {
          ASSERT_NEAR(h.score, want, 1e-5 * (1.0 + std::abs(want))) << what;
        }
      }
      if (c.metric == DistanceMetric::kL2) {
        for (const SearchResult& h : exhaustive(*e, q, 5)) {
          ASSERT_EQ(h.score, reference(static_cast<std::uint32_t>(std::stoul(h.id.substr(2)))))
              << what;
        }
      }
    }
  }
}

TEST(EngineIndex, RecallOnClusteredData) {
  const std::size_t n = 3000, d = 32, k = 10, queries = 50;
  Vectors vs = clustered(n + queries, d, 12, 13);
  const Vectors qs(vs.end() - queries, vs.end());
  vs.resize(n);
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    for (const RerankPrecision raw : {RerankPrecision::kDisabled, RerankPrecision::kF32}) {
      TempDir dir;
      OpenOptions o = options_for(dir.path(), d);
      o.metric = metric;
      o.rerank_precision = raw;
      auto e = open_engine(o);
      insert_all(*e, vs);
      build_index(*e);
      auto recall = [&](std::uint64_t list) {
        std::size_t found = 0;
        for (const auto& q : qs) {
          const auto truth = ids(exhaustive(*e, q, k));
          for (const SearchResult& r : ann(*e, q, k, {}, list)) {
            found += std::count(truth.begin(), truth.end(), r.id);
          }
        }
        return static_cast<double>(found) / (queries * k);
      };
      // The list size is the depth of the walk and of the exact rescoring.
      const std::string what = std::string(metric_key(metric)) + (raw == RerankPrecision::kF32 ? " f32" : "");
      const double shallow = recall(k);
      EXPECT_GE(recall(32), 0.95) << what;
      EXPECT_GE(recall(128), 0.99) << what;
      EXPECT_LE(shallow, recall(128)) << what;
    }
  }
}

}  // namespace
}  // namespace norvex::testing
