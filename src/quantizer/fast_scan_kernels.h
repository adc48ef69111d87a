// Internal to the fast scan: the tables a kernel reads and the per-instruction-set tile
// kernels. Only fast_scan*.cpp include this.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvex::quantizer::detail {

// Rows of 16 floats: a row holds the 2^w table entries of one coordinate (or of one nibble of
// four sketch coordinates) repeated to fill 16 entries, so a permute that reads the low 3 or 4
// bits of a lane needs no mask.
inline constexpr std::size_t kRowFloats = 16;

struct ScanTables {
  std::size_t n = 0;                 // padded dimension
  std::size_t w = 0;                 // bits per scalar index (b - 1)
  std::size_t packed_bytes = 0;      // m
  std::size_t sign_bytes = 0;        // q; gamma (f32) follows at m + q
  const float* mse_rows = nullptr;   // n rows (w <= 4)
  const float* sign_rows = nullptr;  // ceil(n / 4) rows: entry v = signed sum of 4 q_proj
  float qjl_scale = 0.0f;
  std::size_t record_lines = 0;  // cache lines a record may touch (prefetched ahead)
  // For the one-record kernels (null when the query carries no rotated query or w > 4):
  const float* q_rot = nullptr;     // n
  const float* q_proj = nullptr;    // n
  float q_proj_sum = 0.0f;          // sum of q_proj, the sketch sum when every bit is clear
  const float* levels16 = nullptr;  // the 2^w codebook levels, repeated to 16 entries
};

// Asks for the line holding `p` in L2. An asm statement: GCC 12 deletes loops whose only work
// is __builtin_prefetch.
inline void prefetch_l2(const std::uint8_t* p) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm volatile("prefetcht1 %0" : : "m"(*p));
#else
  __builtin_prefetch(p, 0, 2);
#endif
}

// Spreads the prefetch of the next tile's records over a tile's `steps` steps: at step s,
// lines [s * per_step, (s + 1) * per_step) of every next record.
inline void prefetch_step(const ScanTables& t, const std::uint8_t* const* next, std::size_t tile,
                          std::size_t step, std::size_t steps) {
  if (next == nullptr) return;
  const std::size_t per_step = (t.record_lines + steps - 1) / steps;
  const std::size_t from = step * per_step;
  const std::size_t to = from + per_step < t.record_lines ? from + per_step : t.record_lines;
  for (std::size_t line = from; line < to; ++line) {
    for (std::size_t r = 0; r < tile; ++r) prefetch_l2(next[r] + 64 * line);
  }
}

// The last step of every kernel, per record.
inline float finish_score(float mse, float sign_sum, float qjl_scale, float gamma) {
  // A fast-mode code (gamma 0) carries no sketch.
  if (gamma == 0.0f) return mse + 0.0f;
  return mse + sign_sum * (qjl_scale * gamma);
}

// A tile kernel scores exactly `tile` records (record pointers may repeat) and writes `tile`
// scores; meanwhile it prefetches the `tile` records of `next` (null: none). Each record pointer
// must have m + 32 readable bytes at its packed indices and q rounded up to 32 readable bytes at
// its sketch (the caller pads short codes).
using TileKernel = void (*)(const ScanTables& t, const std::uint8_t* const* records,
                            const std::uint8_t* const* next, float* out);

struct TileKernelInfo {
  TileKernel fn = nullptr;
  std::size_t tile = 0;
};

// Null fn when the width has no kernel of that kind (or the build is not for x86-64).
TileKernelInfo avx2_tile_kernel(std::size_t w);
TileKernelInfo avx512_tile_kernel(std::size_t w);

// One-record kernels, for a few records at a time (a tile would mostly score padding). Needs
// n a multiple of 16, w <= 4 and the one-record tables. Coordinate i goes to partial sum
// i mod 32 as fma(level, q_rot[i], sum); where its sign bit is set, q_proj[i] is added to a
// second set of 32 sums (S). Each set is folded in halves: s[l] += s[l + 16], s[l] += s[l + 8],
// s[l] += s[l + 4], s[l] += s[l + 2], s[0] + s[1]. The sketch's signed sum is then
// 2 * S - q_proj_sum, and the score is finish_score of the two. Every form performs exactly
// these operations, so they agree bit for bit; against the left-to-right reference they
// differ by float rounding. The record must have 8 readable bytes at every packed group of
// 16 indices (m + q + 9 bytes cover it). Scores records[0..count) into out[0..count).
using OneKernel = void (*)(const ScanTables& t, const std::uint8_t* const* records,
                           std::size_t count, float* out);
void one_records_scalar(const ScanTables& t, const std::uint8_t* const* records, std::size_t count,
                        float* out);
// Null when the width has no such kernel (or the build is not for x86-64). `vbmi`: the form
// that unpacks indices with the VBMI multishift (same results).
OneKernel avx512_one_record_kernel(std::size_t w, bool vbmi);

}  // namespace norvex::quantizer::detail
