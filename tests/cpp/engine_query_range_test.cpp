// Queries are held to the rule for stored vectors: components and norm must be finite 32-bit
// floats. Beyond that range the 32-bit scoring turned every score into NaN, which also broke
// the ordering of the results.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "engine_test_util.h"

namespace norvex::testing {
namespace {

constexpr std::size_t kD = 16;

TEST(EngineQueryRangeTest, QueriesBeyondFloat32AreRefusedAndFiniteOnesScoreFinitely) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double value;
    bool alternate;  // alternate signs so that the scores cancel to inf - inf
  };
  const Case refused[] = {{nan, false}, {inf, false}, {-inf, false},
                          {1e39, true}, {3e38, true}, {1e300, false}};
  for (DistanceMetric metric :
       {DistanceMetric::kIp, DistanceMetric::kCosine, DistanceMetric::kL2}) {
    for (bool rerank : {false, true}) {
      TempDir dir;
      OpenOptions o = options_for(dir.path(), kD);
      o.metric = metric;
      o.rerank = rerank;
      o.rerank_precision = rerank ? RerankPrecision::kF32 : RerankPrecision::kDisabled;
      auto e = open_engine(o);
      std::mt19937_64 rng(3);
      for (int i = 0; i < 30; ++i) {
        e->insert_with_document(id_of(i), random_vector(rng, kD), {}, std::nullopt);
      }
      for (const Case& c : refused) {
        std::vector<double> q(kD, c.value);
        if (c.alternate) {
          for (std::size_t i = 0; i < kD; i += 2) q[i] = -q[i];
        }
        EXPECT_THROW(e->search_with_filter_and_ann(q, 5, std::nullopt, std::nullopt, false), Error)
            << c.value;
      }
      std::vector<double> big(kD, 1e18);
      for (const auto& hit :
           e->search_with_filter_and_ann(big, 5, std::nullopt, std::nullopt, false)) {
        EXPECT_TRUE(std::isfinite(hit.score));
      }
    }
  }
}

}  // namespace
}  // namespace norvex::testing
