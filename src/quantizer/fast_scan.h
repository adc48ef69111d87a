// The fast scan: scores many stored code records against one prepared query, straight from
// the records' bytes (the live codes slot layout: packed indices m bytes, sign sketch q bytes,
// gamma f32, norm f32, deleted flag).
//
// A score equals ProdQuantizer::score_ip_encoded of the same code up to float rounding: the
// scalar-quantizer part is the same left-to-right 32-bit sum (bit-identical), the sketch part
// adds the signed projections four coordinates at a time (each nibble's sum taken from a
// table) instead of one at a time. Every kernel (scalar, AVX2, AVX-512) performs exactly these
// operations per record, so a record's score has the same bits whichever kernel, thread or
// chunk of a scan computes it.
//
// The SIMD kernels are compiled for their instruction sets inside this library and chosen at
// run time from the CPU's features; the scalar kernel runs everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quantizer/prod.h"

namespace norvex::quantizer {

enum class ScanKernel { kScalar, kAvx2, kAvx512 };

// The fastest kernel this CPU runs (decided once per process).
ScanKernel best_scan_kernel();
// Whether this CPU (and build) can run `kernel`.
bool scan_kernel_available(ScanKernel kernel);
const char* scan_kernel_name(ScanKernel kernel);

// Where the records are: record of slot s at base + s * slot_size. Each record must be a whole
// slot record of the quantizer's layout (slot_size >= m + q + 9), readable for the duration of
// a scan.
struct SlotRecords {
  const std::uint8_t* base = nullptr;
  std::size_t slot_size = 0;
};

// A query laid out for the scan: per-coordinate rows of the scalar-quantizer table and the
// sketch's nibble table (O(n * 16) floats, filled once, on the first scan that needs them), and
// the rotated query for the one-record kernels. Shareable by the threads of one scan.
class ScanQuery {
 public:
  ScanQuery(const ProdQuantizer& quantizer, const PreparedIpQuery& prepared);
  // From a query without the n * k table (the same scores: the table is q_rot[i] * c[j]).
  ScanQuery(const ProdQuantizer& quantizer, const PreparedIpQueryLite& prepared);
  ScanQuery(ScanQuery&&) noexcept;
  ScanQuery& operator=(ScanQuery&&) noexcept;
  ~ScanQuery();

  // Scores the records of the given slots into out[i] (out.size() == slots.size()).
  void score_slots(SlotRecords records, std::span<const std::uint32_t> slots,
                   std::span<float> out) const;
  // Scores slots first .. first + out.size() - 1.
  void score_range(SlotRecords records, std::size_t first, std::span<float> out) const;
  // Several queries in one pass over the records (each tile of records is read from memory
  // once): out[j * slots.size() + i] is the score of slots[i] for queries[j], the same bits as
  // scoring that query alone. The queries must be built for one quantizer.
  static void score_slots_multi(std::span<const ScanQuery* const> queries, SlotRecords records,
                                std::span<const std::uint32_t> slots, std::span<float> out);
  // The same for slots first .. first + count - 1: out[j * count + i].
  static void score_range_multi(std::span<const ScanQuery* const> queries, SlotRecords records,
                                std::size_t first, std::size_t count, std::span<float> out);

  // Scores records given by address (each the start of a slot record).
  void score_records(std::span<const std::uint8_t* const> records, std::span<float> out) const;

  // Scores a few records (the new neighbours of a graph node): below kFewBelow records one
  // record at a time with 32 partial sums, where a tile kernel would mostly score its
  // padding and first fill its tables; otherwise as score_records. Each score agrees with
  // score_ip_encoded up to float rounding (not bit for bit with score_records: the sums run in
  // another order).
  static constexpr std::size_t kFewBelow = 64;
  void score_few(std::span<const std::uint8_t* const> records, std::span<float> out) const;
  // Whether the query has the one-record tables (w <= 4, n a multiple of 16, a prepared query
  // with its rotated query).
  bool has_one_record_kernel() const;
  // The one-record kernel: kScalar (the reference) or kAvx512 (if available; with `vbmi`, its
  // form for CPUs with AVX-512 VBMI, which must have it). For tests.
  void score_one_record(std::span<const std::uint8_t* const> records, std::span<float> out,
                        ScanKernel kernel, bool vbmi = false) const;
  // Whether score_few scores few records of this quantizer's queries with a SIMD kernel
  // that needs no tables (the set-up is then a copy of the rotated query).
  static bool few_records_simd(const ProdQuantizer& quantizer);
  // Whether this CPU runs the VBMI form of the one-record kernel.
  static bool one_record_vbmi_available();

  // The same with a chosen kernel (which must be available): for tests and benchmarks.
  void score_records(std::span<const std::uint8_t* const> records, std::span<float> out,
                     ScanKernel kernel) const;

  std::size_t packed_bytes() const;
  std::size_t sign_bytes() const;

 private:
  struct Impl;
  void init(const ProdQuantizer& quantizer, std::span<const float> q_rot,
            std::span<const float> q_proj, float qjl_scale, std::span<const float> lut);
  static std::vector<const Impl*> impls_of(std::span<const ScanQuery* const> queries);
  std::unique_ptr<Impl> impl_;
};

}  // namespace norvex::quantizer
