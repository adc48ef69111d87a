// Recall of the graph index on clustered data, with exact similarities.
//
// Builds the graph over n Gaussian-clustered vectors for the ip and l2 metrics, once as the
// plain nearest-neighbour construction and once per navigability setting, and prints
// recall@10 against brute force for a range of search-list sizes, with build times.
//
//   graph_sim [n=20000] [d=128] [clusters=50] [queries=200] [spread=0.5] [intrinsic=0] [seed=1]
//             [configurations=0123456]
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/test_util.h"
#include "storage/backend.h"
#include "storage/engine/filter.h"
#include "storage/graph.h"

using namespace norvex;
using namespace norvex::storage;

namespace {

struct Data {
  std::size_t d = 0;
  std::vector<double> base;
  std::vector<double> queries;
  const double* row(std::size_t i) const { return base.data() + i * d; }
  const double* query(std::size_t i) const { return queries.data() + i * d; }
};

// Gaussian clusters around N(0, 1) centres. intrinsic = 0: isotropic spread; intrinsic = k:
// each cluster spreads along its own random k-dimensional subspace (plus a little isotropic
// noise), as embeddings of related items do.
Data make_data(std::size_t n, std::size_t d, std::size_t clusters, std::size_t nq, double spread,
               std::size_t intrinsic) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> centers(clusters * d);
  for (double& c : centers) c = normal(rng);
  std::vector<double> bases(clusters * d * intrinsic);
  for (double& b : bases) b = normal(rng);
  Data data;
  data.d = d;
  std::vector<double> z(intrinsic);
  auto draw = [&](std::vector<double>& out, std::size_t count) {
    out.resize(count * d);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t c = rng() % clusters;
      for (double& zi : z) zi = normal(rng);
      for (std::size_t j = 0; j < d; ++j) {
        double offset;
        if (intrinsic == 0) {
          offset = normal(rng);
        } else {
          // Unit variance per coordinate along the subspace, 1% of it isotropic.
          const double* b = bases.data() + (c * d + j) * intrinsic;
          double along = 0.0;
          for (std::size_t t = 0; t < intrinsic; ++t) along += b[t] * z[t];
          offset = along / std::sqrt(static_cast<double>(intrinsic)) + 0.1 * normal(rng);
        }
        out[i * d + j] = centers[c * d + j] + spread * offset;
      }
    }
  };
  draw(data.base, n);
  draw(data.queries, nq);
  return data;
}

double score(DistanceMetric metric, const double* a, const double* b, std::size_t d) {
  return engine::filter::score_vectors_with_metric(metric, {a, d}, {b, d});
}

struct Config {
  const char* name;
  GraphBuildOptions options;
  double alpha = 1.2;
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const std::size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const std::size_t clusters = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 50;
  const std::size_t nq = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 200;
  const double spread = argc > 5 ? std::strtod(argv[5], nullptr) : 0.5;
  const std::size_t intrinsic = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 0;
  // Every configuration draws the same levels and samples, so their rows compare in pairs.
  const std::uint64_t seed = argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 1;
  const std::size_t k = 10;
  const std::size_t lists[] = {32, 64, 100, 128, 200};

  const Data data = make_data(n, d, clusters, nq, spread, intrinsic);
  std::printf(
      "n=%zu d=%zu clusters=%zu queries=%zu spread=%.2f intrinsic=%zu seed=%llu  max_degree=32 "
      "ef_c=200 "
      "refinements=5 alpha=1.2\n",
      n, d, clusters, nq, spread, intrinsic, static_cast<unsigned long long>(seed));

  GraphBuildOptions plain;
  plain.diverse_upper_levels = false;
  plain.level0 = Level0Rule::kNearest;
  plain.reverse_candidates = plain.reverse_pass = false;
  plain.long_link_share = 0.0;
  plain.link_orphans = false;
  GraphBuildOptions no_long;
  no_long.long_link_share = 0.0;
  no_long.link_orphans = false;
  GraphBuildOptions quarter;
  quarter.long_link_share = 0.25;
  GraphBuildOptions level0_diverse;
  level0_diverse.level0 = Level0Rule::kDiverse;
  GraphBuildOptions no_repair;
  no_repair.link_orphans = false;
  const Config all_configs[] = {
      {"nearest only (no fixes)", plain},
      {"rule+reverse (previous build)", no_long},
      {"default (long+orphan links)", GraphBuildOptions{}},
      {"long links 1/4", quarter},
      {"long links 1/8, level 0 diverse", level0_diverse},
      {"default without orphan links", no_repair},
      {"previous build at alpha 1.0", no_long, 1.0},
  };
  // Which configurations to run: a string of their numbers (default all).
  const std::string pick = argc > 8 ? argv[8] : "0123456";
  std::vector<Config> configs;
  for (const char c : pick) configs.push_back(all_configs[c - '0']);

  testing::TempDir dir;
  auto backend = StorageBackend::from_uri(dir.path());
  for (const DistanceMetric metric : {DistanceMetric::kIp, DistanceMetric::kL2}) {
    // Exact top-k of every query.
    std::vector<std::vector<std::uint32_t>> truth(nq);
    for (std::size_t q = 0; q < nq; ++q) {
      std::vector<std::pair<double, std::uint32_t>> all(n);
      for (std::size_t i = 0; i < n; ++i) {
        all[i] = {score(metric, data.query(q), data.row(i), d), static_cast<std::uint32_t>(i)};
      }
      std::partial_sort(all.begin(), all.begin() + k, all.end(),
                        [](const auto& a, const auto& b) { return a.first > b.first; });
      for (std::size_t j = 0; j < k; ++j) truth[q].push_back(all[j].second);
    }
    for (const Config& config : configs) {
      std::atomic<std::uint64_t> evaluations{0};
      GraphSimilarity similarity{
          metric, [&](std::uint32_t u, std::span<const std::uint32_t> cand, std::span<double> out) {
            for (std::size_t i = 0; i < cand.size(); ++i) {
              out[i] = score(metric, data.row(u), data.row(cand[i]), d);
            }
            evaluations += cand.size();
          }};
      GraphManager graph(backend, dir.path());
      const auto start = std::chrono::steady_clock::now();
      const std::clock_t cpu_start = std::clock();
      GraphBuildOptions options = config.options;
      options.seed = seed;
      graph.build(n, 32, 200, 5, config.alpha, similarity, options);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
      std::printf("%-3s %-29s build %5.1f s (cpu %5.1f s) %6.1fM similarities\n",
                  metric_key(metric), config.name, seconds, cpu_seconds, evaluations.load() / 1e6);
      std::printf("    recall@10 (nodes scored per query):");
      for (const std::size_t list : lists) {
        std::size_t found = 0;
        std::size_t scored = 0;
        for (std::size_t q = 0; q < nq; ++q) {
          const GraphHits hits = graph.search(k, std::max(k, list), [&](std::uint32_t node) {
            ++scored;
            return score(metric, data.query(q), data.row(node), d);
          });
          for (const auto& [node, s] : hits) {
            found += std::count(truth[q].begin(), truth[q].end(), node);
          }
        }
        std::printf("  L=%zu %.3f (%zu)", list, static_cast<double>(found) / (nq * k), scored / nq);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  return 0;
}
