// AVX2 and AVX-512 forms of the in-place FWHT (see fwht in hadamard.cpp): every output is the
// same a + b or a - b of the same two inputs as in the scalar form, so the results are
// bit-identical; only independent butterflies share a vector. Compiled for their instruction
// sets by target pragmas and called only when the CPU has them.
#include "linalg/fwht_x86.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

// Nothing from a header may be defined below this point: an inline function instantiated
// under the target pragma could be merged with the plain one by the linker.
#pragma GCC push_options
// GCC 12 flags the deliberately undefined operands inside its own AVX-512 intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC target("avx512f,avx2")
// clang ignores the GCC pragma; it takes the same target as an attribute.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx2"))), apply_to = function)
#endif

namespace norvex::linalg::detail {
namespace {

// Stages of half-width h = 16, 32, ... n / 2 on whole vectors of `lanes` floats.
template <typename V, V (*Load)(const float*), void (*Store)(float*, V), V (*Add)(V, V),
          V (*Sub)(V, V), std::size_t lanes>
inline void wide_stages(float* p, std::size_t n, std::size_t first_h) {
  for (std::size_t h = first_h; h < n; h *= 2) {
    for (std::size_t i = 0; i < n; i += 2 * h) {
      float* lo = p + i;
      float* hi = p + i + h;
      for (std::size_t j = 0; j < h; j += lanes) {
        const V a = Load(lo + j), b = Load(hi + j);
        Store(lo + j, Add(a, b));
        Store(hi + j, Sub(a, b));
      }
    }
  }
}

inline __m512 load16(const float* p) { return _mm512_loadu_ps(p); }
inline void store16(float* p, __m512 v) { _mm512_storeu_ps(p, v); }
inline __m512 add16(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
inline __m512 sub16(__m512 a, __m512 b) { return _mm512_sub_ps(a, b); }
inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
inline void store8(float* p, __m256 v) { _mm256_storeu_ps(p, v); }
inline __m256 add8(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
inline __m256 sub8(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }

// One stage inside a vector: `partner` holds each lane's partner x[i ^ h]. Lanes with bit h
// clear take x[i] + x[i + h], the others x[i - h] - x[i] (= partner - self).
inline __m512 stage16(__m512 v, __m512 partner, __mmask16 upper) {
  return _mm512_mask_blend_ps(upper, _mm512_add_ps(v, partner), _mm512_sub_ps(partner, v));
}

inline __m256 stage8(__m256 v, __m256 partner, int upper) {
  const __m256 sum = _mm256_add_ps(v, partner);
  const __m256 diff = _mm256_sub_ps(partner, v);
  switch (upper) {
    case 0xAA:
      return _mm256_blend_ps(sum, diff, 0xAA);
    case 0xCC:
      return _mm256_blend_ps(sum, diff, 0xCC);
    default:
      return _mm256_blend_ps(sum, diff, 0xF0);
  }
}

}  // namespace

void fwht_avx512(float* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 16) {
    __m512 v = _mm512_loadu_ps(p + i);
    v = stage16(v, _mm512_permute_ps(v, 0xB1), 0xAAAA);        // h = 1
    v = stage16(v, _mm512_permute_ps(v, 0x4E), 0xCCCC);        // h = 2
    v = stage16(v, _mm512_shuffle_f32x4(v, v, 0xB1), 0xF0F0);  // h = 4
    v = stage16(v, _mm512_shuffle_f32x4(v, v, 0x4E), 0xFF00);  // h = 8
    _mm512_storeu_ps(p + i, v);
  }
  wide_stages<__m512, load16, store16, add16, sub16, 16>(p, n, 16);
}

void fwht_avx2(float* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 8) {
    __m256 v = _mm256_loadu_ps(p + i);
    v = stage8(v, _mm256_permute_ps(v, 0xB1), 0xAA);          // h = 1
    v = stage8(v, _mm256_permute_ps(v, 0x4E), 0xCC);          // h = 2
    v = stage8(v, _mm256_permute2f128_ps(v, v, 0x01), 0xF0);  // h = 4
    _mm256_storeu_ps(p + i, v);
  }
  wide_stages<__m256, load8, store8, add8, sub8, 8>(p, n, 8);
}

}  // namespace norvex::linalg::detail

#pragma GCC diagnostic pop
#ifdef __clang__
#pragma clang attribute pop
#endif
#pragma GCC pop_options

#else

namespace norvex::linalg::detail {
void fwht_avx512(float*, std::size_t) {}
void fwht_avx2(float*, std::size_t) {}
}  // namespace norvex::linalg::detail

#endif
