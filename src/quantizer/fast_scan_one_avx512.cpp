// AVX-512 one-record kernels of the fast scan: sixteen coordinates of a record per step, the
// codebook levels picked by a permute of the 16-entry level row and multiplied into the sums
// by the rotated query in one fused multiply-add; the sketch's sixteen signs are the mask of
// one masked add. Same operations as one_record_scalar (see fast_scan_kernels.h). Compiled
// for AVX-512 (and VBMI) by a target pragma; the VBMI form is called only when the CPU has
// it, the other only when it has AVX-512.
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
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx2")
// clang ignores the GCC pragma; it takes the same target as an attribute.
#ifdef __clang__
#pragma clang attribute push(                                                      \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx2"))), \
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

// Sums of one record's coordinates, in two sets so that each chain of dependent adds is half
// as long: lane l of set h holds those i with i mod 32 == 16 h + l.
struct Sums {
  __m512 mse[2];
  __m512 sign[2];
};

inline Sums zero_sums() {
  const __m512 z = _mm512_setzero_ps();
  return {{z, z}, {z, z}};
}

// The group's sixteen indices, index l in the low bits of lane l (higher bits are ignored:
// the permute reads four, and the level row repeats with period 2^W). Index l sits at bit W*l
// of the group's 2W bytes. With VBMI one byte-granular multishift of the group's eight bytes
// puts bits W*l.. into byte 0 of lane l; without it, shifts of two broadcast words.
template <int W, bool kVbmi>
inline __m512i group_indices(const std::uint8_t* packed) {
  if constexpr (kVbmi) {
    // Control byte 4l' of qword j (lane l = 2j + l') is W*l; the other bytes are unused.
    const __m512i control = _mm512_set_epi64((15LL * W) << 32 | 14 * W, (13LL * W) << 32 | 12 * W,
                                             (11LL * W) << 32 | 10 * W, (9LL * W) << 32 | 8 * W,
                                             (7LL * W) << 32 | 6 * W, (5LL * W) << 32 | 4 * W,
                                             (3LL * W) << 32 | 2 * W, (1LL * W) << 32 | 0);
    std::uint64_t word;
    std::memcpy(&word, packed, 8);
    return _mm512_multishift_epi64_epi8(control, _mm512_set1_epi64(static_cast<long long>(word)));
  } else {
    // Lane l takes index l: the low eight from the group's first W bytes, the high eight from
    // the next W bytes.
    const __m512i shifts = _mm512_setr_epi32(0, W, 2 * W, 3 * W, 4 * W, 5 * W, 6 * W, 7 * W, 0, W,
                                             2 * W, 3 * W, 4 * W, 5 * W, 6 * W, 7 * W);
    std::uint32_t lo, hi;
    std::memcpy(&lo, packed, 4);
    std::memcpy(&hi, packed + W, 4);
    const __m512i words =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_set1_epi32(static_cast<int>(lo))),
                           _mm256_set1_epi32(static_cast<int>(hi)), 1);
    return _mm512_srlv_epi32(words, shifts);
  }
}

// Adds group g (coordinates 16 g .. 16 g + 15) of record `rec` to set H of its sums.
template <int W, bool kVbmi, int H>
inline void add_group(const ScanTables& t, __m512 levels, std::size_t g, const std::uint8_t* rec,
                      Sums& s) {
  const std::size_t i = 16 * g;
  const __m512 level = _mm512_permutexvar_ps(group_indices<W, kVbmi>(rec + g * 2 * W), levels);
  s.mse[H] = _mm512_fmadd_ps(level, _mm512_loadu_ps(t.q_rot + i), s.mse[H]);
  std::uint16_t bits;
  std::memcpy(&bits, rec + t.packed_bytes + 2 * g, 2);
  s.sign[H] = _mm512_mask_add_ps(s.sign[H], bits, s.sign[H], _mm512_loadu_ps(t.q_proj + i));
}

template <int W>
float finish(const ScanTables& t, const Sums& s, const std::uint8_t* rec) {
  float gamma;
  std::memcpy(&gamma, rec + t.packed_bytes + t.sign_bytes, sizeof(gamma));
  const float mse = fold16(_mm512_add_ps(s.mse[0], s.mse[1]));
  const float sign = fold16(_mm512_add_ps(s.sign[0], s.sign[1]));
  return finish_score(mse, 2.0f * sign - t.q_proj_sum, t.qjl_scale, gamma);
}

// Up to two records per pass, each with two sets of sums: four independent chains of
// dependent adds keep the core busy while each waits on its last add.
template <int W, bool kVbmi>
void one_records(const ScanTables& t, const std::uint8_t* const* records, std::size_t count,
                 float* out) {
  const __m512 levels = _mm512_loadu_ps(t.levels16);
  const std::size_t groups = t.n / 16;
  std::size_t r = 0;
  for (; r + 2 <= count; r += 2) {
    const std::uint8_t* a = records[r];
    const std::uint8_t* b = records[r + 1];
    Sums sa = zero_sums();
    Sums sb = zero_sums();
    std::size_t g = 0;
    for (; g + 2 <= groups; g += 2) {
      add_group<W, kVbmi, 0>(t, levels, g, a, sa);
      add_group<W, kVbmi, 0>(t, levels, g, b, sb);
      add_group<W, kVbmi, 1>(t, levels, g + 1, a, sa);
      add_group<W, kVbmi, 1>(t, levels, g + 1, b, sb);
    }
    if (g < groups) {
      add_group<W, kVbmi, 0>(t, levels, g, a, sa);
      add_group<W, kVbmi, 0>(t, levels, g, b, sb);
    }
    out[r] = finish<W>(t, sa, a);
    out[r + 1] = finish<W>(t, sb, b);
  }
  if (r < count) {
    const std::uint8_t* a = records[r];
    Sums sa = zero_sums();
    std::size_t g = 0;
    for (; g + 2 <= groups; g += 2) {
      add_group<W, kVbmi, 0>(t, levels, g, a, sa);
      add_group<W, kVbmi, 1>(t, levels, g + 1, a, sa);
    }
    if (g < groups) add_group<W, kVbmi, 0>(t, levels, g, a, sa);
    out[r] = finish<W>(t, sa, a);
  }
}

}  // namespace

OneKernel avx512_one_record_kernel(std::size_t w, bool vbmi) {
  switch (w) {
    case 1:
      return vbmi ? &one_records<1, true> : &one_records<1, false>;
    case 2:
      return vbmi ? &one_records<2, true> : &one_records<2, false>;
    case 3:
      return vbmi ? &one_records<3, true> : &one_records<3, false>;
    case 4:
      return vbmi ? &one_records<4, true> : &one_records<4, false>;
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
OneKernel avx512_one_record_kernel(std::size_t, bool) { return nullptr; }
}  // namespace norvex::quantizer::detail

#endif
