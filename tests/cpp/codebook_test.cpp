#include "quantizer/codebook.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace norvex::quantizer {
namespace {

// Four significant digits, as the published figures are given.
void expect_4_digits(double got, double want) {
  EXPECT_NEAR(got, want, 0.5 * std::pow(10.0, std::floor(std::log10(std::fabs(want))) - 3))
      << "got " << got << ", want " << want;
}

TEST(LloydMax, KnownCodebooks) {
  struct Case {
    unsigned b;
    std::size_t dim;
    std::vector<double> positive_half;  // ascending; the negative half mirrors it
  };
  const Case cases[] = {
      {1, 128, {0.07066}},
      {2, 16, {0.1125, 0.3673}},
      {3, 128, {0.02170, 0.06684, 0.1185, 0.1887}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("b=" + std::to_string(c.b) + " dim=" + std::to_string(c.dim));
    const std::vector<double> levels = lloyd_max(c.b, c.dim, 20000);
    const std::size_t k = levels.size();
    ASSERT_EQ(k, std::size_t{1} << c.b);
    for (std::size_t j = 0; j < k / 2; ++j) {
      expect_4_digits(levels[k / 2 + j], c.positive_half[j]);
      expect_4_digits(levels[k / 2 - 1 - j], -c.positive_half[j]);
    }
  }
}

TEST(LloydMax, OneBitSettlesAfterTwoPasses) {
  const LloydMaxResult r = lloyd_max_with_passes(1, 128, 20000);
  EXPECT_EQ(r.passes, 2u);
}

TEST(LloydMax, ConvergesWellBeforeThePassLimitAndIsRepeatable) {
  const LloydMaxResult r = lloyd_max_with_passes(3, 128, 20000);
  EXPECT_LT(r.passes, 1000u);
  EXPECT_EQ(lloyd_max(3, 128, 20000), r.centroids);
}

TEST(LloydMax, DimensionOneKeepsTheInitialCodebook) {
  // Midpoints of equal cells over [-0.99, 0.99]; no grid point moves them.
  struct Case {
    unsigned b;
    std::vector<double> want;
  };
  const Case cases[] = {{1, {-0.495, 0.495}}, {2, {-0.7425, -0.2475, 0.2475, 0.7425}}};
  for (const auto& c : cases) {
    const LloydMaxResult r = lloyd_max_with_passes(c.b, 1, 20000);
    EXPECT_EQ(r.passes, 1u);
    ASSERT_EQ(r.centroids.size(), c.want.size());
    for (std::size_t j = 0; j < c.want.size(); ++j) EXPECT_NEAR(r.centroids[j], c.want[j], 1e-15);
  }
}

TEST(LloydMax, SortedAndSymmetric) {
  for (unsigned b : {1u, 2u, 3u, 5u}) {
    for (std::size_t dim : {2u, 4u, 16u, 128u, 1024u}) {
      const std::vector<double> c = lloyd_max(b, dim, 20000);
      const std::size_t k = c.size();
      for (std::size_t j = 0; j < k; ++j) {
        if (j > 0) {
          EXPECT_LT(c[j - 1], c[j]) << b << " " << dim << " " << j;
        }
        EXPECT_NEAR(c[j], -c[k - 1 - j], 1e-9) << b << " " << dim << " " << j;
      }
    }
  }
}

TEST(CodebookGrid, WhichPointsCarryWeight) {
  struct Case {
    std::size_t dim;
    std::size_t kept;
  };
  // dim 2 is the arcsine density: only x = +-1 (zero weight) are dropped. dim < 2 has none.
  const Case cases[] = {{0, 0}, {1, 0}, {2, 19998}};
  for (const auto& c : cases) EXPECT_EQ(codebook_grid(c.dim, 20000).size(), c.kept) << c.dim;

  const std::vector<GridPoint> arcsine = codebook_grid(2, 20000);
  EXPECT_GT(arcsine.front().x, -1.0);
  EXPECT_LT(arcsine.back().x, 1.0);
  // Weights integrate the density to about 1 for every dim.
  for (std::size_t dim : {3u, 16u, 128u, 2048u}) {
    double mass = 0;
    for (const GridPoint& p : codebook_grid(dim, 20000)) mass += p.w;
    EXPECT_NEAR(mass, 1.0, 1e-3) << dim;
  }
}

TEST(LogGamma, KnownValues) {
  const double ln_sqrt_pi = 0.5 * std::log(3.141592653589793);
  EXPECT_NEAR(log_gamma(1.0), 0.0, 1e-12);
  EXPECT_NEAR(log_gamma(2.0), 0.0, 1e-12);
  EXPECT_NEAR(log_gamma(0.5), ln_sqrt_pi, 1e-12);
  for (double x : {0.1, 0.3, 1.5, 3.7, 10.0, 64.0, 1000.5}) {
    EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-10 * std::max(1.0, std::fabs(std::lgamma(x))))
        << x;
  }
}

}  // namespace
}  // namespace norvex::quantizer
