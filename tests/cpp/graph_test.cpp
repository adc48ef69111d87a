#include "storage/graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/engine/filter.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

// Writes `bytes` as dir/graph.bin and opens it (the backend root is the directory itself).
GraphManager open_bytes(const TempDir& dir, ByteView bytes) {
  write_file(dir.file("graph.bin"), bytes);
  return GraphManager::open(StorageBackend::from_uri(dir.path()), dir.path());
}

// A file whose node records are given raw.
Bytes file_of_records(const std::vector<Bytes>& records, std::uint32_t entry = 0,
                      std::uint32_t max_level = 0) {
  Bytes file{'N', 'V', 'G', '3'};
  append_le<std::uint32_t>(file, static_cast<std::uint32_t>(records.size()));
  append_le<std::uint32_t>(file, entry);
  append_le<std::uint32_t>(file, max_level);
  std::uint64_t offset = 0;
  append_le<std::uint64_t>(file, offset);
  for (const Bytes& r : records) append_le<std::uint64_t>(file, offset += r.size());
  for (const Bytes& r : records) file.insert(file.end(), r.begin(), r.end());
  return file;
}

Bytes u32s(std::initializer_list<std::uint32_t> values) {
  Bytes out;
  for (const std::uint32_t v : values) append_le<std::uint32_t>(out, v);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string error_of(const GraphManager& graph, std::uint32_t node, std::uint32_t level) {
  try {
    graph.get_neighbors_at_level(node, level);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(GraphFile, ListsAreDeltaVarints) {
  GraphFileWriter writer;
  writer.begin_node(1);
  const std::uint32_t first[] = {3, 130, 131};
  writer.add_list(first);
  writer.begin_node(2);
  writer.add_list(std::vector<std::uint32_t>{200});
  writer.add_list(std::vector<std::uint32_t>{});
  const Bytes file = writer.finish(1, 1);

  const std::size_t data_start = 16 + 8 * 3;
  ASSERT_EQ(file.size(), data_start + 11 + 14);
  EXPECT_EQ(load_le<std::uint64_t>(file.data() + 16), 0u);
  EXPECT_EQ(load_le<std::uint64_t>(file.data() + 24), 11u);
  EXPECT_EQ(load_le<std::uint64_t>(file.data() + 32), 25u);
  const Bytes node0(file.begin() + data_start, file.begin() + data_start + 11);
  EXPECT_EQ(node0, concat(u32s({1, 3}), Bytes{0x03, 0x7F, 0x01}));
  const Bytes node1(file.begin() + data_start + 11, file.end());
  EXPECT_EQ(node1, concat(concat(u32s({2, 1}), Bytes{0xC8, 0x01}), u32s({0})));

  TempDir dir;
  const GraphManager graph = open_bytes(dir, file);
  ASSERT_TRUE(graph.is_loaded());
  EXPECT_EQ(graph.node_count(), 2u);
  EXPECT_EQ(graph.entry_point(), 1u);
  EXPECT_EQ(graph.max_level(), 1u);
  EXPECT_EQ(graph.get_neighbors_at_level(0, 0), (std::vector<std::uint32_t>{3, 130, 131}));
  EXPECT_EQ(graph.get_neighbors_at_level(1, 0), (std::vector<std::uint32_t>{200}));
  EXPECT_TRUE(graph.get_neighbors_at_level(1, 1).empty());
}

TEST(GraphFile, VarintsUpToFiveBytesRoundTrip) {
  const std::uint32_t values[] = {0, 127, 128, 16383, 16384, 0xFFFFFFFFu};
  const std::size_t lengths[] = {1, 1, 2, 2, 3, 5};
  for (std::size_t i = 0; i < std::size(values); ++i) {
    Bytes out;
    append_varint(out, values[i]);
    EXPECT_EQ(out.size(), lengths[i]) << values[i];
  }
  GraphFileWriter writer;
  writer.begin_node(1);
  writer.add_list(std::vector<std::uint32_t>{0, 0, 1, 0xFFFFFFFEu, 0xFFFFFFFFu});
  TempDir dir;
  const GraphManager graph = open_bytes(dir, writer.finish(0, 0));
  EXPECT_EQ(graph.get_neighbors_at_level(0, 0),
            (std::vector<std::uint32_t>{0, 0, 1, 0xFFFFFFFEu, 0xFFFFFFFFu}));
}

TEST(GraphFile, EmptyGraphHasNoNodes) {
  TempDir dir;
  const Bytes file = GraphFileWriter().finish(0, 0);
  ASSERT_EQ(file.size(), 24u);
  const GraphManager graph = open_bytes(dir, file);
  EXPECT_FALSE(graph.is_loaded());
  EXPECT_EQ(graph.node_count(), 0u);
  EXPECT_EQ(error_of(graph, 0, 0), "OOR");
  EXPECT_TRUE(graph.search(10, 10, [](std::uint32_t) { return 0.0; }).empty());
}

// Files that fail validation load as no graph at all.
TEST(GraphFile, InvalidLayoutsLoadAsNoGraph) {
  const Bytes good = file_of_records({u32s({1, 0}), u32s({1, 0})}, 1, 0);
  auto with_u64 = [&](std::size_t at, std::uint64_t v) {
    Bytes b = good;
    store_le<std::uint64_t>(b.data() + at, v);
    return b;
  };
  auto with_u32 = [&](std::size_t at, std::uint32_t v) {
    Bytes b = good;
    store_le<std::uint32_t>(b.data() + at, v);
    return b;
  };
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"short header", Bytes(good.begin(), good.begin() + 15)},
      {"16 bytes, no offset table", Bytes(good.begin(), good.begin() + 16)},
      {"offset table cut", Bytes(good.begin(), good.begin() + 16 + 8 * 3 - 1)},
      {"wrong magic", with_u32(0, 0x33475648)},
      {"node count beyond the table", with_u32(4, 1000)},
      {"node count 2^32-1", with_u32(4, 0xFFFFFFFFu)},
      {"entry point outside", with_u32(8, 2)},
      {"maximum level 6", with_u32(12, 6)},
      {"first offset not 0", with_u64(16, 1)},
      {"offsets run backwards", with_u64(24, 17)},
      {"last offset past the end", with_u64(32, 17)},
      {"offset near 2^64", with_u64(32, ~std::uint64_t{0})},
  };
  {
    TempDir dir;
    const GraphManager graph = open_bytes(dir, good);
    ASSERT_TRUE(graph.is_loaded());
    EXPECT_TRUE(graph.get_neighbors_at_level(1, 0).empty());
  }
  for (const Case& c : cases) {
    TempDir dir;
    const GraphManager graph = open_bytes(dir, c.file);
    EXPECT_FALSE(graph.is_loaded()) << c.name;
    EXPECT_EQ(graph.node_count(), 0u) << c.name;
    EXPECT_EQ(error_of(graph, 0, 0), "Graph not loaded") << c.name;
    EXPECT_TRUE(graph.search(5, 5, [](std::uint32_t) { return 1.0; }).empty()) << c.name;
  }
}

TEST(GraphFile, MissingFileIsNoGraph) {
  TempDir dir;
  const GraphManager graph = GraphManager::open(StorageBackend::from_uri(dir.path()), dir.path());
  EXPECT_FALSE(graph.is_loaded());
  EXPECT_EQ(error_of(graph, 0, 0), "Graph not loaded");
}

TEST(GraphFile, DamagedRecordsReportTheirNode) {
  const Bytes ok = u32s({1, 0});
  struct Case {
    const char* name;
    Bytes record;
    std::uint32_t level;
    std::string expected_error;  // empty: decodes to `expected`
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"three bytes", {1, 0, 0}, 0, "corrupt graph record for node 7: too short (3 bytes)", {}},
      {"empty record", {}, 0, "corrupt graph record for node 7: too short (0 bytes)", {}},
      {"level above the node's", u32s({1, 0}), 2, "", {}},
      {"level count zero", u32s({0}), 0, "", {}},
      {"count missing", u32s({1}), 0, "corrupt graph record for node 7: truncated at level 0", {}},
      {"second level missing",
       u32s({2, 0}),
       1,
       "corrupt graph record for node 7: truncated at level 1",
       {}},
      {"count larger than the record",
       concat(u32s({1, 14}), Bytes(5, 0x01)),
       0,
       "corrupt graph record for node 7: implausible neighbour count 14",
       {}},
      {"count within the record length",
       concat(u32s({1, 13}), Bytes(13, 0x01)),
       0,
       "",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
      {"skipped level runs out",
       concat(u32s({2, 3}), Bytes{0x01, 0x01}),
       1,
       "corrupt graph record for node 7: varint overrun while skipping",
       {}},
      {"list runs out",
       concat(u32s({1, 3}), Bytes{0x01, 0x01}),
       0,
       "corrupt graph record for node 7: varint overrun",
       {}},
      {"varint cut by the record end", concat(u32s({1, 1}), Bytes{0x81}), 0, "", {1}},
      {"overlong varint",
       concat(u32s({1, 1}),
              Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
       0,
       "",
       {0xFFFFFFFFu}},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> records(7, ok);
    records.push_back(c.record);
    TempDir dir;
    const GraphManager graph = open_bytes(dir, file_of_records(records));
    ASSERT_TRUE(graph.is_loaded()) << c.name;
    EXPECT_EQ(error_of(graph, 7, c.level), c.expected_error) << c.name;
    if (c.expected_error.empty()) {
      EXPECT_EQ(graph.get_neighbors_at_level(7, c.level), c.expected) << c.name;
    }
    EXPECT_EQ(error_of(graph, 8, 0), "OOR") << c.name;
  }
}

// ---- build -------------------------------------------------------------------------------

struct Vectors {
  std::size_t d;
  std::vector<double> values;
  std::span<const double> row(std::size_t i) const { return {values.data() + i * d, d}; }
};

Vectors clustered(std::size_t n, std::size_t d, std::size_t clusters, double spread,
                  std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> centers(clusters * d);
  for (double& c : centers) c = normal(rng);
  Vectors v{d, std::vector<double>(n * d)};
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % clusters;
    for (std::size_t j = 0; j < d; ++j)
      v.values[i * d + j] = centers[c * d + j] + spread * normal(rng);
  }
  return v;
}

GraphSimilarity exact(const Vectors& v, DistanceMetric metric) {
  return {metric, [&v, metric](std::uint32_t u, std::span<const std::uint32_t> cand,
                               std::span<double> out) {
            for (std::size_t i = 0; i < cand.size(); ++i) {
              out[i] = engine::filter::score_vectors_with_metric(metric, v.row(u), v.row(cand[i]));
            }
          }};
}

GraphBuildOptions seeded(std::uint64_t seed) {
  GraphBuildOptions options;
  options.seed = seed;
  return options;
}

GraphBuildOptions nearest_only(std::uint64_t seed) {
  GraphBuildOptions options = seeded(seed);
  options.diverse_upper_levels = false;
  options.level0 = Level0Rule::kNearest;
  options.reverse_candidates = options.reverse_pass = false;
  return options;
}

struct Shape {
  std::vector<std::uint32_t> levels;                           // per node
  std::vector<std::vector<std::vector<std::uint32_t>>> lists;  // [node][level]
};

// Reads every list of a built graph, checking what holds for any build.
Shape shape_of(const GraphManager& graph) {
  const Bytes file = read_file(graph.path());
  const std::uint64_t n = graph.node_count();
  const std::size_t data_start = 16 + 8 * (n + 1);
  Shape shape;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t level_count = load_le<std::uint32_t>(
        file.data() + data_start + load_le<std::uint64_t>(file.data() + 16 + 8 * i));
    EXPECT_GE(level_count, 1u);
    EXPECT_LE(level_count, 6u);
    shape.levels.push_back(level_count - 1);
    auto& per_level = shape.lists.emplace_back();
    for (std::uint32_t level = 0; level < level_count; ++level) {
      per_level.push_back(graph.get_neighbors_at_level(i, level));
      const auto& list = per_level.back();
      EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
      EXPECT_EQ(std::adjacent_find(list.begin(), list.end()), list.end());
      EXPECT_EQ(std::count(list.begin(), list.end(), i), 0);
      for (const std::uint32_t v : list) EXPECT_LT(v, n);
    }
  }
  const std::uint32_t top = *std::max_element(shape.levels.begin(), shape.levels.end());
  EXPECT_EQ(graph.max_level(), top);
  const auto last_top = std::find(shape.levels.rbegin(), shape.levels.rend(), top);
  EXPECT_EQ(graph.entry_point(), shape.levels.rend() - last_top - 1);
  return shape;
}

class GraphBuild : public ::testing::Test {
 protected:
  GraphManager fresh() { return GraphManager(StorageBackend::from_uri(dir_.path()), dir_.path()); }
  TempDir dir_;
};

TEST_F(GraphBuild, OneNodeHasOnlyEmptyLists) {
  const Vectors v = clustered(1, 4, 1, 0.1, 1);
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    GraphManager graph = fresh();
    graph.build(1, 32, 200, 5, 1.2, exact(v, DistanceMetric::kIp), seeded(seed));
    ASSERT_TRUE(graph.is_loaded());
    const Bytes file = read_file(graph.path());
    const std::uint32_t level_count = load_le<std::uint32_t>(file.data() + 32);
    Bytes expected = u32s({level_count});
    for (std::uint32_t l = 0; l < level_count; ++l) expected = concat(expected, u32s({0}));
    EXPECT_EQ(Bytes(file.begin() + 32, file.end()), expected);
    EXPECT_EQ(graph.entry_point(), 0u);
    EXPECT_EQ(graph.max_level(), level_count - 1);
  }
}

TEST_F(GraphBuild, TwoNodesLinkEachOther) {
  const Vectors v = clustered(2, 4, 1, 0.1, 2);
  GraphManager graph = fresh();
  graph.build(2, 32, 200, 5, 1.2, exact(v, DistanceMetric::kL2), seeded(3));
  const Shape shape = shape_of(graph);
  for (std::uint32_t level = 0; level <= std::min(shape.levels[0], shape.levels[1]); ++level) {
    EXPECT_EQ(shape.lists[0][level], std::vector<std::uint32_t>{1});
    EXPECT_EQ(shape.lists[1][level], std::vector<std::uint32_t>{0});
  }
}

// On any level that holds exactly two nodes, they are linked to each other.
TEST_F(GraphBuild, UpperLevelWithTwoNodesLinksThem) {
  const Vectors v = clustered(24, 4, 2, 0.3, 4);
  int seen = 0;
  for (std::uint64_t seed = 0; seed < 64 && seen < 3; ++seed) {
    GraphManager graph = fresh();
    graph.build(24, 8, 200, 2, 1.2, exact(v, DistanceMetric::kIp), seeded(seed));
    const Shape shape = shape_of(graph);
    for (std::uint32_t level = 1; level <= graph.max_level(); ++level) {
      std::vector<std::uint32_t> on_level;
      for (std::uint32_t i = 0; i < 24; ++i) {
        if (shape.levels[i] >= level) on_level.push_back(i);
      }
      if (on_level.size() != 2) continue;
      ++seen;
      EXPECT_EQ(shape.lists[on_level[0]][level], std::vector<std::uint32_t>{on_level[1]});
      EXPECT_EQ(shape.lists[on_level[1]][level], std::vector<std::uint32_t>{on_level[0]});
    }
  }
  EXPECT_GT(seen, 0);
}

TEST_F(GraphBuild, NoSampleMeansNoEdges) {
  const Vectors v = clustered(300, 8, 4, 0.3, 5);
  for (const auto& options : {seeded(6), nearest_only(6), GraphBuildOptions{}}) {
    GraphManager graph = fresh();
    graph.build(300, 32, 0, 5, 1.2, exact(v, DistanceMetric::kIp), options);
    const Shape shape = shape_of(graph);
    for (const auto& per_level : shape.lists) {
      for (const auto& list : per_level) EXPECT_TRUE(list.empty());
    }
  }
}

TEST_F(GraphBuild, DegreeLimits) {
  struct Case {
    std::uint64_t max_degree;
    std::size_t level0;
    std::size_t upper;
  };
  const Case cases[] = {{0, 0, 4}, {1, 1, 4}, {9, 9, 4}, {32, 32, 16}, {1000, 127, 500}};
  const std::uint32_t n = 160;  // more than 127 other nodes on level 0
  const Vectors v = clustered(n, 6, 5, 0.4, 7);
  for (const Case& c : cases) {
    for (const auto& options : {seeded(8), nearest_only(8)}) {
      GraphManager graph = fresh();
      graph.build(n, c.max_degree, 1000, 1, 1.2, exact(v, DistanceMetric::kL2), options);
      const Shape shape = shape_of(graph);
      std::size_t widest0 = 0;
      for (std::uint32_t i = 0; i < n; ++i) {
        widest0 = std::max(widest0, shape.lists[i][0].size());
        for (std::uint32_t level = 1; level <= shape.levels[i]; ++level) {
          EXPECT_LE(shape.lists[i][level].size(), c.upper) << c.max_degree;
        }
      }
      EXPECT_LE(widest0, c.level0) << c.max_degree;
      if (!options.reverse_pass) {
        EXPECT_EQ(widest0, c.level0) << c.max_degree;
      }
    }
  }
}

// Every kept neighbour v of u survives the rule against the neighbours more similar to u:
// none of them is closer to v than u is by the factor alpha.
TEST_F(GraphBuild, ListsObeyTheDiversityRule) {
  const std::uint32_t n = 400;
  const double alpha = 1.2;
  const Vectors v = clustered(n, 3, 4, 0.5, 14);
  GraphManager graph = fresh();
  graph.build(n, 8, 40, 2, alpha, exact(v, DistanceMetric::kL2), seeded(15));
  const Shape shape = shape_of(graph);
  auto dist = [&](std::uint32_t a, std::uint32_t b) {
    return -engine::filter::score_vectors_with_metric(DistanceMetric::kL2, v.row(a), v.row(b));
  };
  std::size_t edges = 0;
  for (std::uint32_t u = 0; u < n; ++u) {
    for (std::uint32_t level = 0; level <= shape.levels[u]; ++level) {
      const auto& list = shape.lists[u][level];
      for (const std::uint32_t x : list) {
        for (const std::uint32_t w : list) {
          if (dist(u, w) < dist(u, x)) {
            EXPECT_GT(alpha * dist(x, w), dist(u, x)) << u << " level " << level;
          }
        }
      }
      edges += list.size();
    }
  }
  EXPECT_GT(edges, n);
}

// A node that no list names can never be found. Every node of a level with other nodes is
// named by at least one of their lists on that level. (Not so at degree 2 under ip, where the
// few nodes of the largest norms fill every list and hold too few places to give up.)
TEST_F(GraphBuild, EveryNodeIsLinkedTo) {
  const std::uint32_t n = 600;
  const Vectors v = clustered(n, 16, 6, 0.5, 18);
  for (const std::uint64_t max_degree : {4, 8, 32}) {
    for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
      GraphManager graph = fresh();
      graph.build(n, max_degree, 200, 5, 1.2, exact(v, metric), seeded(19));
      const Shape shape = shape_of(graph);
      for (std::uint32_t level = 0; level <= graph.max_level(); ++level) {
        std::vector<std::uint32_t> on_level;
        std::vector<int> named(n, 0);
        for (std::uint32_t i = 0; i < n; ++i) {
          if (shape.levels[i] < level) continue;
          on_level.push_back(i);
          for (const std::uint32_t w : shape.lists[i][level]) named[w] = 1;
        }
        if (on_level.size() < 2) continue;
        for (const std::uint32_t i : on_level) {
          EXPECT_TRUE(named[i]) << "node " << i << " level " << level << " max_degree "
                                << max_degree << " " << metric_key(metric);
        }
      }
    }
  }
}

TEST_F(GraphBuild, SimilarityErrorLeavesOldFileAndNoGraph) {
  const Vectors v = clustered(50, 4, 2, 0.3, 9);
  GraphManager graph = fresh();
  graph.build(50, 8, 20, 2, 1.2, exact(v, DistanceMetric::kIp), seeded(1));
  const Bytes before = read_file(graph.path());
  const GraphSimilarity failing{
      DistanceMetric::kIp, [](std::uint32_t, std::span<const std::uint32_t>, std::span<double>) {
        throw Error("similarity failed");
      }};
  EXPECT_THROW(graph.build(50, 8, 20, 2, 1.2, failing), Error);
  EXPECT_FALSE(graph.is_loaded());
  EXPECT_EQ(read_file(graph.path()), before);
  EXPECT_TRUE(GraphManager::open(StorageBackend::from_uri(dir_.path()), dir_.path()).is_loaded());
}

TEST_F(GraphBuild, PublishesToTheBackendAndReopensFromIt) {
  TempDir remote;
  const Vectors v = clustered(40, 4, 2, 0.3, 10);
  GraphManager graph(StorageBackend::from_uri(remote.path()), dir_.path());
  graph.build(40, 8, 20, 2, 1.2, exact(v, DistanceMetric::kIp), seeded(2));
  EXPECT_EQ(read_file(remote.file("graph.bin")), read_file(dir_.file("graph.bin")));
  // A new local directory fetches its copy from the backend.
  TempDir other;
  const std::string local = other.path() + "/db";
  const GraphManager reopened = GraphManager::open(StorageBackend::from_uri(remote.path()), local);
  ASSERT_TRUE(reopened.is_loaded());
  EXPECT_EQ(reopened.node_count(), 40u);
  EXPECT_EQ(read_file(local + "/graph.bin"), read_file(remote.file("graph.bin")));
  // Rebuilding while the old file is mapped replaces it whole.
  graph.build(40, 4, 20, 2, 1.2, exact(v, DistanceMetric::kL2), seeded(3));
  EXPECT_TRUE(graph.is_loaded());
  EXPECT_EQ(read_file(remote.file("graph.bin")), read_file(dir_.file("graph.bin")));
}

TEST_F(GraphBuild, TooManyNodesIsAnError) {
  GraphManager graph = fresh();
  const GraphSimilarity none{DistanceMetric::kIp, nullptr};
  EXPECT_THROW(graph.build(std::uint64_t{1} << 32, 8, 8, 1, 1.2, none), Error);
}

// ---- search ------------------------------------------------------------------------------

// A score that records calls and refuses node numbers outside the graph.
struct Scorer {
  std::uint64_t n;
  std::vector<double> scores;
  double operator()(std::uint32_t node) const {
    if (node >= n) throw std::logic_error("scored a node outside the graph");
    return node < scores.size() ? scores[node] : 0.0;
  }
};

Bytes record_of(const std::vector<std::vector<std::uint32_t>>& lists) {
  GraphFileWriter writer;
  writer.begin_node(static_cast<std::uint32_t>(lists.size()));
  for (const auto& list : lists) writer.add_list(list);
  const Bytes file = writer.finish(0, 0);
  return Bytes(file.begin() + 32, file.end());
}

// Level 0 is the chain 0 - 1 - 2 - 3 - 4; node 1 also names a node 127 outside the graph.
Bytes chain_file(bool break_node_2) {
  std::vector<Bytes> records = {record_of({{1}}), record_of({{0, 2, 127}}), record_of({{1, 3}}),
                                record_of({{2, 4}}), record_of({{3}})};
  if (break_node_2) records[2] = {1, 0};
  return file_of_records(records, 0, 0);
}

TEST(GraphSearch, WalksToTheBestNode) {
  TempDir dir;
  const GraphManager graph = open_bytes(dir, chain_file(false));
  const Scorer scorer{5, {0, 1, 2, 3, 4}};
  const GraphHits hits = graph.search(3, 1, scorer);
  ASSERT_EQ(hits.size(), 1u);  // the result set keeps ef = 1 entries
  EXPECT_EQ(hits[0], (std::pair<std::uint32_t, double>{4, 4.0}));
  const GraphHits wide = graph.search(3, 10, scorer);
  ASSERT_EQ(wide.size(), 3u);
  EXPECT_EQ(wide[0].first, 4u);
  EXPECT_EQ(wide[1].first, 3u);
  EXPECT_EQ(wide[2].first, 2u);
}

TEST(GraphSearch, UndecodableNodeIsNotExpanded) {
  TempDir dir;
  const GraphManager graph = open_bytes(dir, chain_file(true));
  EXPECT_FALSE(error_of(graph, 2, 0).empty());
  const GraphHits hits = graph.search(10, 10, Scorer{5, {0, 1, 2, 3, 4}});
  std::set<std::uint32_t> found;
  for (const auto& [node, score] : hits) found.insert(node);
  EXPECT_EQ(found, (std::set<std::uint32_t>{0, 1, 2}));
}

TEST(GraphSearch, DisallowedNodesOnlyCarryTheWalk) {
  TempDir dir;
  const GraphManager graph = open_bytes(dir, chain_file(false));
  const std::vector<std::uint8_t> allowed = {0, 0, 0, 1, 0};
  const GraphHits hits = graph.search(10, 10, Scorer{5, {4, 3, 2, 1, 0}}, allowed);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].first, 3u);
  // The bitmap is built from the slots of each node.
  const std::uint32_t index_ids[] = {10, 20, 30, 40, 50};
  const std::uint32_t slots[] = {50, 20, 99};
  EXPECT_EQ(GraphManager::allowed_nodes(index_ids, slots),
            (std::vector<std::uint8_t>{0, 1, 0, 0, 1}));
}

TEST(GraphSearch, NanScoresRankLast) {
  TempDir dir;
  const GraphManager graph = open_bytes(dir, chain_file(false));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const GraphHits hits = graph.search(5, 5, Scorer{5, {nan, 1, nan, 3, 2}});
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits[0].first, 3u);
  EXPECT_EQ(hits[1].first, 4u);
  EXPECT_EQ(hits[2].first, 1u);
  EXPECT_TRUE(std::isnan(hits[3].second) && std::isnan(hits[4].second));
}

// A damaged graph.bin, cut anywhere or with any byte changed, gives errors and skipped nodes,
// never a crash or a read outside the file.
TEST(GraphSearch, DamagedFilesNeverCrash) {
  TempDir build_dir;
  const Vectors v = clustered(24, 4, 3, 0.3, 11);
  GraphManager built(StorageBackend::from_uri(build_dir.path()), build_dir.path());
  built.build(24, 6, 20, 2, 1.2, exact(v, DistanceMetric::kIp), seeded(5));
  ASSERT_GT(built.max_level(), 0u);
  const Bytes good = read_file(built.path());

  TempDir dir;
  auto backend = StorageBackend::from_uri(dir.path());
  auto exercise = [&](const Bytes& file) {
    write_file(dir.file("graph.bin"), file);
    const GraphManager graph = GraphManager::open(backend, dir.path());
    graph.search(5, 8, [&](std::uint32_t node) {
      if (node >= graph.node_count()) throw std::logic_error("scored a node outside the graph");
      return node < 24 ? engine::filter::score_vectors_with_metric(DistanceMetric::kIp, v.row(0),
                                                                   v.row(node))
                       : 0.0;
    });
    for (std::uint32_t node = 0; node <= graph.node_count(); ++node) {
      for (std::uint32_t level = 0; level <= 6; ++level) {
        try {
          graph.get_neighbors_at_level(node, level);
        } catch (const Error&) {
        }
      }
    }
  };
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    exercise(Bytes(good.begin(), good.begin() + cut));
  }
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const std::uint8_t mask : {0x01, 0xFF}) {
      Bytes damaged = good;
      damaged[at] ^= mask;
      exercise(damaged);
    }
  }
}

// A graph of 600 clustered nodes with upper levels, and the inner product of each node with
// the query row 600.
class LeveledGraph : public ::testing::Test {
 protected:
  static constexpr std::size_t n = 600;
  void SetUp() override {
    graph.build(n, 8, 40, 2, 1.2, exact(base, DistanceMetric::kIp), seeded(3));
    ASSERT_GT(graph.max_level(), 0u);
  }
  double score(std::uint32_t node) const {
    return engine::filter::score_vectors_with_metric(DistanceMetric::kIp, base.row(n),
                                                     base.row(node));
  }

  const Vectors base = clustered(n + 1, 16, 6, 0.5, 31);
  TempDir dir;
  GraphManager graph{StorageBackend::from_uri(dir.path()), dir.path()};
};

TEST_F(LeveledGraph, BatchScorerScoresEachNodeOncePerLevelAndFindsTheSameHits) {
  auto score = [&](std::uint32_t node) { return this->score(node); };
  std::vector<std::uint8_t> allowed(n, 0);
  for (std::size_t i = 0; i < n; i += 3) allowed[i] = 1;
  for (const bool filtered : {false, true}) {
    const auto filter =
        filtered ? std::optional<std::span<const std::uint8_t>>(allowed) : std::nullopt;
    std::size_t calls = 0, scored = 0;
    const GraphHits batched = graph.search(
        10, 32,
        [&](std::span<const std::uint32_t> nodes, std::span<double> out) {
          ASSERT_EQ(nodes.size(), out.size());
          ++calls;
          scored += nodes.size();
          for (std::size_t i = 0; i < nodes.size(); ++i) {
            ASSERT_LT(nodes[i], n);
            out[i] = score(nodes[i]);
          }
        },
        filter);
    EXPECT_EQ(batched, graph.search(10, 32, score, filter)) << filtered;
    EXPECT_LT(calls, scored) << "neighbours are scored together";
    // Each level keeps its own visited set: a node is scored at most once per level.
    EXPECT_LE(scored, n * (graph.max_level() + 1)) << filtered;
  }
}

// The upper levels hand down up to 32 entries; a smaller list size still bounds the walk.
TEST_F(LeveledGraph, ListSizesBelowTheUpperBeamWalkLess) {
  auto scored_by = [&](std::size_t ef) {
    std::size_t scored = 0;
    const GraphHits hits = graph.search(ef, ef, [&](std::uint32_t node) {
      ++scored;
      return score(node);
    });
    EXPECT_EQ(hits.size(), ef);
    return scored;
  };
  EXPECT_LT(scored_by(4), scored_by(32));
}

// Visited marks are reused from search to search (and from graph to graph) in one thread:
// many searches, past any wrap of their counters, and a larger graph in between give the
// same hits.
TEST(GraphSearch, RepeatedSearchesAcrossGraphsGiveTheSameHits) {
  TempDir small_dir, large_dir;
  const GraphManager small = open_bytes(small_dir, chain_file(false));
  const Scorer scorer{5, {0, 1, 2, 3, 4}};
  const GraphHits first = small.search(3, 10, scorer);
  const Vectors base = clustered(301, 8, 3, 0.5, 7);
  GraphManager large(StorageBackend::from_uri(large_dir.path()), large_dir.path());
  large.build(300, 8, 40, 2, 1.2, exact(base, DistanceMetric::kIp), seeded(3));
  auto large_score = [&](std::uint32_t node) {
    return engine::filter::score_vectors_with_metric(DistanceMetric::kIp, base.row(300),
                                                     base.row(node));
  };
  const GraphHits large_first = large.search(5, 16, large_score);
  for (int i = 0; i < 70000; ++i) {
    const GraphHits again = small.search(3, 10, scorer);
    if (again != first) FAIL() << "search " << i << " differs";
  }
  EXPECT_EQ(large.search(5, 16, large_score), large_first);
  std::vector<GraphHits> from_threads(2);
  std::vector<std::thread> threads;
  for (GraphHits& out : from_threads) {
    threads.emplace_back([&] { out = large.search(5, 16, large_score); });
  }
  for (std::thread& t : threads) t.join();
  for (const GraphHits& h : from_threads) EXPECT_EQ(h, large_first);
}

// recall@k of the graph's search with list size `list` for the query rows n..n+queries-1 of
// `base`, against brute force over its first n rows.
double recall_at(const GraphManager& graph, const Vectors& base, DistanceMetric metric,
                 std::size_t n, std::size_t queries, std::size_t k, std::size_t list) {
  std::size_t found = 0;
  for (std::size_t q = n; q < n + queries; ++q) {
    auto score = [&](std::uint32_t node) {
      return engine::filter::score_vectors_with_metric(metric, base.row(q), base.row(node));
    };
    std::vector<std::pair<double, std::uint32_t>> all;
    for (std::uint32_t i = 0; i < n; ++i) all.emplace_back(score(i), i);
    std::partial_sort(all.begin(), all.begin() + k, all.end(), std::greater<>());
    for (const auto& [node, s] : graph.search(k, list, score)) {
      found += std::count_if(all.begin(), all.begin() + k,
                             [&](const auto& t) { return t.second == node; });
    }
  }
  return static_cast<double>(found) / (queries * k);
}

// On clustered data a search that enters the wrong cluster must still find its way out.
TEST(GraphSearch, RecallOnClusteredData) {
  // 100 vectors per cluster: more than the upper-level degree limit per cluster on level 1, so
  // nearest-neighbour lists alone split the levels into one component per cluster (recall
  // about 0.7 here).
  const std::size_t n = 1500, d = 32, k = 10, queries = 50;
  const Vectors base = clustered(n + queries, d, 15, 0.5, 12);
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    TempDir dir;
    GraphManager graph(StorageBackend::from_uri(dir.path()), dir.path());
    graph.build(n, 16, 100, 3, 1.2, exact(base, metric), seeded(13));
    EXPECT_GE(recall_at(graph, base, metric, n, queries, k, 64), 0.9) << metric_key(metric);
  }
}

// In 128 isotropic dimensions distances inside a cluster concentrate, so the diversity rule
// refuses nothing there; without long links every list stays inside its cluster and a query
// whose cluster has no node on the upper levels never reaches it. (Degree 8: 200 nodes per
// level-1 list of 4 and about one level-2 node per cluster, as 20000 nodes give with 32.)
TEST(GraphSearch, RecallOnConcentratedClusters) {
  const std::size_t n = 1600, d = 128, k = 10, queries = 60;
  const Vectors base = clustered(n + queries, d, 40, 0.5, 16);
  auto recall_of = [&](DistanceMetric metric, double long_link_share) {
    TempDir dir;
    GraphManager graph(StorageBackend::from_uri(dir.path()), dir.path());
    GraphBuildOptions options = seeded(17);
    options.long_link_share = long_link_share;
    graph.build(n, 8, 200, 5, 1.2, exact(base, metric), options);
    return recall_at(graph, base, metric, n, queries, k, 32);
  };
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    EXPECT_LT(recall_of(metric, 0.0), 0.9) << metric_key(metric) << ": the fixture is too easy";
    EXPECT_GE(recall_of(metric, GraphBuildOptions{}.long_link_share), 0.9) << metric_key(metric);
  }
}

}  // namespace
}  // namespace norvex::storage
