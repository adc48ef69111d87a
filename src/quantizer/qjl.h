// The residual half of the product quantizer: one sign bit per padded coordinate of a seeded
// SRHT projection of the residual (least significant bit first), plus the residual norm.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/bytes.h"
#include "storage/encoding.h"

namespace norvex::quantizer {

class QjlQuantizer {
 public:
  static QjlQuantizer create(std::uint64_t d, std::uint64_t seed);

  // r.size() must equal d; returns ceil(n/8) bytes.
  Bytes quantize(std::span<const float> r) const;
  // One d-value reconstruction per (bits, gamma) item, in item order, on the worker pool.
  std::vector<std::vector<double>> dequantize_batch(
      const std::vector<std::pair<ByteView, double>>& items) const;
  // The reconstruction of one item, on the calling thread.
  std::vector<double> dequantize_one(ByteView bits, double gamma) const;

  nlohmann::json to_json() const;
  static QjlQuantizer from_json(const nlohmann::json& j);
  void encode(storage::RecordWriter& w) const;
  static QjlQuantizer decode(storage::RecordReader& r);

  std::uint64_t d = 0;
  std::uint64_t n = 0;
  std::vector<float> projection_signs;  // n entries
};

}  // namespace norvex::quantizer
