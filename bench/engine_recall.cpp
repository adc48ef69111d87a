// Recall@10 of the exhaustive search against exact inner-product search, for bit widths 2, 3,
// 4 and 8, reranking from raw f32 vectors, from reconstructed vectors (the default) and not at
// all, on 10000 clustered and 10000 uniformly random unit vectors of dimension 128.
//
//   engine_recall [queries] [seed]      (defaults 200, 7)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/test_util.h"
#include "storage/engine/engine.h"

namespace {

using norvex::storage::DistanceMetric;
using norvex::storage::RerankPrecision;
using norvex::storage::engine::BatchWriteItem;
using norvex::storage::engine::NorvaneEngine;
using norvex::storage::engine::OpenOptions;
using norvex::storage::engine::WriteMode;
using Vectors = std::vector<std::vector<double>>;

constexpr std::size_t kN = 10000, kD = 128, kK = 10;

std::vector<double> unit(std::mt19937_64& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> v(kD);
  double s = 0;
  for (double& x : v) {
    x = g(rng);
    s += x * x;
  }
  for (double& x : v) x = static_cast<float>(x / std::sqrt(s));
  return v;
}

// Points around 100 random unit centres.
Vectors clustered(std::mt19937_64& rng, const Vectors& centres, std::size_t n) {
  std::normal_distribution<double> g(0.0, 0.15);
  Vectors out;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> v = centres[rng() % centres.size()];
    for (double& x : v) x = static_cast<float>(x + g(rng) / std::sqrt(double(kD)));
    out.push_back(std::move(v));
  }
  return out;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

std::vector<std::vector<std::size_t>> exact_top(const Vectors& data, const Vectors& queries) {
  std::vector<std::vector<std::size_t>> out;
  for (const auto& q : queries) {
    std::vector<double> s(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) s[i] = dot(q, data[i]);
    std::vector<std::size_t> order(data.size());
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + kK, order.end(),
                      [&](std::size_t a, std::size_t b) { return s[a] > s[b]; });
    order.resize(kK);
    out.push_back(std::move(order));
  }
  return out;
}

double recall(const Vectors& data, const Vectors& queries,
              const std::vector<std::vector<std::size_t>>& truth, std::uint64_t b, bool rerank,
              RerankPrecision precision) {
  norvex::testing::TempDir dir;
  OpenOptions o;
  o.uri = o.local_dir = dir.path();
  o.d = kD;
  o.b = b;
  o.rerank = rerank;
  o.rerank_precision = precision;
  auto e = NorvaneEngine::open_with_options(o);
  std::vector<BatchWriteItem> items;
  for (std::size_t i = 0; i < data.size(); ++i) {
    items.push_back(
        {std::to_string(i), std::vector<float>(data[i].begin(), data[i].end()), {}, std::nullopt});
  }
  e->insert_many_with_mode(std::move(items), WriteMode::kInsert);
  std::size_t found = 0;
  for (std::size_t t = 0; t < queries.size(); ++t) {
    for (const auto& hit :
         e->search_with_filter_and_ann(queries[t], kK, std::nullopt, std::nullopt, false)) {
      const std::size_t idx = std::stoul(hit.id);
      if (std::find(truth[t].begin(), truth[t].end(), idx) != truth[t].end()) ++found;
    }
  }
  return double(found) / double(queries.size() * kK);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n_queries = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 7;
  std::mt19937_64 rng(seed);
  Vectors centres;
  for (int c = 0; c < 100; ++c) centres.push_back(unit(rng));
  struct Set {
    const char* name;
    Vectors data, queries;
  };
  Set sets[2] = {{"clustered", clustered(rng, centres, kN), clustered(rng, centres, n_queries)},
                 {"uniform", {}, {}}};
  for (std::size_t i = 0; i < kN; ++i) sets[1].data.push_back(unit(rng));
  for (std::size_t i = 0; i < n_queries; ++i) sets[1].queries.push_back(unit(rng));

  std::printf("recall@10, %zu vectors, d=%zu, metric ip, %zu queries, seed %llu\n", kN, kD,
              n_queries, static_cast<unsigned long long>(seed));
  std::printf("%-10s %3s %12s %16s %11s\n", "set", "b", "raw f32", "reconstruction", "rerank off");
  for (const Set& s : sets) {
    const auto truth = exact_top(s.data, s.queries);
    for (std::uint64_t b : {2, 3, 4, 8}) {
      const double raw = recall(s.data, s.queries, truth, b, true, RerankPrecision::kF32);
      const double rec = recall(s.data, s.queries, truth, b, true, RerankPrecision::kDisabled);
      const double off = recall(s.data, s.queries, truth, b, false, RerankPrecision::kDisabled);
      std::printf("%-10s %3llu %12.4f %16.4f %11.4f\n", s.name, static_cast<unsigned long long>(b),
                  raw, rec, off);
      std::fflush(stdout);
    }
  }
  return 0;
}
