// The graph index through the engine: build time, recall@10 and queries per second of the
// approximate search for several search-list sizes, next to the exhaustive search, on
// isotropic Gaussian clusters (the hard case for proximity graphs: distances inside a
// cluster concentrate). Recall is measured against the exact neighbours (raw vectors, f64)
// and against the engine's own exhaustive search.
//
//   engine_graph [n=20000] [d=128] [clusters=50] [queries=200] [raw=none|f32|f16]
//                [metrics=ip,cosine,l2] [seed=1] [rerank=on|off]
//
// With reranking on, the max(k, L) nodes the walk keeps are all rescored exactly; rerank=off
// shows what the code scores alone give.
//
// Query rates: one query at a time, best of three rounds, by the clock and by the processor
// time of the process (which a busy machine does not inflate).
// create_index() runs with the binding's defaults: max_degree 32, ef_construction 200,
// search_list_size 128, alpha 1.2, 5 refinements.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/test_util.h"
#include "storage/engine/engine.h"
#include "storage/engine/filter.h"

namespace {

using namespace norvex::storage;
using namespace norvex::storage::engine;
using Clock = std::chrono::steady_clock;

// Query rates are the best of this many rounds (the machine may be shared).
constexpr int kRounds = 3;

struct Data {
  std::size_t d = 0;
  std::vector<std::vector<double>> base, queries;
};

// Gaussian clusters: centres N(0, 1) per coordinate, points centre + 0.5 N(0, 1).
Data make_data(std::size_t n, std::size_t d, std::size_t clusters, std::size_t nq,
               std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> centers(clusters * d);
  for (double& c : centers) c = normal(rng);
  auto draw = [&](std::size_t count) {
    std::vector<std::vector<double>> out(count, std::vector<double>(d));
    for (auto& v : out) {
      const std::size_t c = rng() % clusters;
      for (std::size_t j = 0; j < d; ++j) {
        v[j] = static_cast<float>(centers[c * d + j] + 0.5 * normal(rng));
      }
    }
    return out;
  };
  Data data;
  data.d = d;
  data.base = draw(n);
  data.queries = draw(nq);
  return data;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of the whole process, all threads.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    const std::size_t end = std::min(s.find(',', start), s.size());
    if (end > start) out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

double overlap(const std::vector<SearchResult>& got, const std::vector<std::string>& truth) {
  std::size_t found = 0;
  for (const SearchResult& r : got) found += std::count(truth.begin(), truth.end(), r.id);
  return static_cast<double>(found);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const std::size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const std::size_t clusters = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 50;
  const std::size_t nq = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 200;
  const std::string raw = argc > 5 ? argv[5] : "none";
  const std::vector<std::string> metrics = split(argc > 6 ? argv[6] : "ip,cosine,l2");
  const std::uint64_t seed = argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 1;
  const bool rerank = argc > 8 ? std::string(argv[8]) != "off" : true;
  const std::size_t k = 10;
  const std::uint64_t lists[] = {10, 16, 24, 32, 48, 64, 128, 256};

  const Data data = make_data(n, d, clusters, nq, seed);
  std::printf("n=%zu d=%zu clusters=%zu queries=%zu raw=%s seed=%llu k=%zu rerank=%s\n", n, d,
              clusters, nq, raw.c_str(), static_cast<unsigned long long>(seed), k,
              rerank ? "on" : "off");

  for (const std::string& name : metrics) {
    const DistanceMetric metric = name == "l2"       ? DistanceMetric::kL2
                                  : name == "cosine" ? DistanceMetric::kCosine
                                                     : DistanceMetric::kIp;
    norvex::testing::TempDir dir;
    OpenOptions o;
    o.uri = o.local_dir = dir.path();
    o.d = d;
    o.metric = metric;
    o.rerank = rerank;
    o.rerank_precision = raw == "f32"   ? RerankPrecision::kF32
                         : raw == "f16" ? RerankPrecision::kF16
                                        : RerankPrecision::kDisabled;
    auto engine = NorvaneEngine::open_with_options(o);
    std::vector<BatchWriteItem> items(n);
    for (std::size_t i = 0; i < n; ++i) {
      items[i].id = "v" + std::to_string(i);
      items[i].vector.assign(data.base[i].begin(), data.base[i].end());
    }
    auto start = Clock::now();
    engine->insert_many_with_mode(std::move(items), WriteMode::kInsert);
    engine->flush_wal_to_segment();
    const double insert_s = seconds_since(start);

    // Exact neighbours from the f64 vectors.
    std::vector<std::vector<std::string>> exact(nq);
    for (std::size_t q = 0; q < nq; ++q) {
      std::vector<std::pair<double, std::size_t>> all(n);
      for (std::size_t i = 0; i < n; ++i) {
        all[i] = {filter::score_vectors_with_metric(metric, data.queries[q], data.base[i]), i};
      }
      std::partial_sort(all.begin(), all.begin() + k, all.end(),
                        [](const auto& a, const auto& b) { return a.first > b.first; });
      for (std::size_t j = 0; j < k; ++j) exact[q].push_back("v" + std::to_string(all[j].second));
    }

    std::vector<std::vector<std::string>> brute(nq);
    double brute_recall = 0.0;
    double brute_s = 1e300, brute_cpu = 1e300;
    for (int round = 0; round < kRounds; ++round) {
      brute_recall = 0.0;
      start = Clock::now();
      const double cpu0 = cpu_seconds();
      for (std::size_t q = 0; q < nq; ++q) {
        const auto r = engine->search_with_filter_and_ann(data.queries[q], k, std::nullopt,
                                                          std::nullopt, false);
        brute[q].clear();
        for (const auto& hit : r) brute[q].push_back(hit.id);
        brute_recall += overlap(r, exact[q]);
      }
      brute_s = std::min(brute_s, seconds_since(start));
      brute_cpu = std::min(brute_cpu, cpu_seconds() - cpu0);
    }

    start = Clock::now();
    const double cpu_start = cpu_seconds();
    engine->create_index_with_params(32, 200, 128, 1.2, 5);
    const double build_s = seconds_since(start);
    const double build_cpu = cpu_seconds() - cpu_start;

    std::printf("%-6s insert %.1f s, create_index %.1f s (cpu %.1f s)\n", name.c_str(), insert_s,
                build_s, build_cpu);
    std::printf("  %-12s recall@10 vs exact %.3f                      QPS %7.0f (cpu %7.0f)\n",
                "exhaustive", brute_recall / (nq * k), nq / brute_s, nq / brute_cpu);
    for (const std::uint64_t list : lists) {
      double vs_exact = 0.0, vs_brute = 0.0;
      double s = 1e300, cpu = 1e300;
      for (int round = 0; round < kRounds; ++round) {
        vs_exact = vs_brute = 0.0;
        start = Clock::now();
        const double cpu0 = cpu_seconds();
        for (std::size_t q = 0; q < nq; ++q) {
          const auto r =
              engine->search_with_filter_and_ann(data.queries[q], k, std::nullopt, list, true);
          vs_exact += overlap(r, exact[q]);
          vs_brute += overlap(r, brute[q]);
        }
        s = std::min(s, seconds_since(start));
        cpu = std::min(cpu, cpu_seconds() - cpu0);
      }
      std::printf("  graph L=%-4llu recall@10 vs exact %.3f, vs exhaustive %.3f %8.0f QPS\n",
                  static_cast<unsigned long long>(list), vs_exact / (nq * k), vs_brute / (nq * k),
                  nq / s);
    }
    std::fflush(stdout);
  }
  return 0;
}
