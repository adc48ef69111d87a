// The product quantizer an open database owns: b - 1 bits per padded coordinate for the
// scalar (MSE) code, 1 bit for the sign sketch of its residual, plus the residual norm gamma.
//
// Code of one vector: n u16 indices (stored packed, see pack_mse_indices), ceil(n/8) sign
// bytes, gamma. Packed indices with w = b - 1 bits: w == 8 -> one byte per index; otherwise
// ceil(n*w/8) bytes of one little-endian bit stream, index i at bit positions i*w .. i*w+w-1,
// least significant bit first, trailing bits 0.
//
// Immutable once created or loaded; share it as std::shared_ptr<const ProdQuantizer>.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/bytes.h"
#include "quantizer/mse.h"
#include "quantizer/qjl.h"
#include "storage/encoding.h"

namespace norvex::quantizer {

struct Code {
  std::vector<std::uint16_t> mse_indices;  // n entries
  Bytes qjl_bits;                          // ceil(n/8) bytes
  double gamma = 0.0;
};

struct PreparedIpQuery {
  std::vector<float> lut;     // n * k: lut[i*k + j] = q_rot[i] * c[j]
  std::vector<float> q_proj;  // n
  std::uint64_t n_centroids = 0;
  float qjl_scale = 0.0f;  // 1.2533141f / n
};

struct PreparedIpQueryLite {
  std::vector<float> q_rot;   // n
  std::vector<float> q_proj;  // n
  float qjl_scale = 0.0f;
};

class ProdQuantizer {
 public:
  // Throws Error "ProdQuantizer requires at least b=2" for b < 2 and
  // "codebook too large for u16 indices; reduce bits" for b > 17, before any codebook work.
  static ProdQuantizer create(std::uint64_t d, std::uint64_t b, std::uint64_t seed,
                              bool fast_mode);

  // x.size() must equal d (a Fault otherwise: callers check the dimension first).
  Code quantize(std::span<const float> x) const;
  // Encodes on the worker pool; results in input order.
  std::vector<Code> quantize_batch(const std::vector<std::span<const float>>& xs) const;

  std::vector<double> dequantize(std::span<const std::uint16_t> mse_indices, ByteView qjl_bits,
                                 double gamma) const;
  struct CodeView {
    std::span<const std::uint16_t> mse_indices;
    ByteView qjl_bits;
    double gamma = 0.0;
  };
  // Reconstructs on the worker pool; results in input order.
  std::vector<std::vector<double>> dequantize_batch(const std::vector<CodeView>& codes) const;

  // Packs the first n indices (at least n must be given).
  Bytes pack_mse_indices(std::span<const std::uint16_t> mse_indices) const;
  // Fills out[0..n) from packed bytes (out.size() >= n; packed must hold packed_mse_bytes()).
  void unpack_mse_indices(ByteView packed, std::span<std::uint16_t> out) const;

  PreparedIpQuery prepare_ip_query(std::span<const double> query) const;
  double score_ip_encoded(const PreparedIpQuery& q, std::span<const std::uint16_t> mse_indices,
                          ByteView qjl_bits, double gamma) const;
  PreparedIpQueryLite prepare_ip_query_lite(std::span<const double> query) const;
  double score_ip_encoded_lite(const PreparedIpQueryLite& q,
                               std::span<const std::uint16_t> mse_indices, ByteView qjl_bits,
                               double gamma) const;
  PreparedIpQueryLite prepare_ip_query_from_codes(
      std::span<const std::uint16_t> mse_indices) const;

  // Bytes of the packed indices: ceil(n*(b-1)/8) (n when b - 1 == 8).
  std::size_t packed_mse_bytes() const;
  // Bytes of the sign sketch: ceil(n/8).
  std::size_t qjl_bytes() const;

  // JSON form {"d","n","b","mse_quantizer","qjl_quantizer","fast_mode"}; "fast_mode" may be
  // absent on reading.
  nlohmann::json to_json() const;
  static ProdQuantizer from_json(const nlohmann::json& j);
  // Binary record: d, n, b (u64), MseQuantizer record, QjlQuantizer record, fast_mode (u8).
  void encode(storage::RecordWriter& w) const;
  Bytes encode() const;
  static ProdQuantizer decode(storage::RecordReader& r);
  static ProdQuantizer decode(ByteView bytes);

  std::uint64_t d = 0;
  std::uint64_t n = 0;
  std::uint64_t b = 0;
  MseQuantizer mse_quantizer;
  QjlQuantizer qjl_quantizer;
  bool fast_mode = false;
};

}  // namespace norvex::quantizer
