#include "storage/graph.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <queue>

#include "common/error.h"
#include "common/file_util.h"
#include "common/prefetch.h"
#include "storage/graph_build.h"
#include "storage/node_marks.h"

namespace norvex::storage {

namespace {

constexpr char kMagic[4] = {'N', 'V', 'G', '3'};
constexpr std::uint64_t kHeaderSize = 16;

std::string record_error(std::uint32_t node, const std::string& what) {
  return "corrupt graph record for node " + std::to_string(node) + ": " + what;
}

// Orders scores with NaN below every number, so heaps and sorts see a strict weak order.
bool score_less(double a, double b) { return std::isnan(a) ? !std::isnan(b) : a < b; }

struct Scored {
  double score;
  std::uint32_t node;
};

struct BestFirst {
  bool operator()(const Scored& a, const Scored& b) const { return score_less(a.score, b.score); }
};
struct WorstFirst {
  bool operator()(const Scored& a, const Scored& b) const { return score_less(b.score, a.score); }
};

using CandidateQueue = std::priority_queue<Scored, std::vector<Scored>, BestFirst>;
using ResultSet = std::priority_queue<Scored, std::vector<Scored>, WorstFirst>;

std::vector<Scored> drain(ResultSet& w) {
  std::vector<Scored> out;
  out.reserve(w.size());
  while (!w.empty()) {
    out.push_back(w.top());
    w.pop();
  }
  return out;
}

}  // namespace

// A read-only mapping of a whole file; the file descriptor is closed once mapped.
class GraphManager::Mapping {
 public:
  // Maps `path`. An empty file cannot be mapped and holds no graph: returns nullptr.
  static std::unique_ptr<Mapping> map(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw last_os_error(path);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const Error error = last_os_error(path);
      ::close(fd);
      throw error;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) {
      ::close(fd);
      return nullptr;
    }
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    const int map_errno = errno;
    ::close(fd);
    if (data == MAP_FAILED) throw os_error(map_errno, path);
    ::madvise(data, size, MADV_RANDOM);
    return std::unique_ptr<Mapping>(new Mapping(static_cast<const std::uint8_t*>(data), size));
  }

  ~Mapping() { ::munmap(const_cast<std::uint8_t*>(data_), size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  Mapping(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  const std::uint8_t* data_;
  std::size_t size_;
};

// The upper levels in a numbering of their own: the entry point is 0, and the nodes its upper
// lists reach, directly or through others, follow in the order they are found. Node node_of[u]'s
// lists of levels 1.. are spans[first[u]..first[u + 1]), level l at first[u] + l - 1, each a
// range of `flat` holding upper numbers. A list that failed to decode is empty. Walking in
// these numbers keeps the walk's lookups in arrays as small as the upper levels. Built once,
// under `once`, by the first search after the file was mapped.
struct GraphManager::UpperLists {
  std::once_flag once;
  std::vector<std::uint32_t> node_of;
  std::vector<std::uint32_t> first;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
  std::vector<std::uint32_t> flat;

  std::span<const std::uint32_t> list(std::uint32_t u, std::uint32_t level) const {
    const std::uint32_t at = first[u] + level - 1;
    if (at >= first[u + 1]) return {};
    return std::span(flat).subspan(spans[at].first, spans[at].second - spans[at].first);
  }
};

GraphManager::GraphManager(std::shared_ptr<StorageBackend> backend, std::string dir)
    : dir_(std::move(dir)), path_(dir_ + "/" + kGraphFileName), backend_(std::move(backend)) {}

GraphManager::~GraphManager() = default;
GraphManager::GraphManager(GraphManager&& other) noexcept = default;
GraphManager& GraphManager::operator=(GraphManager&& other) noexcept = default;

GraphManager GraphManager::open(std::shared_ptr<StorageBackend> backend, const std::string& dir) {
  GraphManager manager(std::move(backend), dir);
  Bytes bytes;
  try {
    bytes = manager.backend_->read(kGraphFileName);
  } catch (const Error&) {
    return manager;  // no graph yet
  }
  create_dirs(dir);
  // When the backend root is this directory the file is already in place; rewriting it onto
  // itself could only tear it.
  if (manager.backend_->needs_mirror(kGraphFileName, manager.path_)) {
    write_file_atomic(manager.path_, bytes);
  }
  manager.map_file();
  return manager;
}

void GraphManager::map_file() {
  unload();
  mapping_ = Mapping::map(path_);
  parse_layout();
}

void GraphManager::unload() {
  mapping_.reset();
  upper_.reset();
  node_offsets_.clear();
  node_count_ = 0;
  data_start_ = 0;
  entry_point_ = 0;
  max_level_ = 0;
}

void GraphManager::parse_layout() {
  node_offsets_.clear();
  node_count_ = 0;
  data_start_ = 0;
  entry_point_ = 0;
  max_level_ = 0;
  if (mapping_ == nullptr) return;
  const std::uint8_t* data = mapping_->data();
  const std::uint64_t size = mapping_->size();
  if (size < kHeaderSize || std::memcmp(data, kMagic, sizeof(kMagic)) != 0) return unload();
  const auto n = load_le<std::uint32_t>(data + 4);
  const auto entry = load_le<std::uint32_t>(data + 8);
  const auto max_level = load_le<std::uint32_t>(data + 12);
  const std::uint64_t data_start = kHeaderSize + 8 * (std::uint64_t{n} + 1);
  if (size < data_start) return unload();
  // Every record must lie inside the file, in order, so that no lookup can read outside it.
  std::vector<std::uint64_t> offsets(std::uint64_t{n} + 1);
  for (std::uint64_t i = 0; i <= n; ++i) {
    offsets[i] = load_le<std::uint64_t>(data + kHeaderSize + 8 * i);
    if (i == 0 ? offsets[i] != 0 : offsets[i] < offsets[i - 1]) return unload();
  }
  if (offsets[n] > size - data_start) return unload();
  if (max_level > kGraphMaxLevel || (n > 0 && entry >= n)) return unload();
  node_offsets_ = std::move(offsets);
  node_count_ = n;
  data_start_ = data_start;
  entry_point_ = entry;
  max_level_ = max_level;
  upper_ = std::make_unique<UpperLists>();
}

const GraphManager::UpperLists& GraphManager::upper_lists() const {
  UpperLists& upper = *upper_;
  std::call_once(upper.once, [&] {
    const auto n = static_cast<std::uint32_t>(node_count_);
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    // The nodes a walk can reach on the upper levels, numbered as they are found from the
    // entry point; only their records are read.
    std::vector<std::uint32_t> number(n, kNone);
    number[entry_point_] = 0;
    upper.node_of.push_back(entry_point_);
    std::vector<std::uint32_t> list;
    for (std::uint32_t u = 0; u < upper.node_of.size(); ++u) {
      const std::uint32_t v = upper.node_of[u];
      upper.first.push_back(static_cast<std::uint32_t>(upper.spans.size()));
      const std::uint64_t len = node_offsets_[v + 1] - node_offsets_[v];
      if (len < 4) continue;  // damaged: no lists
      const auto level_count =
          load_le<std::uint32_t>(mapping_->data() + data_start_ + node_offsets_[v]);
      // Levels above the graph's maximum are never walked.
      const std::uint32_t top = std::min(level_count, max_level_ + 1);
      for (std::uint32_t level = 1; level < top; ++level) {
        const auto begin = static_cast<std::uint32_t>(upper.flat.size());
        if (decode_neighbors(v, level, list, nullptr)) {
          for (const std::uint32_t w : list) {
            if (w >= n) continue;  // ignored, as on level 0
            if (number[w] == kNone) {
              number[w] = static_cast<std::uint32_t>(upper.node_of.size());
              upper.node_of.push_back(w);
            }
            upper.flat.push_back(number[w]);
          }
        }
        upper.spans.emplace_back(begin, static_cast<std::uint32_t>(upper.flat.size()));
      }
    }
    upper.first.push_back(static_cast<std::uint32_t>(upper.spans.size()));
  });
  return upper;
}

bool GraphManager::decode_neighbors(std::uint32_t node, std::uint32_t level,
                                    std::vector<std::uint32_t>& out, std::string* message) const {
  out.clear();
  auto fail = [&](auto make_text) {
    if (message != nullptr) *message = make_text();
    return false;
  };
  if (mapping_ == nullptr) return fail([] { return std::string("Graph not loaded"); });
  if (node >= node_count_) return fail([] { return std::string("OOR"); });
  const std::uint64_t len = node_offsets_[node + 1] - node_offsets_[node];
  const std::uint8_t* rec = mapping_->data() + data_start_ + node_offsets_[node];
  if (len < 4) {
    return fail(
        [&] { return record_error(node, "too short (" + std::to_string(len) + " bytes)"); });
  }
  const auto level_count = load_le<std::uint32_t>(rec);
  if (level >= level_count) return true;
  std::uint64_t pos = 4;
  for (std::uint32_t lv = 0;; ++lv) {
    if (len - pos < 4) {
      return fail([&] { return record_error(node, "truncated at level " + std::to_string(lv)); });
    }
    const auto m = load_le<std::uint32_t>(rec + pos);
    pos += 4;
    if (m > len) {
      return fail(
          [&] { return record_error(node, "implausible neighbour count " + std::to_string(m)); });
    }
    if (lv < level) {
      for (std::uint32_t k = 0; k < m; ++k) {
        if (pos >= len) {
          return fail([&] { return record_error(node, "varint overrun while skipping"); });
        }
        while (pos < len && (rec[pos++] & 0x80) != 0) {
        }
      }
      continue;
    }
    out.reserve(m);
    std::uint32_t sum = 0;
    for (std::uint32_t k = 0; k < m; ++k) {
      if (pos >= len) return fail([&] { return record_error(node, "varint overrun"); });
      std::uint64_t delta = 0;
      unsigned shift = 0;
      for (;;) {
        const std::uint8_t byte = rec[pos++];
        if (shift < 64) delta |= std::uint64_t{byte & 0x7Fu} << shift;
        shift += 7;
        if ((byte & 0x80) == 0 || pos >= len) break;
      }
      sum += static_cast<std::uint32_t>(delta);
      out.push_back(sum);
    }
    return true;
  }
}

std::vector<std::uint32_t> GraphManager::get_neighbors_at_level(std::uint32_t node,
                                                                std::uint32_t level) const {
  std::vector<std::uint32_t> out;
  std::string message;
  if (!decode_neighbors(node, level, out, &message)) throw Error(message);
  return out;
}

void GraphManager::build(std::uint64_t n, std::uint64_t max_degree, std::uint64_t ef_construction,
                         std::uint64_t n_refinements, double alpha,
                         const GraphSimilarity& similarity, const GraphBuildOptions& options) {
  unload();
  const Bytes bytes =
      build_graph_bytes(n, max_degree, ef_construction, n_refinements, alpha, similarity, options);
  create_dirs(dir_);
  // A new file renamed over the old one: a crash leaves one whole graph.bin, and mappings of
  // the old file elsewhere stay valid.
  write_file_atomic(path_, bytes);
  backend_->mirror(kGraphFileName, path_, bytes);
  map_file();
}

GraphHits GraphManager::search(std::size_t k_out, std::size_t ef,
                               const std::function<double(std::uint32_t)>& node_score,
                               std::optional<std::span<const std::uint8_t>> allowed) const {
  return search(
      k_out, ef,
      [&](std::span<const std::uint32_t> nodes, std::span<double> out) {
        for (std::size_t i = 0; i < nodes.size(); ++i) out[i] = node_score(nodes[i]);
      },
      allowed);
}

void GraphManager::prefetch_record(std::uint32_t node) const {
  const std::uint64_t begin = node_offsets_[node];
  const std::uint64_t end = node_offsets_[node + 1];
  prefetch_lines(mapping_->data() + data_start_ + begin, end - begin);
}

GraphHits GraphManager::search(std::size_t k_out, std::size_t ef, const NodeScoresFn& node_scores,
                               std::optional<std::span<const std::uint8_t>> allowed) const {
  if (!is_loaded() || k_out == 0) return {};
  ef = std::max<std::size_t>(ef, 1);
  const auto n = static_cast<std::uint32_t>(node_count_);
  std::vector<std::uint32_t> neighbors;
  // The neighbours of the expanded node not seen before, and their scores.
  std::vector<std::uint32_t> fresh;
  std::vector<std::uint32_t> fresh_upper;  // on the upper levels, fresh in upper numbers
  std::vector<double> fresh_scores;
  const auto score_fresh = [&] {
    fresh_scores.resize(fresh.size());
    if (!fresh.empty()) node_scores(fresh, fresh_scores);
  };
  // The nodes seen on the current level.
  thread_local NodeMarks visited;

  const UpperLists& upper = upper_lists();
  double entry_score = 0.0;
  node_scores({&entry_point_, 1}, {&entry_score, 1});
  // Upper numbers on the levels above 0, node numbers from level 0 on.
  std::vector<Scored> entries{{entry_score, max_level_ >= 1 ? 0 : entry_point_}};
  for (std::uint32_t level = max_level_; level >= 1; --level) {
    visited.start(n);
    CandidateQueue candidates;
    ResultSet w;
    for (const Scored& e : entries) {
      visited.mark(e.node);
      candidates.push(e);
      w.push(e);
    }
    while (!candidates.empty()) {
      const Scored c = candidates.top();
      candidates.pop();
      if (w.size() >= kGraphUpperBeam && score_less(c.score, w.top().score)) break;
      fresh_upper.clear();
      fresh.clear();
      for (const std::uint32_t u : upper.list(c.node, level)) {
        if (!visited.mark(u)) continue;
        fresh_upper.push_back(u);
        fresh.push_back(upper.node_of[u]);
      }
      score_fresh();
      for (std::size_t i = 0; i < fresh.size(); ++i) {
        const std::uint32_t u = fresh_upper[i];
        const double s = fresh_scores[i];
        if (w.size() >= kGraphUpperBeam && !score_less(w.top().score, s)) continue;
        candidates.push({s, u});
        w.push({s, u});
        if (w.size() > kGraphUpperBeam) w.pop();
      }
    }
    entries = drain(w);
    if (level == 1) {
      for (Scored& e : entries) e.node = upper.node_of[e.node];
    }
  }

  auto passes = [&](std::uint32_t node) {
    return !allowed || (node < allowed->size() && (*allowed)[node] != 0);
  };
  visited.start(n);
  CandidateQueue candidates;
  ResultSet w;
  for (const Scored& e : entries) {
    visited.mark(e.node);
    candidates.push(e);
    if (passes(e.node)) w.push(e);
  }
  // The upper levels hand down up to 32 entries; keeping more than ef of them would make
  // every list size below 32 walk as if it were 32.
  while (w.size() > ef) w.pop();
  while (!candidates.empty()) {
    const Scored c = candidates.top();
    candidates.pop();
    // Expanding a node waits on its graph record; fetching the next candidate's record while
    // this one's neighbours are scored hides most of that wait.
    if (!candidates.empty()) prefetch_record(candidates.top().node);
    if (w.size() >= ef && score_less(c.score, w.top().score)) break;
    if (!decode_neighbors(c.node, 0, neighbors, nullptr)) continue;
    fresh.clear();
    for (const std::uint32_t v : neighbors) {
      if (v < n && visited.mark(v)) fresh.push_back(v);
    }
    score_fresh();
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const std::uint32_t v = fresh[i];
      const double s = fresh_scores[i];
      // Below W's worst once W is full, a node would end the walk when it came up (every
      // later candidate being worse still): queueing it changes nothing.
      if (w.size() >= ef && score_less(s, w.top().score)) continue;
      candidates.push({s, v});
      if (!passes(v)) continue;  // only a path to other nodes
      if (w.size() >= ef && !score_less(w.top().score, s)) continue;
      w.push({s, v});
      if (w.size() > ef) w.pop();
    }
  }

  std::vector<Scored> found = drain(w);
  std::stable_sort(found.begin(), found.end(),
                   [](const Scored& a, const Scored& b) { return score_less(b.score, a.score); });
  if (found.size() > k_out) found.resize(k_out);
  GraphHits hits;
  hits.reserve(found.size());
  for (const Scored& s : found) hits.emplace_back(s.node, s.score);
  return hits;
}

std::vector<std::uint8_t> GraphManager::allowed_nodes(std::span<const std::uint32_t> index_ids,
                                                      std::span<const std::uint32_t> slots) {
  std::vector<std::uint32_t> sorted(slots.begin(), slots.end());
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint8_t> allowed(index_ids.size(), 0);
  for (std::size_t i = 0; i < index_ids.size(); ++i) {
    allowed[i] = std::binary_search(sorted.begin(), sorted.end(), index_ids[i]) ? 1 : 0;
  }
  return allowed;
}

void GraphFileWriter::begin_node(std::uint32_t level_count) {
  offsets_.push_back(records_.size());
  append_le<std::uint32_t>(records_, level_count);
}

void GraphFileWriter::add_list(std::span<const std::uint32_t> ascending) {
  NVX_CHECK(!offsets_.empty(), "graph list added before any node");
  append_le<std::uint32_t>(records_, static_cast<std::uint32_t>(ascending.size()));
  std::uint32_t previous = 0;
  for (const std::uint32_t v : ascending) {
    NVX_CHECK(v >= previous, "graph neighbour list not ascending");
    append_varint(records_, v - previous);
    previous = v;
  }
}

Bytes GraphFileWriter::finish(std::uint32_t entry_point, std::uint32_t max_level) const {
  NVX_CHECK(offsets_.size() <= std::numeric_limits<std::uint32_t>::max(), "too many graph nodes");
  const std::size_t table = 8 * (offsets_.size() + 1);
  Bytes file(kHeaderSize + table);
  std::memcpy(file.data(), kMagic, sizeof(kMagic));
  store_le<std::uint32_t>(file.data() + 4, static_cast<std::uint32_t>(offsets_.size()));
  store_le<std::uint32_t>(file.data() + 8, entry_point);
  store_le<std::uint32_t>(file.data() + 12, max_level);
  for (std::size_t i = 0; i < offsets_.size(); ++i) {
    store_le<std::uint64_t>(file.data() + kHeaderSize + 8 * i, offsets_[i]);
  }
  store_le<std::uint64_t>(file.data() + kHeaderSize + 8 * offsets_.size(), records_.size());
  file.insert(file.end(), records_.begin(), records_.end());
  return file;
}

void append_varint(Bytes& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace norvex::storage
