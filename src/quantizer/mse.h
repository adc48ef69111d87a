// The scalar half of the product quantizer: rotate with a seeded sign vector, then replace
// every rotated coordinate by the index of the nearest Lloyd-Max level.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage/encoding.h"

namespace norvex::quantizer {

// Refusal for codebooks that do not fit u16 indices.
inline constexpr const char* kCodebookTooLarge = "codebook too large for u16 indices; reduce bits";

class MseQuantizer {
 public:
  // Builds the quantizer for dimension d with 2^b levels. Throws Error(kCodebookTooLarge)
  // for b > 16, before any codebook work.
  static MseQuantizer create(std::uint64_t d, std::uint64_t b, std::uint64_t seed);

  // x.size() must equal d; returns n indices.
  std::vector<std::uint16_t> quantize(std::span<const float> x) const;
  // Writes n indices into `out` (out.size() == n), allocation-free apart from the rotation.
  void quantize_into(std::span<const float> x, std::span<std::uint16_t> out) const;
  // indices.size() must equal n; returns d values.
  std::vector<double> dequantize(std::span<const std::uint16_t> indices) const;

  // JSON object {"d","n","b","rotation_signs","centroids"} and its reader ("missing field",
  // "duplicate field" errors are raised by the caller's JSON reader).
  nlohmann::json to_json() const;
  static MseQuantizer from_json(const nlohmann::json& j);
  void encode(storage::RecordWriter& w) const;
  static MseQuantizer decode(storage::RecordReader& r);

  std::uint64_t d = 0;
  std::uint64_t n = 0;
  std::uint64_t b = 0;
  std::vector<float> rotation_signs;  // n entries
  std::vector<float> centroids;       // 2^b entries, ascending, at most 65536
};

}  // namespace norvex::quantizer
