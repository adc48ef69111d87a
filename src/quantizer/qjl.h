// The residual half of the product quantizer: one sign bit per padded coordinate of a seeded
// SRHT projection of the residual, plus the residual norm gamma (kept by the caller).
//
// Sketch: ceil(n/8) bytes; coordinate i is bit (i % 8) of byte i / 8, least significant bit
// first; bits beyond n - 1 are 0.
// Binary record: d, n (u64), projection_signs (u64 count + f32 each).
// JSON: {"d", "n", "projection_signs"} in that order.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "storage/encoding.h"

namespace norvex::quantizer {

class QjlQuantizer {
 public:
  static QjlQuantizer create(std::uint64_t d, std::uint64_t seed);

  // r.size() must equal d; returns ceil(n/8) bytes, bit set where the projection is >= 0.
  Bytes quantize(std::span<const float> r) const;
  // One d-value reconstruction per (bits, gamma) item, in item order, on the worker pool.
  // Each bits view must hold ceil(n/8) bytes and stay valid for the call.
  std::vector<std::vector<double>> dequantize_batch(
      const std::vector<std::pair<ByteView, double>>& items) const;
  // The reconstruction of one item, on the calling thread.
  std::vector<double> dequantize_one(ByteView bits, double gamma) const;

  std::size_t sketch_bytes() const { return static_cast<std::size_t>((n + 7) / 8); }

  // Empty when 1 <= d <= kMaxDim, n == padded_dim(d) and projection_signs holds n signs of
  // +-1; otherwise the reason.
  std::string invalid_reason() const;

  // Keys in the order above; the reader requires all three ("missing field `<name>`").
  nlohmann::ordered_json to_json() const;
  static QjlQuantizer from_json(const nlohmann::json& j);
  void encode(storage::RecordWriter& w) const;
  // Throws DecodeError on a short or inconsistent record.
  static QjlQuantizer decode(storage::RecordReader& r);

  std::uint64_t d = 0;
  std::uint64_t n = 0;
  std::vector<float> projection_signs;  // n entries
};

}  // namespace norvex::quantizer
