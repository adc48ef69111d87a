// AVX-512 tile kernel of the fast scan: 16 records in the lanes of a register, four registers
// per tile. Compiled for AVX-512 by a target pragma and only called when the CPU has it.
//
// Per coordinate i and register: shift the records' index dwords so that index i is in the
// low bits, permute the coordinate's 16-entry row with them (vpermps reads only the low 4
// bits, the row repeats its 2^w entries), add. Each lane adds its terms in increasing i, so
// the scalar-quantizer part is bit-identical to the plain scalar sum. The sketch goes four
// coordinates at a time through nibble rows.
#include "quantizer/fast_scan_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include <cstring>
#include <utility>

// Nothing from a header may be defined below this point: an inline function instantiated
// under the target pragma could be merged with the plain one by the linker.

#pragma GCC push_options
// GCC 12 flags the deliberately undefined upper half of _mm512_castsi256_si512.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,bmi2")
// clang ignores the GCC pragma; it takes the same target as an attribute.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,bmi2"))), apply_to = function)
#endif

namespace norvex::quantizer::detail {
namespace {

constexpr int kLanes = 16;
constexpr int kGroups = 4;  // registers per tile
constexpr int kTile = kLanes * kGroups;

// Records r and r + 8 of a register group, 32 bytes each, side by side.
inline __m512i load_pair(const std::uint8_t* a, const std::uint8_t* b) {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// 24 bytes (8 groups of 3 bytes = 8 groups of eight 3-bit indices) of each half -> 8 dwords,
// each holding one group in its low 24 bits.
inline __m512i expand_24(__m512i v) {
  const __m512i dwords = _mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 8, 9, 10, 11, 11, 12, 13, 14);
  // Within each 128-bit lane: bytes 3g, 3g + 1, 3g + 2 and a zero for dword g.
  const __m512i bytes =
      _mm512_set4_epi32(static_cast<int>(0x800b0a09), static_cast<int>(0x80080706),
                        static_cast<int>(0x80050403), static_cast<int>(0x80020100));
  return _mm512_shuffle_epi8(_mm512_permutexvar_epi32(dwords, v), bytes);
}

// In: r[k] = [record k dwords 0..7 | record k + 8 dwords 0..7].
// Out: r[g] = [dword g of records 0..7 | dword g of records 8..15].
inline void transpose(__m512i r[8]) {
  const __m512i t0 = _mm512_unpacklo_epi32(r[0], r[1]);
  const __m512i t1 = _mm512_unpackhi_epi32(r[0], r[1]);
  const __m512i t2 = _mm512_unpacklo_epi32(r[2], r[3]);
  const __m512i t3 = _mm512_unpackhi_epi32(r[2], r[3]);
  const __m512i t4 = _mm512_unpacklo_epi32(r[4], r[5]);
  const __m512i t5 = _mm512_unpackhi_epi32(r[4], r[5]);
  const __m512i t6 = _mm512_unpacklo_epi32(r[6], r[7]);
  const __m512i t7 = _mm512_unpackhi_epi32(r[6], r[7]);
  const __m512i u0 = _mm512_unpacklo_epi64(t0, t2);
  const __m512i u1 = _mm512_unpackhi_epi64(t0, t2);
  const __m512i u2 = _mm512_unpacklo_epi64(t1, t3);
  const __m512i u3 = _mm512_unpackhi_epi64(t1, t3);
  const __m512i u4 = _mm512_unpacklo_epi64(t4, t6);
  const __m512i u5 = _mm512_unpackhi_epi64(t4, t6);
  const __m512i u6 = _mm512_unpacklo_epi64(t5, t7);
  const __m512i u7 = _mm512_unpackhi_epi64(t5, t7);
  const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  r[0] = _mm512_permutex2var_epi64(u0, lo, u4);
  r[4] = _mm512_permutex2var_epi64(u0, hi, u4);
  r[1] = _mm512_permutex2var_epi64(u1, lo, u5);
  r[5] = _mm512_permutex2var_epi64(u1, hi, u5);
  r[2] = _mm512_permutex2var_epi64(u2, lo, u6);
  r[6] = _mm512_permutex2var_epi64(u2, hi, u6);
  r[3] = _mm512_permutex2var_epi64(u3, lo, u7);
  r[7] = _mm512_permutex2var_epi64(u3, hi, u7);
}

// Loads one 32-byte chunk at `offset` of the 16 records of a group and transposes it into
// 8 vectors of one dword per record.
template <bool kExpand24>
inline void load_chunk(const std::uint8_t* const* rec, std::size_t offset, __m512i out[8]) {
  for (int k = 0; k < 8; ++k) {
    out[k] = load_pair(rec[k] + offset, rec[k + 8] + offset);
    if constexpr (kExpand24) out[k] = expand_24(out[k]);
  }
  transpose(out);
}

// Moves the field at bit `kOffset` (< 16) of each lane's low 16-bit word to the lane's low
// bits. The word is multiplied by 2^(16 - kOffset) and its high half kept: a right shift done
// on the multiply pipes, leaving the shuffle pipes to the permutes. Bits above the field are
// garbage the permute does not read (rows repeat their entries).
template <int kOffset>
inline __m512i field_at(__m512i view) {
  if constexpr (kOffset == 0) {
    return view;
  } else {
    return _mm512_mulhi_epu16(view, _mm512_set1_epi16(static_cast<short>(1 << (16 - kOffset))));
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

// Adds, for every group, the terms of the fields J... of dword vector v[g], field j looked up
// in rows[j].
template <int kBits, int... J>
inline void add_fields(const __m512i (&v)[kGroups], const float* rows, __m512 (&acc)[kGroups],
                       std::integer_sequence<int, J...>) {
  using F = DwordFields<kBits>;
  __m512i high[kGroups];
  for (int g = 0; g < kGroups; ++g) high[g] = _mm512_srli_epi32(v[g], F::kSplit);
  (
      [&] {
        const __m512 row = _mm512_load_ps(rows + J * kRowFloats);
        for (int g = 0; g < kGroups; ++g) {
          __m512i idx;
          if constexpr (J < F::kLow) {
            idx = field_at<J * kBits>(v[g]);
          } else {
            idx = field_at<(J - F::kLow) * kBits>(high[g]);
          }
          acc[g] = _mm512_add_ps(acc[g], _mm512_permutexvar_ps(idx, row));
        }
      }(),
      ...);
}

template <int kW>
void tile_kernel(const ScanTables& t, const std::uint8_t* const* records,
                 const std::uint8_t* const* next, float* out) {
  // Coordinates per index dword and per 32-byte chunk; bytes between chunks.
  constexpr int kPerDword = DwordFields<kW>::kCount;
  constexpr std::size_t kChunkCoords = 8 * kPerDword;
  constexpr std::size_t kChunkStride = kW == 3 ? 24 : 32;
  const std::size_t n = t.n;
  const std::size_t mse_chunks = (n + kChunkCoords - 1) / kChunkCoords;
  const std::size_t steps = mse_chunks + (n + 255) / 256;

  __m512 acc[kGroups];
  __m512 sacc[kGroups];
  for (int g = 0; g < kGroups; ++g) acc[g] = sacc[g] = _mm512_setzero_ps();
  alignas(64) __m512i chunk[kGroups][8];

  for (std::size_t c = 0; c < mse_chunks; ++c) {
    prefetch_step(t, next, kTile, c, steps);
    for (int g = 0; g < kGroups; ++g) {
      load_chunk<kW == 3>(records + g * kLanes, c * kChunkStride, chunk[g]);
    }
    const std::size_t left = (n - c * kChunkCoords) / kPerDword;
    const std::size_t dwords = left < 8 ? left : 8;
    const float* rows = t.mse_rows + c * kChunkCoords * kRowFloats;
    for (std::size_t k = 0; k < dwords; ++k) {
      const __m512i v[kGroups] = {chunk[0][k], chunk[1][k], chunk[2][k], chunk[3][k]};
      add_fields<kW>(v, rows + k * kPerDword * kRowFloats, acc,
                     std::make_integer_sequence<int, kPerDword>{});
    }
  }
  // The sketch: 256 coordinates (64 nibbles) per 32-byte chunk.
  for (std::size_t c = 0; c * 256 < n; ++c) {
    prefetch_step(t, next, kTile, mse_chunks + c, steps);
    for (int g = 0; g < kGroups; ++g) {
      load_chunk<false>(records + g * kLanes, t.packed_bytes + c * 32, chunk[g]);
    }
    const std::size_t left = (n - c * 256) / 32;
    const std::size_t dwords = left < 8 ? left : 8;
    const float* rows = t.sign_rows + c * 64 * kRowFloats;
    for (std::size_t k = 0; k < dwords; ++k) {
      const __m512i v[kGroups] = {chunk[0][k], chunk[1][k], chunk[2][k], chunk[3][k]};
      add_fields<4>(v, rows + k * 8 * kRowFloats, sacc, std::make_integer_sequence<int, 8>{});
    }
  }

  const __m512 scale = _mm512_set1_ps(t.qjl_scale);
  const std::size_t gamma_at = t.packed_bytes + t.sign_bytes;
  for (int g = 0; g < kGroups; ++g) {
    alignas(64) float gammas[kLanes];
    for (int r = 0; r < kLanes; ++r) std::memcpy(&gammas[r], records[g * kLanes + r] + gamma_at, 4);
    const __m512 gamma = _mm512_load_ps(gammas);
    const __m512 term = _mm512_mul_ps(sacc[g], _mm512_mul_ps(scale, gamma));
    const __mmask16 zero = _mm512_cmp_ps_mask(gamma, _mm512_setzero_ps(), _CMP_EQ_OQ);
    const __m512 added = _mm512_mask_blend_ps(zero, term, _mm512_setzero_ps());
    _mm512_storeu_ps(out + g * kLanes, _mm512_add_ps(acc[g], added));
  }
}

}  // namespace

TileKernelInfo avx512_tile_kernel(std::size_t w) {
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

#pragma GCC diagnostic pop
#ifdef __clang__
#pragma clang attribute pop
#endif
#pragma GCC pop_options

#else

namespace norvex::quantizer::detail {
TileKernelInfo avx512_tile_kernel(std::size_t) { return {}; }
}  // namespace norvex::quantizer::detail

#endif
