// Nearest codebook level of a rotated coordinate (internal to src/quantizer/).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace norvex::quantizer::levels {

// Number of levels strictly below v in the ascending levels c[0..k) (k >= 1): a branch-free
// binary search, since rotated coordinates land in unpredictable cells.
inline std::size_t levels_below(const float* c, std::size_t k, float v) {
  const float* base = c;
  for (std::size_t len = k; len > 1;) {
    const std::size_t half = len / 2;
    base = base[half] < v ? base + half : base;
    len -= half;
  }
  return static_cast<std::size_t>(base - c) + (*base < v ? 1 : 0);
}

// Index of the level nearest to v: levels are ascending; an exact tie goes to the lower one.
inline std::uint16_t nearest_level(const float* c, std::size_t k, float v) {
  const std::size_t pos = levels_below(c, k, v);
  if (pos == 0) return 0;
  if (pos == k) return static_cast<std::uint16_t>(k - 1);
  const bool lower = std::fabs(v - c[pos - 1]) <= std::fabs(c[pos] - v);
  return static_cast<std::uint16_t>(lower ? pos - 1 : pos);
}

// nearest_level for every y[i], for a fixed small level count: the same answer without a
// search. pos = the number of levels below v; the neighbours c[pos - 1] and c[pos] are the
// largest level below v and the smallest one not below it, picked by comparisons in level
// order, so the loop over i vectorises.
template <std::size_t K>
inline void nearest_levels(const float* c, const float* y, std::size_t n, std::uint16_t* out) {
  float levels[K];
  for (std::size_t j = 0; j < K; ++j) levels[j] = c[j];
  for (std::size_t i = 0; i < n; ++i) {
    const float v = y[i];
    unsigned pos = 0;
    float below = levels[0];
    float above = levels[K - 1];
    for (std::size_t j = 0; j < K; ++j) {
      const bool is_below = levels[j] < v;
      pos += is_below ? 1u : 0u;
      below = is_below ? levels[j] : below;
    }
    for (std::size_t j = K; j-- > 0;) above = levels[j] < v ? above : levels[j];
    const bool lower = std::fabs(v - below) <= std::fabs(above - v);
    const unsigned inner = lower ? pos - 1 : pos;
    out[i] = static_cast<std::uint16_t>(pos == 0   ? 0u
                                        : pos == K ? static_cast<unsigned>(K - 1)
                                                   : inner);
  }
}

}  // namespace norvex::quantizer::levels
