// graph.bin: the bytes are opened as a database directory's graph file, every neighbour list of
// every node and level is decoded, and searches walk the graph with and without a node filter.
// A damaged file may load as no graph or report damaged records; nothing may read outside it,
// and a search may only return nodes of the graph, at most k of them, best first.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/file_util.h"
#include "fuzz_util.h"
#include "storage/backend.h"
#include "storage/graph.h"

using namespace norvex;

namespace {

struct Dir {
  std::string path;
  std::shared_ptr<storage::StorageBackend> backend;
};

const Dir& dir() {
  static const Dir d = [] {
    // In memory where possible: a file written per input to a disk-backed /tmp costs more
    // than the decoding under test.
    const char* base = path_exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string path = std::string(base) + "/norvex-graph-fuzz-" + std::to_string(::getpid());
    create_dirs(path);
    // The backend root is the directory itself, as in a database opened from a local path.
    return Dir{path, storage::StorageBackend::from_uri(path)};
  }();
  return d;
}

void remove_dir() {
  remove_file(dir().path + "/" + storage::kGraphFileName);
  ::rmdir(dir().path.c_str());
}

// Scores that tie, rise and fall with the node number, and are sometimes NaN.
double score_of(std::uint32_t node, std::uint32_t query) {
  if (node % 7 == 3) return std::nan("");
  return -std::fabs(static_cast<double>(node) - static_cast<double>(query)) + (node % 3) * 0.5;
}

void check_search(const storage::GraphManager& graph, std::size_t k, std::size_t ef,
                  std::uint32_t query, const std::vector<std::uint8_t>* allowed) {
  const std::uint64_t n = graph.node_count();
  auto node_score = [&](std::uint32_t node) {
    FUZZ_REQUIRE(node < n);
    return score_of(node, query);
  };
  storage::GraphHits hits =
      allowed == nullptr ? graph.search(k, ef, node_score)
                         : graph.search(k, ef, node_score, std::span<const std::uint8_t>(*allowed));
  FUZZ_REQUIRE(hits.size() <= k);
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const auto [node, score] = hits[i];
    FUZZ_REQUIRE(node < n);
    if (allowed != nullptr) FUZZ_REQUIRE(node < allowed->size() && (*allowed)[node] != 0);
    const double expected = score_of(node, query);
    FUZZ_REQUIRE(std::isnan(expected) ? std::isnan(score) : score == expected);
    // Best first, NaN last.
    if (i > 0 && !std::isnan(score)) {
      const double before = hits[i - 1].second;
      FUZZ_REQUIRE(!std::isnan(before) && before >= score);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dir();
  std::atexit(remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Dir& d = dir();
  write_file(d.path + "/" + storage::kGraphFileName, fuzz::bytes_of(data, size));
  storage::GraphManager graph(d.backend, d.path);
  if (fuzz::refused([&] { graph = storage::GraphManager::open(d.backend, d.path); })) {
    fuzz::fail("opening a graph file that exists and is readable threw an Error");
  }
  const std::uint64_t n = graph.node_count();
  if (n == 0) {
    FUZZ_REQUIRE(!graph.is_loaded());
    FUZZ_REQUIRE(graph.search(5, 10, [](std::uint32_t) { return 0.0; }).empty());
    return 0;
  }
  FUZZ_REQUIRE(graph.entry_point() < n);
  FUZZ_REQUIRE(graph.max_level() <= storage::kGraphMaxLevel);

  // Every list a search could ask for, plus one level above the highest a file may have.
  for (std::uint32_t node = 0; node < n; ++node) {
    for (std::uint32_t level = 0; level <= storage::kGraphMaxLevel + 1; ++level) {
      std::vector<std::uint32_t> list;
      // A damaged list is an Error; a decoded one may still name nodes beyond the graph (or
      // wrap its 32-bit sum), which a search ignores.
      if (fuzz::refused([&] { list = graph.get_neighbors_at_level(node, level); })) continue;
      FUZZ_REQUIRE(list.size() <= size);
    }
  }
  FUZZ_REQUIRE(
      fuzz::refused([&] { graph.get_neighbors_at_level(static_cast<std::uint32_t>(n), 0); }));

  // Searches from both ends of the node range, narrow and wide, and restricted to every
  // other node through an allowed bitmap one entry short.
  const auto last = static_cast<std::uint32_t>(n - 1);
  check_search(graph, 1, 1, 0, nullptr);
  check_search(graph, 5, 16, last, nullptr);
  check_search(graph, 200, 200, last / 2, nullptr);
  std::vector<std::uint8_t> allowed(n - 1);
  for (std::size_t i = 0; i < allowed.size(); i += 2) allowed[i] = 1;
  check_search(graph, 10, 20, last / 3, &allowed);

  // parse_layout again on the same mapping gives the same graph.
  const std::uint32_t entry = graph.entry_point();
  graph.parse_layout();
  FUZZ_REQUIRE(graph.node_count() == n && graph.entry_point() == entry);
  return 0;
}
