// The multi-level proximity graph used for approximate search: its file "graph.bin", the
// build that writes it and the search that walks it.
//
// graph.bin, little-endian, no padding, no checksum:
//
//   offset 0   4 bytes   magic "NVG3"
//          4   u32       n, the node count
//          8   u32       entry point node
//          12  u32       maximum level (0..5)
//          16  u64[n+1]  offset of each node record relative to the data start; entry 0 is 0,
//                        entry n the total length of the records
//   16+8(n+1)            the node records, node 0 first, back to back
//
// Node record: u32 level count c (the node's level + 1), then for each level 0..c-1 a u32
// neighbour count m followed by m ascending node numbers, delta-coded (first from 0) as
// unsigned LEB128 varints (7 bits per byte, low group first, high bit = more bytes follow).
//
// Nodes are numbered 0..n-1; the engine keeps the node-to-slot list beside the graph.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "storage/backend.h"
#include "storage/metric.h"

namespace norvex::storage {

inline constexpr char kGraphFileName[] = "graph.bin";
inline constexpr std::uint32_t kGraphMaxLevel = 5;
inline constexpr std::uint64_t kGraphMaxLevel0Degree = 127;
// Width of the beam on the levels above 0.
inline constexpr std::size_t kGraphUpperBeam = 32;

// Scores node u against candidate nodes: fills scores[i] with the similarity of u to
// candidates[i] (scores.size() == candidates.size()); higher means more similar. Any node can
// act as u, so the same callable serves the pairwise checks of the build. Called from several
// worker threads at once; it must only read shared state.
using GraphScoreFn = std::function<void(std::uint32_t u, std::span<const std::uint32_t> candidates,
                                        std::span<double> scores)>;

// What the build needs to know about the nodes: their similarity and which metric it stands
// for. The metric decides how a similarity turns into a distance for the diversity rule:
//   l2: distance = -similarity (the similarity is the negated Euclidean distance);
//   ip, cosine: distance = sqrt(max(0, s(a,a) + s(b,b) - 2 s(a,b))), the Euclidean distance of
//     the vectors behind an inner product; s(x,x) comes from the callable itself, so an
//     estimated similarity is measured against its own estimate of the norm.
// Scaling raw similarities instead (alpha * s) would turn the rule around for negative scores
// and hardly refuse anything at high cosines; the distance form is the l2 rule on the vectors.
struct GraphSimilarity {
  DistanceMetric metric = DistanceMetric::kIp;
  GraphScoreFn score;
};

// How level 0 chooses its neighbours.
enum class Level0Rule : std::uint8_t {
  kNearest,      // the most similar candidates, in every pass
  kDiverseLast,  // the most similar while sampling and refining; the diversity rule in the
                 // closing reverse pass
  kDiverse,      // the diversity rule in every pass
};

// Knobs of the build. The defaults are the production build; tests and benchmarks turn parts
// off to measure them or fix the random draws. Level 0 defaults to kDiverseLast: on clustered
// data it reaches the recall of kDiverse with a fraction of its similarity evaluations
// (bench/graph_sim.cpp).
struct GraphBuildOptions {
  // Seed of every random draw; unset = drawn from the operating system's random source.
  std::optional<std::uint64_t> seed;
  // Choose neighbours with the alpha diversity rule on the levels above 0 (otherwise simply
  // the most similar candidates).
  bool diverse_upper_levels = true;
  Level0Rule level0 = Level0Rule::kDiverseLast;
  // Offer every node's reverse neighbours as refinement candidates.
  bool reverse_candidates = true;
  // End each level with a pass over each node's own and reverse neighbours.
  bool reverse_pass = true;
  // Share of every list (rounded up, but never the whole list) kept for long links: candidates
  // beyond alpha times the distance of the node's farthest near neighbour, chosen through the
  // diversity rule. 0 turns them off.
  double long_link_share = 0.125;
  // End each level by linking every node that no list names from one of its neighbours.
  bool link_orphans = true;
};

// Node numbers found by a search, best first, with their scores.
using GraphHits = std::vector<std::pair<std::uint32_t, double>>;

// Owns graph.bin: maps it read-only and decodes one neighbour list at a time on demand.
//
// A manager is either unloaded (no mapping, node_count() == 0) or loaded (mapped, header and
// offset table valid). Any file that fails validation - wrong magic, short header or offset
// table, an offset table that does not start at 0, runs backwards or points past the end of
// the file, an entry point outside the nodes or a maximum level above 5 - is treated as no
// graph at all: the manager stays unloaded, silently. Damage inside a node record is reported
// per record by get_neighbors_at_level and skipped by search.
//
// Searches may run concurrently with each other; open, parse_layout and build need exclusive
// access.
class GraphManager {
 public:
  // An unloaded manager for `dir` that publishes to `backend`.
  GraphManager(std::shared_ptr<StorageBackend> backend, std::string dir);
  ~GraphManager();
  GraphManager(GraphManager&& other) noexcept;
  GraphManager& operator=(GraphManager&& other) noexcept;
  GraphManager(const GraphManager&) = delete;
  GraphManager& operator=(const GraphManager&) = delete;

  // Fetches "graph.bin" from the backend, keeps a local copy at dir/graph.bin (unless the
  // backend file is that very file) and maps it. A backend without the file gives an unloaded
  // manager; so does an empty or invalid file. Directory, write, open and map failures throw
  // Error.
  static GraphManager open(std::shared_ptr<StorageBackend> backend, const std::string& dir);

  // (Re)reads header and offset table from the current mapping; on any validation failure
  // drops the mapping and leaves the manager unloaded.
  void parse_layout();

  // The level-`level` neighbours of `node`, ascending. A level above the node's own gives an
  // empty list. Throws Error "Graph not loaded" without a mapping, "OOR" for node >=
  // node_count(), and "corrupt graph record for node {}: ..." for a damaged record.
  std::vector<std::uint32_t> get_neighbors_at_level(std::uint32_t node, std::uint32_t level) const;

  // Builds the graph over nodes 0..n-1 (storage/graph_build.h) and replaces graph.bin:
  // written to a temporary file and renamed over the old one (the old mapping is dropped
  // first), mirrored to the backend, then mapped. Degree limits: min(max_degree, 127) on
  // level 0, max(max_degree / 2, 4) above. `alpha` is the diversity factor: a candidate v is
  // refused for u when an already kept neighbour w has alpha * dist(v, w) <= dist(u, v); it
  // also sets how far beyond the near neighbours a long link lies. The manager is unloaded
  // from the start of the call until it succeeds; errors of the similarity, the write or the
  // mapping are rethrown. Requires n < 2^32.
  void build(std::uint64_t n, std::uint64_t max_degree, std::uint64_t ef_construction,
             std::uint64_t n_refinements, double alpha, const GraphSimilarity& similarity,
             const GraphBuildOptions& options = {});

  // Approximate search: a beam of kGraphUpperBeam down the upper levels from the entry
  // point, then a best-first walk of level 0 keeping the `ef` best nodes. `node_score` gives a
  // node's score against the query (higher is better; NaN ranks below every number) and is
  // called only with node numbers below node_count(). When `allowed` is given, only nodes
  // with allowed[node] != 0 (and node < allowed.size()) enter the result; the others still
  // carry the walk. Lists that fail to decode are skipped, out-of-range neighbour numbers
  // ignored. Returns at most k_out hits, best first (stable); empty when nothing is loaded.
  GraphHits search(std::size_t k_out, std::size_t ef,
                   const std::function<double(std::uint32_t)>& node_score,
                   std::optional<std::span<const std::uint8_t>> allowed = std::nullopt) const;
  // The same walk with the scores of a node's new neighbours asked for at once:
  // node_scores(nodes, out) fills out[i] with the score of nodes[i] (the same value
  // node_score would give), so a scorer can work on several records per pass. Same result.
  using NodeScoresFn =
      std::function<void(std::span<const std::uint32_t> nodes, std::span<double> out)>;
  GraphHits search(std::size_t k_out, std::size_t ef, const NodeScoresFn& node_scores,
                   std::optional<std::span<const std::uint8_t>> allowed = std::nullopt) const;

  // The allowed-node bitmap for search: allowed[i] = 1 when index_ids[i] (node i's slot) is
  // one of `slots` (any order, duplicates fine).
  static std::vector<std::uint8_t> allowed_nodes(std::span<const std::uint32_t> index_ids,
                                                 std::span<const std::uint32_t> slots);

  // True while a graph with at least one node is mapped.
  bool is_loaded() const { return mapping_ != nullptr && node_count_ > 0; }
  std::uint64_t node_count() const { return node_count_; }
  std::uint32_t entry_point() const { return entry_point_; }
  std::uint32_t max_level() const { return max_level_; }
  const std::string& path() const { return path_; }

 private:
  class Mapping;
  struct UpperLists;

  // Decodes one list into `out` (cleared first). On failure returns false and, when
  // `message` is set, stores the error text there.
  bool decode_neighbors(std::uint32_t node, std::uint32_t level, std::vector<std::uint32_t>& out,
                        std::string* message) const;
  // Starts fetching node's record into the cache.
  void prefetch_record(std::uint32_t node) const;
  // The lists of levels 1 and up, decoded on the first search and kept: every search walks
  // those levels with a wide beam, and their nodes are few.
  const UpperLists& upper_lists() const;
  void map_file();
  void unload();

  std::unique_ptr<Mapping> mapping_;
  std::unique_ptr<UpperLists> upper_;  // set with the mapping; filled on first use
  std::string dir_;
  std::string path_;
  std::vector<std::uint64_t> node_offsets_;
  std::shared_ptr<StorageBackend> backend_;
  std::uint64_t node_count_ = 0;
  std::uint64_t data_start_ = 0;
  std::uint32_t entry_point_ = 0;
  std::uint32_t max_level_ = 0;
};

// Encodes graph.bin: node records in node order, then header and offset table around them.
class GraphFileWriter {
 public:
  // Starts the record of the next node, which has `level_count` lists (its level + 1);
  // exactly that many add_list calls must follow.
  void begin_node(std::uint32_t level_count);
  // Appends the node's next list; `ascending` must be sorted ascending.
  void add_list(std::span<const std::uint32_t> ascending);
  // The whole file; the node count is the number of nodes begun.
  Bytes finish(std::uint32_t entry_point, std::uint32_t max_level) const;

 private:
  Bytes records_;
  std::vector<std::uint64_t> offsets_;
};

// Appends `value` as an unsigned LEB128 varint (at most five bytes).
void append_varint(Bytes& out, std::uint32_t value);

}  // namespace norvex::storage
