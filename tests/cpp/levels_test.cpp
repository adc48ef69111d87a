#include "quantizer/levels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace norvex::quantizer::levels {
namespace {

template <std::size_t K>
void expect_same_as_search(const std::vector<float>& c, const std::vector<float>& ys) {
  std::vector<std::uint16_t> got(ys.size());
  nearest_levels<K>(c.data(), ys.data(), ys.size(), got.data());
  for (std::size_t i = 0; i < ys.size(); ++i) {
    ASSERT_EQ(got[i], nearest_level(c.data(), K, ys[i])) << "K=" << K << " v=" << ys[i];
  }
}

// Values where the answer is decided by one rounding: the levels, the float midpoints between
// neighbours and their neighbouring floats, the extremes, NaN, and random values.
std::vector<float> probes(const std::vector<float>& c, std::mt19937& rng) {
  std::vector<float> ys;
  const float inf = std::numeric_limits<float>::infinity();
  for (float v : {0.0f, -0.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()}) {
    ys.push_back(v);
  }
  for (std::size_t j = 0; j < c.size(); ++j) {
    for (float v : {c[j], std::nextafter(c[j], inf), std::nextafter(c[j], -inf)}) ys.push_back(v);
    if (j + 1 < c.size()) {
      const float mid = c[j] + (c[j + 1] - c[j]) / 2.0f;
      for (float v : {mid, std::nextafter(mid, inf), std::nextafter(mid, -inf)}) ys.push_back(v);
    }
  }
  std::uniform_real_distribution<float> u(c.front() - 1.0f, c.back() + 1.0f);
  for (int i = 0; i < 2000; ++i) ys.push_back(u(rng));
  return ys;
}

// The fixed-width level search gives the binary search's answer for every input, including
// ties (to the lower level), repeated levels and NaN.
TEST(NearestLevels, MatchTheSearchOnEveryKindOfInput) {
  std::mt19937 rng(4);
  std::normal_distribution<float> g(0.0f, 0.05f);
  for (int round = 0; round < 20; ++round) {
    for (std::size_t k : {2u, 4u, 8u, 16u}) {
      std::vector<float> c(k);
      for (float& v : c) v = g(rng);
      if (round % 3 == 0) c[k / 2] = c[k / 2 - 1];  // a repeated level
      if (round % 5 == 0) {
        for (std::size_t j = 0; j < k; ++j) c[j] = static_cast<float>(j) - k / 2.0f;  // exact
      }
      std::sort(c.begin(), c.end());
      const std::vector<float> ys = probes(c, rng);
      switch (k) {
        case 2:
          expect_same_as_search<2>(c, ys);
          break;
        case 4:
          expect_same_as_search<4>(c, ys);
          break;
        case 8:
          expect_same_as_search<8>(c, ys);
          break;
        case 16:
          expect_same_as_search<16>(c, ys);
          break;
      }
    }
  }
}

}  // namespace
}  // namespace norvex::quantizer::levels
