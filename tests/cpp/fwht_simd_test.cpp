#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "linalg/fwht_x86.h"
#include "linalg/hadamard.h"

namespace norvex::linalg {
namespace {

// The SIMD transforms give the scalar transform's bits for every length, including signed
// zeros, infinities and NaN (the payload aside: any NaN matches any NaN).
TEST(FwhtSimd, SameBitsAsTheScalarTransform) {
  std::mt19937 rng(12);
  std::normal_distribution<float> g;
  const int level = detail::fwht_simd_level();
  for (std::size_t n = 1; n <= 4096; n *= 2) {
    for (int round = 0; round < 4; ++round) {
      std::vector<float> x(n);
      for (float& v : x) v = g(rng) * (round == 3 ? 1e30f : 1.0f);
      if (round == 1 && n >= 4) {
        x[0] = -0.0f;
        x[1] = std::numeric_limits<float>::infinity();
        x[n - 1] = -std::numeric_limits<float>::infinity();
      }
      if (round == 2 && n >= 8) x[n / 2] = std::numeric_limits<float>::quiet_NaN();
      std::vector<float> want = x;
      fwht_scalar(want.data(), n);
      std::vector<std::vector<float>> got;
      std::vector<float> dispatched = x;
      fwht(dispatched);
      got.push_back(dispatched);
      if (level >= 1 && n >= 8) {
        got.push_back(x);
        detail::fwht_avx2(got.back().data(), n);
      }
      if (level >= 2 && n >= 16) {
        got.push_back(x);
        detail::fwht_avx512(got.back().data(), n);
      }
      for (const auto& y : got) {
        for (std::size_t i = 0; i < n; ++i) {
          if (std::isnan(want[i])) {
            ASSERT_TRUE(std::isnan(y[i])) << "n=" << n << " i=" << i;
          } else {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(y[i]), std::bit_cast<std::uint32_t>(want[i]))
                << "n=" << n << " i=" << i;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace norvex::linalg
