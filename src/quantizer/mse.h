// The scalar half of the product quantizer: rotate with a seeded sign vector, then replace
// every rotated coordinate by the index of the nearest Lloyd-Max level.
//
// Binary record: d, n, b (u64), rotation_signs (u64 count + f32 each), centroids (u64 count +
// f32 each). JSON: {"d", "n", "b", "rotation_signs", "centroids"} in that order.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "storage/encoding.h"

namespace norvex::quantizer {

// Refusal for codebooks that do not fit u16 indices.
inline constexpr const char* kCodebookTooLarge = "codebook too large for u16 indices; reduce bits";

// Grid size of the codebook fit.
inline constexpr std::size_t kCodebookGridPoints = 20000;

class MseQuantizer {
 public:
  // Builds the quantizer for dimension d with 2^b levels fitted to the padded dimension n.
  // Throws Error(kCodebookTooLarge) for b > 16, before any codebook work.
  static MseQuantizer create(std::uint64_t d, std::uint64_t b, std::uint64_t seed);

  // x.size() must equal d; returns n indices.
  std::vector<std::uint16_t> quantize(std::span<const float> x) const;
  // Writes n indices into `out` (out.size() == n); no allocation once the calling thread's
  // rotation buffer has grown to n.
  void quantize_into(std::span<const float> x, std::span<std::uint16_t> out) const;
  // indices.size() must equal n and every index must be below the number of levels; returns
  // d values.
  std::vector<double> dequantize(std::span<const std::uint16_t> indices) const;

  // Empty when the fields are mutually consistent (1 <= d <= kMaxDim, n == padded_dim(d),
  // b <= 16, n signs of +-1, 2^b finite ascending levels); otherwise the reason.
  std::string invalid_reason() const;

  // Keys in the order above. The reader requires all five keys (Error "missing field `<name>`")
  // and validates the result; duplicate keys are the parser's business (nlohmann keeps the
  // last).
  nlohmann::ordered_json to_json() const;
  static MseQuantizer from_json(const nlohmann::json& j);
  void encode(storage::RecordWriter& w) const;
  // Throws DecodeError on a short or inconsistent record.
  static MseQuantizer decode(storage::RecordReader& r);

  std::uint64_t d = 0;
  std::uint64_t n = 0;
  std::uint64_t b = 0;
  std::vector<float> rotation_signs;  // n entries
  std::vector<float> centroids;       // 2^b entries, ascending, at most 65536
};

}  // namespace norvex::quantizer
