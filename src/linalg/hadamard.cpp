#include "linalg/hadamard.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "common/error.h"
#include "linalg/fwht_x86.h"

namespace norvex::linalg {
namespace {

std::string eq_failure(const char* what, std::size_t left, std::size_t right) {
  return "assertion `left == right` failed: " + std::string(what) +
         "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
}

void check_signs(std::span<const float> signs, std::size_t n) {
  NVX_CHECK(signs.size() >= n, "assertion failed: signs.len() >= n");
}

// Grows only: the inverse rotation runs per vector on the worker threads and must not allocate
// once the buffer has reached the largest n seen on that thread.
thread_local std::vector<float> t_inverse_scratch;

constexpr std::uint32_t rotl(std::uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::size_t padded_dim(std::size_t d) {
  if (d < 2) return 1;
  NVX_CHECK(d <= (std::size_t{1} << 63), "dimension too large to pad to a power of two");
  return std::bit_ceil(d);
}

namespace detail {

int fwht_simd_level() {
  static const int level = [] {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 2;
    if (__builtin_cpu_supports("avx2")) return 1;
#endif
    return 0;
  }();
  return level;
}

}  // namespace detail

void fwht(std::span<float> v) {
  const std::size_t n = v.size();
  NVX_CHECK(std::has_single_bit(n), "FWHT requires power-of-2 length");
  if (n < 2) return;
  float* p = v.data();
  const int simd = detail::fwht_simd_level();
  if (simd == 2 && n >= 16) return detail::fwht_avx512(p, n);
  if (simd >= 1 && n >= 8) return detail::fwht_avx2(p, n);
  fwht_scalar(p, n);
}

void fwht_scalar(float* p, std::size_t n) {
  NVX_CHECK(std::has_single_bit(n), "FWHT requires power-of-2 length");
  if (n < 2) return;
  // The first two stages have butterflies inside a group of four; written out so the compiler
  // sees whole groups. Every butterfly is a + b, a - b as in the generic stage.
  for (std::size_t i = 0; i < n; i += 2) {
    const float a = p[i], b = p[i + 1];
    p[i] = a + b;
    p[i + 1] = a - b;
  }
  if (n > 2) {
    for (std::size_t i = 0; i < n; i += 4) {
      const float a0 = p[i], a1 = p[i + 1], b0 = p[i + 2], b1 = p[i + 3];
      p[i] = a0 + b0;
      p[i + 1] = a1 + b1;
      p[i + 2] = a0 - b0;
      p[i + 3] = a1 - b1;
    }
  }
  for (std::size_t h = 4; h < n; h *= 2) {
    for (std::size_t i = 0; i < n; i += 2 * h) {
      float* __restrict lo = p + i;
      float* __restrict hi = p + i + h;
      for (std::size_t j = 0; j < h; ++j) {
        const float a = lo[j], b = hi[j];
        lo[j] = a + b;
        hi[j] = a - b;
      }
    }
  }
}

void srht(std::span<const float> x, std::span<const float> signs, std::span<float> out) {
  const std::size_t d = x.size();
  const std::size_t n = padded_dim(d);
  NVX_CHECK(out.size() == n, eq_failure("out.len() == n", out.size(), n));
  check_signs(signs, n);
  const float* __restrict xs = x.data();
  const float* __restrict sg = signs.data();
  float* __restrict o = out.data();
  for (std::size_t i = 0; i < d; ++i) o[i] = xs[i] * sg[i];
  for (std::size_t i = d; i < n; ++i) o[i] = 0.0f;
  fwht(out);
  const float scale = 1.0f / std::sqrt(static_cast<float>(n));
  for (std::size_t i = 0; i < n; ++i) o[i] *= scale;
}

void srht_inverse(std::span<const float> y, std::span<const float> signs, std::span<float> out) {
  const std::size_t n = y.size();
  const std::size_t d = out.size();
  NVX_CHECK(n == padded_dim(d),
            eq_failure("y.len() == padded size of out.len()", n, padded_dim(d)));
  check_signs(signs, n);
  std::vector<float>& scratch = t_inverse_scratch;
  if (scratch.size() < n) scratch.resize(n, 0.0f);
  std::copy(y.begin(), y.end(), scratch.begin());
  fwht(std::span<float>(scratch.data(), n));
  const float scale = 1.0f / std::sqrt(static_cast<float>(n));
  const float* __restrict s = scratch.data();
  const float* __restrict sg = signs.data();
  float* __restrict o = out.data();
  for (std::size_t i = 0; i < d; ++i) o[i] = scale * s[i] * sg[i];
}

void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  int rounds, std::uint32_t out[16]) {
  NVX_CHECK(rounds > 0 && rounds % 2 == 0, "ChaCha rounds must be a positive even number");
  const std::uint32_t input[16] = {
      0x61707865u,
      0x3320646eu,
      0x79622d32u,
      0x6b206574u,  // "expand 32-byte k"
      key[0],
      key[1],
      key[2],
      key[3],
      key[4],
      key[5],
      key[6],
      key[7],
      static_cast<std::uint32_t>(counter),
      static_cast<std::uint32_t>(counter >> 32),
      static_cast<std::uint32_t>(stream),
      static_cast<std::uint32_t>(stream >> 32),
  };
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

void pcg32_expand_seed(std::uint64_t seed, std::uint8_t key[32]) {
  constexpr std::uint64_t kMul = 6364136223846793005ull;
  constexpr std::uint64_t kInc = 11634580027462260723ull;
  std::uint64_t state = seed;
  for (int i = 0; i < 8; ++i) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    const std::uint32_t word = std::rotr(xorshifted, rot);
    for (int k = 0; k < 4; ++k) key[4 * i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
}

std::vector<float> random_sign_vector(std::size_t n, std::uint64_t seed) {
  std::uint8_t key_bytes[32];
  pcg32_expand_seed(seed, key_bytes);
  std::uint32_t key[8];
  for (int i = 0; i < 8; ++i) {
    key[i] = static_cast<std::uint32_t>(key_bytes[4 * i]) |
             static_cast<std::uint32_t>(key_bytes[4 * i + 1]) << 8 |
             static_cast<std::uint32_t>(key_bytes[4 * i + 2]) << 16 |
             static_cast<std::uint32_t>(key_bytes[4 * i + 3]) << 24;
  }
  constexpr int kRounds = 12;
  std::vector<float> signs(n);
  std::uint32_t block[16];
  std::uint64_t counter = 0;
  // A block is sixteen words, i.e. eight 64-bit draws (lo, hi); the sign is the draw's sign.
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t slot = i % 8;
    if (slot == 0) chacha_block(key, counter++, 0, kRounds, block);
    const std::uint32_t hi = block[2 * slot + 1];
    signs[i] = (hi >> 31) != 0 ? -1.0f : 1.0f;
  }
  return signs;
}

}  // namespace norvex::linalg
