// AVX2 tile kernel of the fast scan: 8 records in the lanes of a register, four registers per
// tile. The same arithmetic as the AVX-512 kernel (see fast_scan_avx512.cpp), so both give the
// same bits; a 16-entry row takes two 8-entry permutes and a blend on the fourth index bit.
#include "quantizer/fast_scan_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include <cstring>
#include <utility>

// Nothing from a header may be defined below this point: an inline function instantiated
// under the target pragma could be merged with the plain one by the linker.
#pragma GCC push_options
#pragma GCC target("avx2,bmi2")
// clang ignores the GCC pragma; it takes the same target as an attribute.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2,bmi2"))), apply_to = function)
#endif

namespace norvex::quantizer::detail {
namespace {

constexpr int kLanes = 8;
constexpr int kGroups = 4;
constexpr int kTile = kLanes * kGroups;

inline __m256i load32(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// 24 bytes (8 groups of 3 bytes) -> 8 dwords, each holding one group in its low 24 bits.
inline __m256i expand_24(__m256i v) {
  const __m256i dwords = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i bytes = _mm256_setr_epi32(
      static_cast<int>(0x80020100), static_cast<int>(0x80050403), static_cast<int>(0x80080706),
      static_cast<int>(0x800b0a09), static_cast<int>(0x80020100), static_cast<int>(0x80050403),
      static_cast<int>(0x80080706), static_cast<int>(0x800b0a09));
  return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, dwords), bytes);
}

// In: r[k] = dwords 0..7 of record k. Out: r[g] = dword g of records 0..7.
inline void transpose(__m256i r[8]) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
  const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
  const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

template <bool kExpand24>
inline void load_chunk(const std::uint8_t* const* rec, std::size_t offset, __m256i out[8]) {
  for (int k = 0; k < 8; ++k) {
    out[k] = load32(rec[k] + offset);
    if constexpr (kExpand24) out[k] = expand_24(out[k]);
  }
  transpose(out);
}

// Moves the field at bit `kOffset` (< 16) of each lane's low 16-bit word to the lane's low
// bits: a multiply by 2^(16 - kOffset) keeping the high half, which runs on the multiply pipes
// rather than beside the permutes. Bits above the field are not read by the lookup.
template <int kOffset>
inline __m256i field_at(__m256i view) {
  if constexpr (kOffset == 0) {
    return view;
  } else {
    return _mm256_mulhi_epu16(view, _mm256_set1_epi16(static_cast<short>(1 << (16 - kOffset))));
  }
}

// Looks up fields (low bits of each lane) in a 16-entry row. Widths up to 3 bits read only
// the first 8 entries (the row repeats them).
template <int kBits>
inline __m256 lookup(__m256i idx, const float* row) {
  const __m256 lo = _mm256_permutevar8x32_ps(_mm256_load_ps(row), idx);
  if constexpr (kBits <= 3) {
    return lo;
  } else {
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_load_ps(row + 8), idx);
    // Bit 3 of the field, moved to the sign bit, selects the upper half.
    const __m256 upper = _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28));
    return _mm256_blendv_ps(lo, hi, upper);
  }
}

// Index dword layout per width: fields of kBits bits at bit j * kBits. Fields below bit
// kSplit (all within the low 16-bit word) are read from the dword itself, the others from the
// dword shifted right by kSplit.
template <int kBits>
struct DwordFields {
  static constexpr int kCount = kBits == 3 ? 8 : 32 / kBits;
  static constexpr int kSplit = kBits == 3 ? 15 : 16;
  static constexpr int kLow = kBits == 3 ? 5 : 16 / kBits;
};

template <int kBits, int... J>
inline void add_fields(const __m256i (&v)[kGroups], const float* rows, __m256 (&acc)[kGroups],
                       std::integer_sequence<int, J...>) {
  using F = DwordFields<kBits>;
  __m256i high[kGroups];
  for (int g = 0; g < kGroups; ++g) high[g] = _mm256_srli_epi32(v[g], F::kSplit);
  (
      [&] {
        for (int g = 0; g < kGroups; ++g) {
          __m256i idx;
          if constexpr (J < F::kLow) {
            idx = field_at<J * kBits>(v[g]);
          } else {
            idx = field_at<(J - F::kLow) * kBits>(high[g]);
          }
          acc[g] = _mm256_add_ps(acc[g], lookup<kBits>(idx, rows + J * kRowFloats));
        }
      }(),
      ...);
}

template <int kW>
void tile_kernel(const ScanTables& t, const std::uint8_t* const* records,
                 const std::uint8_t* const* next, float* out) {
  constexpr int kPerDword = DwordFields<kW>::kCount;
  constexpr std::size_t kChunkCoords = 8 * kPerDword;
  constexpr std::size_t kChunkStride = kW == 3 ? 24 : 32;
  const std::size_t n = t.n;
  const std::size_t mse_chunks = (n + kChunkCoords - 1) / kChunkCoords;
  const std::size_t steps = mse_chunks + (n + 255) / 256;

  __m256 acc[kGroups];
  __m256 sacc[kGroups];
  for (int g = 0; g < kGroups; ++g) acc[g] = sacc[g] = _mm256_setzero_ps();
  alignas(32) __m256i chunk[kGroups][8];

  for (std::size_t c = 0; c < mse_chunks; ++c) {
    prefetch_step(t, next, kTile, c, steps);
    for (int g = 0; g < kGroups; ++g) {
      load_chunk<kW == 3>(records + g * kLanes, c * kChunkStride, chunk[g]);
    }
    const std::size_t left = (n - c * kChunkCoords) / kPerDword;
    const std::size_t dwords = left < 8 ? left : 8;
    const float* rows = t.mse_rows + c * kChunkCoords * kRowFloats;
    for (std::size_t k = 0; k < dwords; ++k) {
      const __m256i v[kGroups] = {chunk[0][k], chunk[1][k], chunk[2][k], chunk[3][k]};
      add_fields<kW>(v, rows + k * kPerDword * kRowFloats, acc,
                     std::make_integer_sequence<int, kPerDword>{});
    }
  }
  for (std::size_t c = 0; c * 256 < n; ++c) {
    prefetch_step(t, next, kTile, mse_chunks + c, steps);
    for (int g = 0; g < kGroups; ++g) {
      load_chunk<false>(records + g * kLanes, t.packed_bytes + c * 32, chunk[g]);
    }
    const std::size_t left = (n - c * 256) / 32;
    const std::size_t dwords = left < 8 ? left : 8;
    const float* rows = t.sign_rows + c * 64 * kRowFloats;
    for (std::size_t k = 0; k < dwords; ++k) {
      const __m256i v[kGroups] = {chunk[0][k], chunk[1][k], chunk[2][k], chunk[3][k]};
      add_fields<4>(v, rows + k * 8 * kRowFloats, sacc, std::make_integer_sequence<int, 8>{});
    }
  }

  const __m256 scale = _mm256_set1_ps(t.qjl_scale);
  const std::size_t gamma_at = t.packed_bytes + t.sign_bytes;
  for (int g = 0; g < kGroups; ++g) {
    alignas(32) float gammas[kLanes];
    for (int r = 0; r < kLanes; ++r) std::memcpy(&gammas[r], records[g * kLanes + r] + gamma_at, 4);
    const __m256 gamma = _mm256_load_ps(gammas);
    const __m256 term = _mm256_mul_ps(sacc[g], _mm256_mul_ps(scale, gamma));
    const __m256 zero = _mm256_cmp_ps(gamma, _mm256_setzero_ps(), _CMP_EQ_OQ);
    const __m256 added = _mm256_andnot_ps(zero, term);
    _mm256_storeu_ps(out + g * kLanes, _mm256_add_ps(acc[g], added));
  }
}

}  // namespace

TileKernelInfo avx2_tile_kernel(std::size_t w) {
  switch (w) {
    case 1:
      return {&tile_kernel<1>, kTile};
    case 2:
      return {&tile_kernel<2>, kTile};
    case 3:
      return {&tile_kernel<3>, kTile};
    case 4:
      return {&tile_kernel<4>, kTile};
    default:
      return {};
  }
}

}  // namespace norvex::quantizer::detail

#ifdef __clang__
#pragma clang attribute pop
#endif
#pragma GCC pop_options

#else

namespace norvex::quantizer::detail {
TileKernelInfo avx2_tile_kernel(std::size_t) { return {}; }
}  // namespace norvex::quantizer::detail

#endif
