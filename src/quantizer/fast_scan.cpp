// The fast scan's tables, the scalar kernel and the choice of kernel.
#include "quantizer/fast_scan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "common/error.h"
#include "quantizer/checks.h"
#include "quantizer/fast_scan_kernels.h"

namespace norvex::quantizer {
namespace {

using detail::kRowFloats;
using detail::ScanTables;
using detail::TileKernelInfo;

// Below this padded dimension a code is too short for the tile kernels' loads: the scalar
// kernel scores it.
constexpr std::size_t kMinTileN = 64;
// Below this the tile kernels' 32-byte loads could pass the end of a record: records are
// first copied into padded scratch rows.
constexpr std::size_t kUnpaddedTileN = 256;
constexpr std::size_t kMaxTile = 64;

struct AlignedFloats {
  struct Free {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t(64)); }
  };
  std::unique_ptr<float[], Free> data;
  std::size_t size = 0;

  AlignedFloats() = default;
  explicit AlignedFloats(std::size_t count)
      : data(static_cast<float*>(::operator new[](count * sizeof(float), std::align_val_t(64)))),
        size(count) {}  // every table is written in full by its owner
};

bool cpu_has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool cpu_has_avx512() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
  return false;
#endif
}

bool cpu_has_avx512_vbmi() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  return cpu_has_avx512() && __builtin_cpu_supports("avx512vbmi");
#else
  return false;
#endif
}

TileKernelInfo tile_kernel_for(ScanKernel kernel, std::size_t w) {
  switch (kernel) {
    case ScanKernel::kAvx2:
      return detail::avx2_tile_kernel(w);
    case ScanKernel::kAvx512:
      return detail::avx512_tile_kernel(w);
    case ScanKernel::kScalar:
      break;
  }
  return {};
}

}  // namespace

namespace detail {

namespace {

// The one-record kernels' last step: 32 partial sums folded in halves.
float fold32(float* v) {
  for (std::size_t half = 16; half >= 2; half /= 2) {
    for (std::size_t l = 0; l < half; ++l) v[l] += v[l + half];
  }
  return v[0] + v[1];
}

float one_record_scalar(const ScanTables& t, const std::uint8_t* rec) {
  float mse[32] = {};
  float sign[32] = {};
  const std::uint32_t mask = (std::uint32_t{1} << t.w) - 1;
  std::uint64_t window = 0;
  std::size_t avail = 0;
  const std::uint8_t* byte = rec;
  const std::uint8_t* signs = rec + t.packed_bytes;
  for (std::size_t i = 0; i < t.n; ++i) {
    while (avail < t.w) {
      window |= std::uint64_t{*byte++} << avail;
      avail += 8;
    }
    const float level = t.levels16[window & mask];
    window >>= t.w;
    avail -= t.w;
    mse[i % 32] = std::fma(level, t.q_rot[i], mse[i % 32]);
    if ((signs[i / 8] >> (i % 8)) & 1u) sign[i % 32] += t.q_proj[i];
  }
  float gamma;
  std::memcpy(&gamma, rec + t.packed_bytes + t.sign_bytes, sizeof(gamma));
  return finish_score(fold32(mse), 2.0f * fold32(sign) - t.q_proj_sum, t.qjl_scale, gamma);
}

}  // namespace

void one_records_scalar(const ScanTables& t, const std::uint8_t* const* records, std::size_t count,
                        float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = one_record_scalar(t, records[i]);
}

}  // namespace detail

ScanKernel best_scan_kernel() {
  static const ScanKernel best = [] {
    if (scan_kernel_available(ScanKernel::kAvx512)) return ScanKernel::kAvx512;
    if (scan_kernel_available(ScanKernel::kAvx2)) return ScanKernel::kAvx2;
    return ScanKernel::kScalar;
  }();
  return best;
}

bool scan_kernel_available(ScanKernel kernel) {
  switch (kernel) {
    case ScanKernel::kScalar:
      return true;
    case ScanKernel::kAvx2:
      return cpu_has_avx2() && detail::avx2_tile_kernel(3).fn != nullptr;
    case ScanKernel::kAvx512:
      return cpu_has_avx512() && detail::avx512_tile_kernel(3).fn != nullptr;
  }
  return false;
}

const char* scan_kernel_name(ScanKernel kernel) {
  switch (kernel) {
    case ScanKernel::kScalar:
      return "scalar";
    case ScanKernel::kAvx2:
      return "avx2";
    case ScanKernel::kAvx512:
      return "avx512";
  }
  return "?";
}

namespace {

// The SIMD one-record kernel for codes of this shape on this CPU; null where there is none
// (score_few then scores with the tiles).
detail::OneKernel simd_one_record_kernel(std::size_t n, std::size_t w) {
  if (w > 4 || n % 16 != 0 || best_scan_kernel() != ScanKernel::kAvx512) return nullptr;
  return detail::avx512_one_record_kernel(w, cpu_has_avx512_vbmi());
}

}  // namespace

struct ScanQuery::Impl {
  std::size_t k = 0;
  // The tile and scalar kernels' rows. Where the one-record kernel applies they are allocated
  // and filled on first use (a graph walk or a graph build's check of a few records never
  // needs them); otherwise at once. The fill also sets the rows' pointers in `tables`.
  mutable AlignedFloats mse_rows;   // n rows of kRowFloats (w <= 4) or of k floats
  mutable AlignedFloats sign_rows;  // ceil(n / 4) rows of kRowFloats
  mutable std::once_flag rows_filled;
  std::vector<float> q_rot, q_proj, levels16;  // the one-record kernels' tables
  mutable ScanTables tables;
  ScanKernel kernel = ScanKernel::kScalar;
  detail::OneKernel one = nullptr;  // the fastest one-record kernel; null: none fits

  explicit Impl(std::size_t w) : k(std::size_t{1} << w) {}

  // Fills the rows from q_rot where it is whole and w <= 4, else from `lut` (n * k).
  void fill_rows(std::span<const float> lut) const;
  void ensure_rows() const {
    std::call_once(rows_filled, [this] { fill_rows({}); });
  }

  std::size_t mse_row_floats() const { return tables.w <= 4 ? kRowFloats : k; }

  // The scalar kernel: the same operations as the tile kernels, one record at a time.
  float score_scalar(const std::uint8_t* rec) const {
    const ScanTables& t = tables;
    const std::size_t stride = mse_row_floats();
    const std::uint32_t mask = static_cast<std::uint32_t>(k - 1);
    float mse = 0.0f;
    std::uint64_t window = 0;
    std::size_t avail = 0;
    const std::uint8_t* byte = rec;
    const float* row = t.mse_rows;
    for (std::size_t i = 0; i < t.n; ++i, row += stride) {
      while (avail < t.w) {
        window |= std::uint64_t{*byte++} << avail;
        avail += 8;
      }
      mse += row[window & mask];
      window >>= t.w;
      avail -= t.w;
    }
    float sign_sum = 0.0f;
    const std::uint8_t* signs = rec + t.packed_bytes;
    const std::size_t nibbles = (t.n + 3) / 4;
    for (std::size_t j = 0; j < nibbles; ++j) {
      const unsigned v = (signs[j / 2] >> (4 * (j & 1))) & 15u;
      sign_sum += t.sign_rows[j * kRowFloats + v];
    }
    float gamma;
    std::memcpy(&gamma, rec + t.packed_bytes + t.sign_bytes, sizeof(gamma));
    return detail::finish_score(mse, sign_sum, t.qjl_scale, gamma);
  }

  // Scores `count` records, record i at address_of(i), against every query of `qs` (one
  // layout), with `chosen`: out[j * count + i] for query j. Each tile of records is read from
  // memory once for all queries.
  template <typename AddressOf>
  static void run(std::span<const Impl* const> qs, std::size_t count, AddressOf&& address_of,
                  float* out, ScanKernel chosen) {
    if (count == 0 || qs.empty()) return;
    const ScanTables& layout = qs[0]->tables;
    for (const Impl* q : qs) {
      q->ensure_rows();
      NVX_CHECK(q->tables.n == layout.n && q->tables.w == layout.w,
                "queries of one scan must share a quantizer layout");
    }
    const TileKernelInfo tile =
        layout.n >= kMinTileN ? tile_kernel_for(chosen, layout.w) : TileKernelInfo{};
    if (tile.fn == nullptr) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* rec = address_of(i);
        for (std::size_t j = 0; j < qs.size(); ++j) out[j * count + i] = qs[j]->score_scalar(rec);
      }
      return;
    }
    NVX_CHECK(tile.tile <= kMaxTile, "tile larger than kMaxTile");
    const bool pad = layout.n < kUnpaddedTileN;
    const std::size_t copy_bytes = layout.packed_bytes + layout.sign_bytes + 4;
    const std::size_t pad_stride = (layout.packed_bytes + 64 + 63) / 64 * 64;
    // Reused across calls: the graph search scores a few records per call.
    thread_local std::vector<std::uint8_t> scratch;
    if (pad && scratch.size() < tile.tile * pad_stride) scratch.resize(tile.tile * pad_stride);
    const std::uint8_t* ptr_buf[2][kMaxTile];
    float partial[kMaxTile];
    // The records of the tile at `start`; a short last tile repeats its last record (those
    // scores are dropped).
    const auto fill = [&](std::size_t start, const std::uint8_t** ptrs) {
      const std::size_t live = std::min(tile.tile, count - start);
      for (std::size_t r = 0; r < tile.tile; ++r) {
        ptrs[r] = address_of(start + std::min(r, live - 1));
      }
    };
    const std::uint8_t** current = ptr_buf[0];
    const std::uint8_t** next = ptr_buf[1];
    fill(0, current);
    for (std::size_t start = 0; start < count; start += tile.tile) {
      const std::size_t live = std::min(tile.tile, count - start);
      const bool has_next = start + tile.tile < count;
      if (has_next) fill(start + tile.tile, next);
      if (pad) {
        for (std::size_t r = 0; r < tile.tile; ++r) {
          std::memcpy(scratch.data() + r * pad_stride, current[r], copy_bytes);
          current[r] = scratch.data() + r * pad_stride;
        }
      }
      for (std::size_t j = 0; j < qs.size(); ++j) {
        // The first query's pass prefetches the next tile (a tile's chunk-by-chunk reads
        // across its records are not a pattern the hardware prefetchers follow); the others
        // find the tile in cache.
        const std::uint8_t* const* ahead = has_next && j == 0 ? next : nullptr;
        float* dest = out + j * count + start;
        if (live == tile.tile) {
          tile.fn(qs[j]->tables, current, ahead, dest);
        } else {
          tile.fn(qs[j]->tables, current, ahead, partial);
          std::copy_n(partial, live, dest);
        }
      }
      std::swap(current, next);
    }
  }
};

std::vector<const ScanQuery::Impl*> ScanQuery::impls_of(std::span<const ScanQuery* const> queries) {
  std::vector<const Impl*> impls(queries.size());
  for (std::size_t j = 0; j < queries.size(); ++j) impls[j] = queries[j]->impl_.get();
  return impls;
}

namespace {

// kNibbleSigns[bit][v]: +1 when bit `bit` of v is set, else -1.
constexpr auto kNibbleSigns = [] {
  std::array<std::array<float, 16>, 4> signs{};
  for (unsigned bit = 0; bit < 4; ++bit) {
    for (unsigned v = 0; v < 16; ++v) signs[bit][v] = (v >> bit) & 1u ? 1.0f : -1.0f;
  }
  return signs;
}();

// The table fills are the per-query set-up of every scan and of every node the graph build
// links; compiled for wider vectors too and picked at run time. Each entry is computed the
// same way in every version (element-wise products and sums), so the bits do not depend on it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define NORVEX_TABLE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define NORVEX_TABLE_CLONES
#endif

// Row i: q_rot[i] times the repeated levels.
NORVEX_TABLE_CLONES void fill_level_rows(const float* q_rot, std::size_t n, const float* levels,
                                         float* rows) {
  for (std::size_t i = 0; i < n; ++i) {
    float* row = rows + i * kRowFloats;
    const float q = q_rot[i];
    for (std::size_t j = 0; j < kRowFloats; ++j) row[j] = q * levels[j];
  }
}

// Rows of the first `whole` nibbles: entry v = ((+-q0 +-q1) +-q2) +-q3, the sign of q_b plus
// where bit b of v is set. q * (+-1) is exact, so these are the branchy sums' bits.
NORVEX_TABLE_CLONES void fill_nibble_rows(const float* q_proj, std::size_t whole, float* rows) {
  for (std::size_t j = 0; j < whole; ++j) {
    float* row = rows + j * kRowFloats;
    const float* q = q_proj + 4 * j;
    for (unsigned v = 0; v < 16; ++v) {
      row[v] =
          ((q[0] * kNibbleSigns[0][v] + q[1] * kNibbleSigns[1][v]) + q[2] * kNibbleSigns[2][v]) +
          q[3] * kNibbleSigns[3][v];
    }
  }
}

// The sum of q[0..n) (n a multiple of 16) in the one-record kernels' 32 lanes, kept in vector
// registers: a graph build sets up a query for every node it links.
NORVEX_TABLE_CLONES float lane_sum(const float* q, std::size_t n) {
  using Lanes = float __attribute__((vector_size(64)));
  Lanes low = {}, high = {}, v;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    std::memcpy(&v, q + i, sizeof(v));
    low += v;
    std::memcpy(&v, q + i + 16, sizeof(v));
    high += v;
  }
  if (i < n) {
    std::memcpy(&v, q + i, sizeof(v));
    low += v;
  }
  float lanes[32];
  std::memcpy(lanes, &low, sizeof(low));
  std::memcpy(lanes + 16, &high, sizeof(high));
  return detail::fold32(lanes);
}

}  // namespace

ScanQuery::ScanQuery(const ProdQuantizer& quantizer, const PreparedIpQuery& prepared) {
  const std::size_t k = std::size_t{1} << (quantizer.b - 1);
  NVX_CHECK(prepared.n_centroids == k,
            checks::eq_failure("n_centroids == k", prepared.n_centroids, k));
  NVX_CHECK(prepared.lut.size() >= quantizer.n * k,
            checks::eq_failure("lut.len() == n * k", prepared.lut.size(), quantizer.n * k));
  init(quantizer, prepared.q_rot, prepared.q_proj, prepared.qjl_scale, prepared.lut);
}

ScanQuery::ScanQuery(const ProdQuantizer& quantizer, const PreparedIpQueryLite& prepared) {
  NVX_CHECK(prepared.q_rot.size() >= quantizer.n,
            checks::out_of_bounds(prepared.q_rot.size(), quantizer.n - 1));
  init(quantizer, prepared.q_rot, prepared.q_proj, prepared.qjl_scale, {});
}

void ScanQuery::init(const ProdQuantizer& quantizer, std::span<const float> q_rot,
                     std::span<const float> q_proj, float qjl_scale, std::span<const float> lut) {
  const std::size_t n = quantizer.n;
  const std::size_t w = quantizer.b - 1;
  const std::size_t k = std::size_t{1} << w;
  NVX_CHECK(q_proj.size() >= n, checks::out_of_bounds(q_proj.size(), n - 1));
  impl_ = std::make_unique<Impl>(w);
  Impl& s = *impl_;
  ScanTables& t = s.tables;
  t.n = n;
  t.w = w;
  t.packed_bytes = quantizer.packed_mse_bytes();
  t.sign_bytes = quantizer.qjl_bytes();
  t.qjl_scale = qjl_scale;
  // A record need not start on a line boundary.
  t.record_lines = (t.packed_bytes + t.sign_bytes + 4 + 63) / 64 + 1;
  s.kernel = best_scan_kernel();

  const std::vector<float>& c = quantizer.mse_quantizer.centroids;
  NVX_CHECK(c.size() == k, checks::eq_failure("centroids.len() == k", c.size(), k));
  // Each table row is the coordinate's k entries, repeated to fill the row; the entries are
  // q_rot[i] * c[j], as prepare_ip_query computes them.
  s.levels16.resize(kRowFloats);
  for (std::size_t j = 0; j < kRowFloats; ++j) s.levels16[j] = c[j % k];
  s.q_rot.assign(q_rot.begin(), q_rot.begin() + std::min(q_rot.size(), n));
  s.q_proj.assign(q_proj.begin(), q_proj.begin() + n);
  if (w <= 4 && n % 16 == 0 && s.q_rot.size() == n) {
    t.q_proj_sum = lane_sum(s.q_proj.data(), n);
    t.q_rot = s.q_rot.data();
    t.q_proj = s.q_proj.data();
    t.levels16 = s.levels16.data();
    s.one = simd_one_record_kernel(n, w);
  }
  if (s.one != nullptr) return;
  std::vector<float> products;  // w > 4 from a query without the table: the same products
  if (lut.empty() && w > 4) {
    products.resize(n * k);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < k; ++j) products[i * k + j] = s.q_rot[i] * c[j];
    }
    lut = products;
  }
  std::call_once(s.rows_filled, [&] { s.fill_rows(lut); });
}

void ScanQuery::Impl::fill_rows(std::span<const float> lut) const {
  const std::size_t n = tables.n;
  const std::size_t stride = mse_row_floats();
  mse_rows = AlignedFloats(n * stride);
  sign_rows = AlignedFloats((n + 3) / 4 * kRowFloats);
  tables.mse_rows = mse_rows.data.get();
  tables.sign_rows = sign_rows.data.get();
  float* rows = mse_rows.data.get();
  if (stride == kRowFloats && q_rot.size() == n) {
    fill_level_rows(q_rot.data(), n, levels16.data(), rows);
  } else {
    NVX_CHECK(lut.size() >= n * k, checks::eq_failure("lut.len() == n * k", lut.size(), n * k));
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < stride; ++j) rows[i * stride + j] = lut[i * k + j % k];
    }
  }
  // Nibble rows: entry v is the sum over the nibble's positions p < n, in increasing p, of
  // +q_proj[p] when bit p - 4j of v is set and -q_proj[p] when it is clear.
  const std::size_t nibbles = (n + 3) / 4;
  float* signs = sign_rows.data.get();
  fill_nibble_rows(q_proj.data(), n / 4, signs);
  for (std::size_t j = n / 4; j < nibbles; ++j) {  // a last partial nibble
    float* row = signs + j * kRowFloats;
    for (unsigned v = 0; v < 16; ++v) {
      float sum = 0.0f;
      for (std::size_t bit = 0; bit < 4 && 4 * j + bit < n; ++bit) {
        const float q = q_proj[4 * j + bit];
        const float term = (v >> bit) & 1u ? q : -q;
        sum = bit == 0 ? term : sum + term;
      }
      row[v] = sum;
    }
  }
}

ScanQuery::ScanQuery(ScanQuery&&) noexcept = default;
ScanQuery& ScanQuery::operator=(ScanQuery&&) noexcept = default;
ScanQuery::~ScanQuery() = default;

std::size_t ScanQuery::packed_bytes() const { return impl_->tables.packed_bytes; }
std::size_t ScanQuery::sign_bytes() const { return impl_->tables.sign_bytes; }

void ScanQuery::score_slots(SlotRecords records, std::span<const std::uint32_t> slots,
                            std::span<float> out) const {
  const ScanQuery* self = this;
  score_slots_multi({&self, 1}, records, slots, out);
}

void ScanQuery::score_range(SlotRecords records, std::size_t first, std::span<float> out) const {
  const ScanQuery* self = this;
  score_range_multi({&self, 1}, records, first, out.size(), out);
}

void ScanQuery::score_slots_multi(std::span<const ScanQuery* const> queries, SlotRecords records,
                                  std::span<const std::uint32_t> slots, std::span<float> out) {
  NVX_CHECK(out.size() == queries.size() * slots.size(),
            checks::eq_failure("out.len() == queries * slots", out.size(),
                               queries.size() * slots.size()));
  if (queries.empty()) return;
  Impl::run(
      impls_of(queries), slots.size(),
      [&](std::size_t i) { return records.base + std::size_t{slots[i]} * records.slot_size; },
      out.data(), queries[0]->impl_->kernel);
}

void ScanQuery::score_range_multi(std::span<const ScanQuery* const> queries, SlotRecords records,
                                  std::size_t first, std::size_t count, std::span<float> out) {
  NVX_CHECK(out.size() == queries.size() * count,
            checks::eq_failure("out.len() == queries * count", out.size(), queries.size() * count));
  if (queries.empty()) return;
  const std::uint8_t* base = records.base + first * records.slot_size;
  Impl::run(
      impls_of(queries), count, [&](std::size_t i) { return base + i * records.slot_size; },
      out.data(), queries[0]->impl_->kernel);
}

void ScanQuery::score_records(std::span<const std::uint8_t* const> records,
                              std::span<float> out) const {
  score_records(records, out, impl_->kernel);
}

void ScanQuery::score_few(std::span<const std::uint8_t* const> records,
                          std::span<float> out) const {
  const Impl& s = *impl_;
  if (s.one == nullptr || records.size() >= kFewBelow) {
    score_records(records, out);
    return;
  }
  NVX_CHECK(out.size() == records.size(),
            checks::eq_failure("out.len() == records.len()", out.size(), records.size()));
  s.one(s.tables, records.data(), records.size(), out.data());
}

bool ScanQuery::one_record_vbmi_available() { return cpu_has_avx512_vbmi(); }

bool ScanQuery::few_records_simd(const ProdQuantizer& quantizer) {
  return simd_one_record_kernel(quantizer.n, quantizer.b - 1) != nullptr;
}

bool ScanQuery::has_one_record_kernel() const { return impl_->tables.q_rot != nullptr; }

void ScanQuery::score_one_record(std::span<const std::uint8_t* const> records, std::span<float> out,
                                 ScanKernel kernel, bool vbmi) const {
  const Impl& s = *impl_;
  NVX_CHECK(has_one_record_kernel(), "no one-record kernel for this query");
  NVX_CHECK(out.size() == records.size(),
            checks::eq_failure("out.len() == records.len()", out.size(), records.size()));
  detail::OneKernel fn = &detail::one_records_scalar;
  if (kernel == ScanKernel::kAvx512) {
    NVX_CHECK(scan_kernel_available(kernel), "scan kernel not available on this CPU");
    NVX_CHECK(!vbmi || cpu_has_avx512_vbmi(), "scan kernel not available on this CPU");
    fn = detail::avx512_one_record_kernel(s.tables.w, vbmi);
  }
  NVX_CHECK(kernel != ScanKernel::kAvx2, "no AVX2 one-record kernel");
  fn(s.tables, records.data(), records.size(), out.data());
}

void ScanQuery::score_records(std::span<const std::uint8_t* const> records, std::span<float> out,
                              ScanKernel kernel) const {
  NVX_CHECK(out.size() == records.size(),
            checks::eq_failure("out.len() == records.len()", out.size(), records.size()));
  NVX_CHECK(scan_kernel_available(kernel), "scan kernel not available on this CPU");
  const Impl* self = impl_.get();
  Impl::run(
      {&self, 1}, records.size(), [&](std::size_t i) { return records[i]; }, out.data(), kernel);
}

}  // namespace norvex::quantizer
