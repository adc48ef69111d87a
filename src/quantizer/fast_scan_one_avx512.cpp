// AVX-512 one-record kernel of the fast scan: sixteen coordinates of one record per step, the
// codebook levels picked by a permute of the 16-entry level row, times the rotated query; the
// sketch's sixteen signs are one mask. Same operations as one_record_scalar (see
// fast_scan_kernels.h). Compiled for AVX-512 by a target pragma, called only when the CPU has it.
#include "quantizer/fast_scan_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include <cstring>

// Nothing from a header may be defined below this point: an inline function instantiated
// under the target pragma could be merged with the plain one by the linker.
#pragma GCC push_options
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2")
// clang ignores the GCC pragma; it takes the same target as an attribute.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2"))), \
                             apply_to = function)
#endif

namespace norvex::quantizer::detail {
namespace {

// s[l] += s[l + 8], s[l] += s[l + 4], s[l] += s[l + 2], then s[0] + s[1].
inline float fold16(__m512 v) {
  const __m256 h8 = _mm256_add_ps(_mm512_castps512_ps256(v), _mm512_extractf32x8_ps(v, 1));
  const __m128 h4 = _mm_add_ps(_mm256_castps256_ps128(h8), _mm256_extractf128_ps(h8, 1));
  const __m128 h2 = _mm_add_ps(h4, _mm_movehl_ps(h4, h4));
  const __m128 h1 = _mm_add_ss(h2, _mm_shuffle_ps(h2, h2, 1));
  return _mm_cvtss_f32(h1);
}

template <int W>
float one_record(const ScanTables& t, const std::uint8_t* rec) {
  // Lane l of a group takes index l: the low eight from the group's first W bytes, the high
  // eight from the next W bytes.
  const __m512i shifts = _mm512_setr_epi32(0, W, 2 * W, 3 * W, 4 * W, 5 * W, 6 * W, 7 * W, 0, W,
                                           2 * W, 3 * W, 4 * W, 5 * W, 6 * W, 7 * W);
  const __m512i mask = _mm512_set1_epi32((1 << W) - 1);
  const __m512 levels = _mm512_loadu_ps(t.levels16);
  __m512 mse = _mm512_setzero_ps();
  __m512 sign = _mm512_setzero_ps();
  const std::uint8_t* packed = rec;
  const std::uint8_t* signs = rec + t.packed_bytes;
  for (std::size_t i = 0; i < t.n; i += 16, packed += 2 * W, signs += 2) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, packed, 4);
    std::memcpy(&hi, packed + W, 4);
    const __m512i words =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_set1_epi32(static_cast<int>(lo))),
                           _mm256_set1_epi32(static_cast<int>(hi)), 1);
    const __m512i idx = _mm512_and_si512(_mm512_srlv_epi32(words, shifts), mask);
    const __m512 level = _mm512_permutexvar_ps(idx, levels);
    mse = _mm512_add_ps(mse, _mm512_mul_ps(level, _mm512_loadu_ps(t.q_rot + i)));
    std::uint16_t bits;
    std::memcpy(&bits, signs, 2);
    const __m512 qp = _mm512_loadu_ps(t.q_proj + i);
    sign =
        _mm512_add_ps(sign, _mm512_mask_blend_ps(bits, _mm512_sub_ps(_mm512_setzero_ps(), qp), qp));
  }
  float gamma;
  std::memcpy(&gamma, rec + t.packed_bytes + t.sign_bytes, sizeof(gamma));
  return finish_score(fold16(mse), fold16(sign), t.qjl_scale, gamma);
}

}  // namespace

OneKernel avx512_one_record_kernel(std::size_t w) {
  switch (w) {
    case 1:
      return &one_record<1>;
    case 2:
      return &one_record<2>;
    case 3:
      return &one_record<3>;
    case 4:
      return &one_record<4>;
    default:
      return nullptr;
  }
}

}  // namespace norvex::quantizer::detail

#ifdef __clang__
#pragma clang attribute pop
#endif
#pragma GCC diagnostic pop
#pragma GCC pop_options

#else

namespace norvex::quantizer::detail {
OneKernel avx512_one_record_kernel(std::size_t) { return nullptr; }
}  // namespace norvex::quantizer::detail

#endif
