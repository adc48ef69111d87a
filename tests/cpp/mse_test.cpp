#include "quantizer/mse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/error.h"

namespace norvex::quantizer {
namespace {

std::vector<float> random_unit(std::size_t d, std::mt19937& rng) {
  std::normal_distribution<float> gauss;
  std::vector<float> x(d);
  double sq = 0;
  for (float& v : x) {
    v = gauss(rng);
    sq += double(v) * v;
  }
  for (float& v : x) v = static_cast<float>(v / std::sqrt(sq));
  return x;
}

// d = 1 with sign +1 rotates x to itself, so the input is the rotated coordinate.
MseQuantizer identity_quantizer(std::vector<float> centroids) {
  MseQuantizer q;
  q.d = 1;
  q.n = 1;
  q.b = static_cast<std::uint64_t>(std::log2(centroids.size()));
  q.rotation_signs = {1.0f};
  q.centroids = std::move(centroids);
  return q;
}

TEST(MseQuantizer, NearestLevelRules) {
  const MseQuantizer q = identity_quantizer({-1.0f, 0.0f, 1.0f, 2.0f});
  struct Case {
    const char* name;
    float x;
    std::uint16_t index;
  };
  const Case cases[] = {
      {"BelowSmallestLevel", -5.0f, 0},  {"AboveLargestLevel", 5.0f, 3},
      {"ExactLevel", 1.0f, 2},           {"HalfWayGoesLower", 0.5f, 1},
      {"NegativeHalfWay", -0.5f, 0},     {"JustAboveHalfWay", 0.50001f, 2},
      {"JustBelowHalfWay", 1.49999f, 2}, {"UpperHalfWay", 1.5f, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(q.quantize(std::vector<float>{c.x}), std::vector<std::uint16_t>{c.index}) << c.name;
  }
}

TEST(MseQuantizer, SingleLevelMapsEverythingToZero) {
  const MseQuantizer q = MseQuantizer::create(10, 0, 42);
  ASSERT_EQ(q.centroids.size(), 1u);
  std::mt19937 rng(5);
  EXPECT_EQ(q.quantize(random_unit(10, rng)), std::vector<std::uint16_t>(16, 0));
}

TEST(MseQuantizer, ErrorShrinksAsBitsGrow) {
  constexpr std::size_t kDim = 100;  // padded to 128: reconstructions drop the padding
  std::mt19937 rng(11);
  std::vector<std::vector<float>> xs;
  for (int i = 0; i < 50; ++i) xs.push_back(random_unit(kDim, rng));
  double previous = 1e9;
  for (std::uint64_t b = 1; b <= 6; ++b) {
    const MseQuantizer q = MseQuantizer::create(kDim, b, 42);
    double err = 0;
    for (const auto& x : xs) {
      const std::vector<double> back = q.dequantize(q.quantize(x));
      ASSERT_EQ(back.size(), kDim);
      for (std::size_t i = 0; i < kDim; ++i) err += (back[i] - x[i]) * (back[i] - x[i]);
    }
    err /= static_cast<double>(xs.size() * kDim);
    EXPECT_LT(err, previous) << "b=" << b;
    previous = err;
  }
}

TEST(MseQuantizer, SameSeedSameQuantizer) {
  const MseQuantizer a = MseQuantizer::create(77, 3, 9);
  const MseQuantizer b = MseQuantizer::create(77, 3, 9);
  EXPECT_EQ(a.rotation_signs, b.rotation_signs);
  EXPECT_EQ(a.centroids, b.centroids);
  EXPECT_EQ(a.n, 128u);
  EXPECT_NE(MseQuantizer::create(77, 3, 10).rotation_signs, a.rotation_signs);
}

TEST(MseQuantizer, RefusesMoreThanSixteenBits) {
  for (std::uint64_t b : {17ull, 64ull, ~0ull}) {
    try {
      MseQuantizer::create(8, b, 1);
      ADD_FAILURE() << b;
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), kCodebookTooLarge);
    }
  }
}

TEST(MseQuantizer, MisSizedInputsFault) {
  const MseQuantizer q = MseQuantizer::create(5, 2, 1);
  EXPECT_THROW(q.quantize(std::vector<float>(4)), Fault);
  EXPECT_THROW(q.quantize(std::vector<float>(8)), Fault);
  EXPECT_THROW(q.dequantize(std::vector<std::uint16_t>(5)), Fault);
  EXPECT_THROW(q.dequantize(std::vector<std::uint16_t>{0, 1, 2, 4, 0, 0, 0, 0}), Fault);
}

}  // namespace
}  // namespace norvex::quantizer
