// Exhaustive search against references computed here.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "common/error.h"
#include "engine_test_util.h"
#include "quantizer/prod.h"
#include "storage/engine/filter.h"

namespace norvex::testing {
namespace {

using storage::engine::BatchWriteItem;
using storage::engine::SearchResult;
using storage::engine::WriteMode;

// Brute force in f64 over the vectors as stored (f32).
double exact_score(DistanceMetric m, const std::vector<double>& q, const std::vector<double>& v) {
  double dot = 0, qq = 0, vv = 0, l2 = 0;
  for (std::size_t i = 0; i < q.size(); ++i) {
    dot += q[i] * v[i];
    qq += q[i] * q[i];
    vv += v[i] * v[i];
    l2 += (q[i] - v[i]) * (q[i] - v[i]);
  }
  switch (m) {
    case DistanceMetric::kIp:
      return dot;
    case DistanceMetric::kCosine:
      return qq == 0 || vv == 0 ? 0.0 : dot / (std::sqrt(qq) * std::sqrt(vv));
    case DistanceMetric::kL2:
      return -std::sqrt(l2);
  }
  return 0;
}

std::vector<BatchWriteItem> as_items(const std::vector<std::vector<double>>& vs) {
  std::vector<BatchWriteItem> out;
  for (std::size_t i = 0; i < vs.size(); ++i) {
    out.push_back({id_of(i), to_f32(vs[i]), {{"i", Json(i)}}, std::nullopt});
  }
  return out;
}

std::vector<SearchResult> search(const NorvaneEngine& e, const std::vector<double>& q,
                                 std::uint64_t k,
                                 const std::optional<PropertyMap>& filter = std::nullopt) {
  return e.search_with_filter_and_ann(q, k, filter, std::nullopt, false);
}

TEST(EngineSearch, RawF32RerankGivesExactScores) {
  for (DistanceMetric m : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), 16);
    o.metric = m;
    o.rerank_precision = RerankPrecision::kF32;
    auto e = open_engine(o);
    std::mt19937_64 rng(11);
    std::vector<std::vector<double>> vs;
    for (int i = 0; i < 300; ++i) vs.push_back(random_vector(rng, 16));
    e->insert_many_with_mode(as_items(vs), WriteMode::kInsert);
    for (int t = 0; t < 5; ++t) {
      const auto q = random_vector(rng, 16);
      const auto hits = search(*e, q, 7);
      ASSERT_EQ(hits.size(), 7u);
      for (std::size_t i = 0; i < hits.size(); ++i) {
        const std::size_t idx = hits[i].metadata.properties.at("i").get<std::size_t>();
        EXPECT_EQ(hits[i].id, id_of(idx));
        EXPECT_EQ(hits[i].score, exact_score(m, q, vs[idx]));
        if (i > 0) {
          EXPECT_GE(hits[i - 1].score, hits[i].score);
        }
        if (m == DistanceMetric::kL2) {
          EXPECT_LE(hits[i].score, 0.0);
        }
      }
    }
    // An exact match scores 0 under l2 and is the best hit under l2 and cosine.
    const auto self = search(*e, vs[42], 1);
    if (m == DistanceMetric::kL2) {
      EXPECT_EQ(self[0].score, 0.0);
    }
    if (m != DistanceMetric::kIp) {
      EXPECT_EQ(self[0].id, id_of(42));
    }
  }
}

TEST(EngineSearch, RawF16RerankScoresTheStoredHalves) {
  // 100 dimensions: whole groups of eight halves and a remainder.
  for (DistanceMetric m : {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), 100);
    o.metric = m;
    o.rerank_precision = RerankPrecision::kF16;
    auto e = open_engine(o);
    std::mt19937_64 rng(12);
    std::vector<std::vector<double>> vs;
    for (int i = 0; i < 200; ++i) vs.push_back(random_vector(rng, 100));
    vs[7].assign(100, 1e-6);  // subnormal halves
    e->insert_many_with_mode(as_items(vs), WriteMode::kInsert);
    const auto q = random_vector(rng, 100);
    const auto hits = search(*e, q, 9);
    ASSERT_EQ(hits.size(), 9u);
    for (const auto& h : hits) {
      const std::size_t idx = h.metadata.properties.at("i").get<std::size_t>();
      EXPECT_EQ(h.score, storage::engine::filter::score_vectors_with_metric(
                             m, q, e->live_raw_vector_at_slot(static_cast<std::uint32_t>(idx))));
    }
    std::vector<double> out(1);
    const std::uint32_t slot = 7;
    e->score_raw_vectors(q, {&slot, 1}, out);
    EXPECT_EQ(out[0], storage::engine::filter::score_vectors_with_metric(
                          m, q, e->live_raw_vector_at_slot(7)));
  }
}

TEST(EngineSearch, ReconstructionRerankScoresTheDequantizedVector) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), 16);
  o.metric = DistanceMetric::kL2;
  auto e = open_engine(o);
  std::mt19937_64 rng(12);
  std::vector<std::vector<double>> vs;
  for (int i = 0; i < 50; ++i) vs.push_back(random_vector(rng, 16));
  e->insert_many_with_mode(as_items(vs), WriteMode::kInsert);
  const auto q = random_vector(rng, 16);
  const auto q16 = quantizer::ProdQuantizer::create(16, 4, 42, false);
  for (const auto& hit : search(*e, q, 5)) {
    const std::size_t idx = hit.metadata.properties.at("i").get<std::size_t>();
    const auto code = e->live_codes_at_slot(static_cast<std::uint32_t>(idx));
    auto x = q16.dequantize(code.mse_indices, code.qjl_bits, code.gamma);
    for (double& v : x) v *= code.norm;
    EXPECT_EQ(hit.score,
              storage::engine::filter::score_vectors_with_metric(DistanceMetric::kL2, q, x));
  }
}

TEST(EngineSearch, CosineOfAZeroQueryIsZero) {
  for (bool rerank : {false, true}) {
    TempDir dir;
    OpenOptions o = options_for(dir.path(), 8);
    o.metric = DistanceMetric::kCosine;
    o.rerank = rerank;
    auto e = open_engine(o);
    std::mt19937_64 rng(13);
    for (int i = 0; i < 20; ++i) {
      e->insert_with_document(id_of(i), random_vector(rng, 8), {}, std::nullopt);
    }
    const auto hits = search(*e, std::vector<double>(8, 0.0), 5);
    ASSERT_EQ(hits.size(), 5u);
    for (const auto& h : hits) EXPECT_EQ(h.score, 0.0);
  }
}

TEST(EngineSearch, RerankOffReturnsTheBestCodeScoresAndKeepsTiesInSlotOrder) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), 8);
  o.rerank = false;
  auto e = open_engine(o);
  std::mt19937_64 rng(14);
  const auto same = random_vector(rng, 8);
  for (const char* id : {"b", "a", "c"}) e->insert_with_document(id, same, {}, std::nullopt);
  for (int i = 0; i < 7; ++i) {
    e->insert_with_document(id_of(i), random_vector(rng, 8), {}, std::nullopt);
  }
  const auto all = search(*e, same, 10);
  ASSERT_EQ(all.size(), 10u);
  // Every shorter list is a prefix of the full one, also where a tie meets a full heap.
  for (std::uint64_t k = 1; k < 10; ++k) {
    const auto top = search(*e, same, k);
    ASSERT_EQ(top.size(), k);
    for (std::size_t i = 0; i < k; ++i) {
      EXPECT_EQ(top[i].id, all[i].id) << "k=" << k;
      EXPECT_EQ(top[i].score, all[i].score) << "k=" << k;
    }
  }
  // The three copies score the same; equal scores keep slot order.
  std::vector<std::string> copies;
  for (const auto& h : all) {
    if (h.score == all[0].score) copies.push_back(h.id);
  }
  EXPECT_EQ(copies, (std::vector<std::string>{"b", "a", "c"}));
}

TEST(EngineSearch, ParallelScanEqualsTheSequentialReference) {
  // 20000 slots run on the calling thread, 20001 on the pool; both must equal the code
  // scores computed here one by one.
  TempDir dir;
  OpenOptions o = options_for(dir.path(), 4);
  o.rerank = false;
  auto e = open_engine(o);
  std::mt19937_64 rng(15);
  std::vector<std::vector<double>> vs;
  for (int i = 0; i < 20001; ++i) vs.push_back(random_vector(rng, 4));
  auto items = as_items(vs);
  const auto last = items.back();
  items.pop_back();
  e->insert_many_with_mode(items, WriteMode::kInsert);
  const auto q = random_vector(rng, 4);
  const auto pq = quantizer::ProdQuantizer::create(4, 4, 42, false);
  const auto prepared = pq.prepare_ip_query(q);

  for (std::size_t n : {20000u, 20001u}) {
    if (n == 20001) e->insert_many_with_mode({last}, WriteMode::kInsert);
    std::vector<std::pair<double, std::uint32_t>> expected;
    for (std::uint32_t s = 0; s < n; ++s) {
      const auto code = e->live_codes_at_slot(s);
      expected.emplace_back(
          pq.score_ip_encoded(prepared, code.mse_indices, code.qjl_bits, code.gamma) * code.norm,
          s);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    const auto hits = search(*e, q, n + 5);
    ASSERT_EQ(hits.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(hits[i].score, expected[i].first) << i;
      ASSERT_EQ(hits[i].id, id_of(expected[i].second)) << i;
    }
  }
}

TEST(EngineSearch, EdgeCasesOfTheRequest) {
  TempDir dir;
  auto e = open_engine(options_for(dir.path(), 4));
  const std::vector<double> q{1, 0, 0, 0};
  EXPECT_TRUE(search(*e, q, 5).empty());  // empty database
  e->insert_with_document("a", q, {{"tag", Json("x")}}, std::nullopt);
  e->insert_with_document("b", std::vector<double>{0, 1, 0, 0}, {}, std::nullopt);
  EXPECT_TRUE(search(*e, q, 0).empty());
  EXPECT_EQ(search(*e, q, std::uint64_t{1} << 63).size(), 2u);
  EXPECT_EQ(search(*e, q, ~std::uint64_t{0}).size(), 2u);
  const auto filtered = search(*e, q, 5, PropertyMap{{"tag", Json("x")}});
  ASSERT_EQ(filtered.size(), 1u);
  EXPECT_EQ(filtered[0].id, "a");
  EXPECT_EQ(filtered[0].metadata.properties.at("tag"), Json("x"));
  EXPECT_TRUE(search(*e, q, 5, PropertyMap{{"tag", Json("y")}}).empty());
  EXPECT_TRUE(search(*e, q, 5, PropertyMap{{"tag", Json{{"$bogus", 1}}}}).empty());
  EXPECT_TRUE(search(*e, q, 5, PropertyMap{{"$or", Json(1)}}).empty());
  EXPECT_EQ(search(*e, q, 5, PropertyMap{}).size(), 2u);

  for (const auto& bad : {std::vector<double>{1, 0, 0}, std::vector<double>(5, 0.0)}) {
    try {
      search(*e, bad, 3);
      ADD_FAILURE() << "accepted a query of length " << bad.size();
    } catch (const Error& err) {
      EXPECT_EQ(std::string(err.what()),
                "query dimension mismatch: expected 4, got " + std::to_string(bad.size()));
    }
  }
}

TEST(EngineSearch, NormalizingDatabaseNormalizesTheQuery) {
  TempDir dir;
  OpenOptions o = options_for(dir.path(), 2);
  o.normalize = true;
  o.rerank_precision = RerankPrecision::kF32;
  auto e = open_engine(o);
  e->insert_with_document("a", std::vector<double>{3, 4}, {}, std::nullopt);
  const auto hits = search(*e, std::vector<double>{30, 40}, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_NEAR(hits[0].score, 1.0, 1e-6);
}

// Vectors around 100 random centres, the set the recall figures are measured on.
std::vector<std::vector<double>> clustered(std::mt19937_64& rng, std::size_t n, std::size_t d) {
  std::vector<std::vector<double>> centres;
  for (int c = 0; c < 100; ++c) centres.push_back(unit_vector(rng, d));
  std::normal_distribution<double> g(0.0, 0.15);
  std::uniform_int_distribution<std::size_t> pick(0, centres.size() - 1);
  std::vector<std::vector<double>> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> v = centres[pick(rng)];
    for (double& x : v) x = static_cast<float>(x + g(rng) / std::sqrt(double(d)));
    out.push_back(std::move(v));
  }
  return out;
}

TEST(EngineSearch, RecallOnClusteredVectorsWithRawRerank) {
  constexpr std::size_t kN = 10000, kD = 128, kQueries = 30, kK = 10;
  TempDir dir;
  OpenOptions o = options_for(dir.path(), kD);
  o.rerank_precision = RerankPrecision::kF32;
  auto e = open_engine(o);
  std::mt19937_64 rng(2024);
  const auto vs = clustered(rng, kN, kD);
  e->insert_many_with_mode(as_items(vs), WriteMode::kInsert);
  std::size_t found = 0;
  for (std::size_t t = 0; t < kQueries; ++t) {
    const auto q = clustered(rng, 1, kD)[0];
    std::vector<std::size_t> order(kN);
    std::iota(order.begin(), order.end(), 0);
    std::vector<double> exact(kN);
    for (std::size_t i = 0; i < kN; ++i) exact[i] = exact_score(DistanceMetric::kIp, q, vs[i]);
    std::partial_sort(order.begin(), order.begin() + kK, order.end(),
                      [&](std::size_t a, std::size_t b) { return exact[a] > exact[b]; });
    const auto hits = search(*e, q, kK);
    for (const auto& h : hits) {
      const std::size_t idx = h.metadata.properties.at("i").get<std::size_t>();
      if (std::find(order.begin(), order.begin() + kK, idx) != order.begin() + kK) ++found;
    }
  }
  const double recall = double(found) / double(kQueries * kK);
  EXPECT_GE(recall, 0.98);
}

}  // namespace
}  // namespace norvex::testing
