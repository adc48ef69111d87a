// The product quantizer an open database owns: b - 1 bits per padded coordinate for the
// scalar (MSE) code, 1 bit for the sign sketch of its residual, plus the residual norm gamma.
//
// Code of one vector: n u16 indices (stored packed, see pack_mse_indices), ceil(n/8) sign
// bytes, gamma. Packed indices with w = b - 1 bits: w == 8 -> one byte per index; otherwise
// ceil(n*w/8) bytes of one little-endian bit stream, index i at bit positions i*w .. i*w+w-1,
// least significant bit first, trailing bits 0.
//
// Binary record (quantizer.bin):
//   d u64 | n u64 | b u64 | MseQuantizer record | QjlQuantizer record | fast_mode u8 (0/1)
// JSON: {"d", "n", "b", "mse_quantizer", "qjl_quantizer", "fast_mode"} in that order.
//
// Immutable once created or loaded; share it as std::shared_ptr<const ProdQuantizer>. Every
// operation may run concurrently with any other.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "quantizer/mse.h"
#include "quantizer/qjl.h"
#include "storage/encoding.h"

namespace norvex::quantizer {

inline constexpr const char* kBitsTooSmall = "ProdQuantizer requires at least b=2";

struct Code {
  std::vector<std::uint16_t> mse_indices;  // n entries
  Bytes qjl_bits;                          // ceil(n/8) bytes
  double gamma = 0.0;
};

// A query prepared for scoring many codes: the MSE part becomes n table look-ups.
struct PreparedIpQuery {
  std::vector<float> lut;     // n * k: lut[i*k + j] = q_rot[i] * c[j]
  std::vector<float> q_proj;  // n
  std::uint64_t n_centroids = 0;
  float qjl_scale = 0.0f;  // 1.2533141f / sqrt(n)
  // The rotated query the table was built from (n; may be empty: only the fast scan's
  // one-record kernel reads it).
  std::vector<float> q_rot;
};

// The same without the n * k table (graph construction prepares one per node).
struct PreparedIpQueryLite {
  std::vector<float> q_rot;   // n
  std::vector<float> q_proj;  // n
  float qjl_scale = 0.0f;
};

class ProdQuantizer {
 public:
  // Throws Error kBitsTooSmall for b < 2, kCodebookTooLarge for b > 17 (both before any
  // codebook work), "dimension must be at least 1" for d == 0 and "dimension too large" for
  // d > kMaxDim.
  static ProdQuantizer create(std::uint64_t d, std::uint64_t b, std::uint64_t seed, bool fast_mode);

  // x.size() must equal d (a Fault otherwise: callers check the dimension first). Fast mode
  // returns zero sign bytes and gamma 0.
  Code quantize(std::span<const float> x) const;
  // Encodes on the worker pool; results in input order. The spans must stay valid for the call.
  std::vector<Code> quantize_batch(const std::vector<std::span<const float>>& xs) const;

  // mse_indices: n indices below the level count; qjl_bits: ceil(n/8) bytes. Returns d values:
  // the MSE reconstruction plus the reconstructed residual (nothing to add when gamma == 0).
  std::vector<double> dequantize(std::span<const std::uint16_t> mse_indices, ByteView qjl_bits,
                                 double gamma) const;
  struct CodeView {
    std::span<const std::uint16_t> mse_indices;
    ByteView qjl_bits;
    double gamma = 0.0;
  };
  // dequantize of a stored code, straight from its packed indices, into out (d values): the
  // same bits as dequantize(unpack_mse_indices(packed), qjl_bits, gamma), without allocating
  // (the calling thread's scratch buffers hold the levels and signs). packed holds
  // packed_mse_bytes(), qjl_bits qjl_bytes().
  void dequantize_packed_into(ByteView packed, ByteView qjl_bits, double gamma,
                              std::span<double> out) const;
  // Reconstructs on the worker pool; results in input order.
  std::vector<std::vector<double>> dequantize_batch(const std::vector<CodeView>& codes) const;

  // Packs the first n indices (at least n must be given), each masked to b - 1 bits. With
  // b - 1 == 8 every given index becomes one byte.
  Bytes pack_mse_indices(std::span<const std::uint16_t> mse_indices) const;
  // Fills out[0..n) from packed bytes (out.size() >= n; packed must hold packed_mse_bytes()).
  // With b - 1 == 8 copies min(packed.size(), out.size()) bytes instead.
  void unpack_mse_indices(ByteView packed, std::span<std::uint16_t> out) const;

  // query.size() must equal d. The prepared query is only valid with this quantizer.
  PreparedIpQuery prepare_ip_query(std::span<const double> query) const;
  // Estimated inner product of the prepared query with an encoded vector. mse_indices needs at
  // least n entries below the level count; empty qjl_bits scores the MSE part alone; sketch
  // positions >= n are ignored. The plain scalar reference: a fast scan must match it.
  double score_ip_encoded(const PreparedIpQuery& q, std::span<const std::uint16_t> mse_indices,
                          ByteView qjl_bits, double gamma) const;
  PreparedIpQueryLite prepare_ip_query_lite(std::span<const double> query) const;
  // As score_ip_encoded, from the rotated query; gamma == 0 skips the sign sum.
  double score_ip_encoded_lite(const PreparedIpQueryLite& q,
                               std::span<const std::uint16_t> mse_indices, ByteView qjl_bits,
                               double gamma) const;
  // A lite query standing for a stored code (its levels, zero projection), so scoring compares
  // two codes by their MSE parts.
  PreparedIpQueryLite prepare_ip_query_from_codes(std::span<const std::uint16_t> mse_indices) const;

  // Bytes of the packed indices: ceil(n*(b-1)/8) (n when b - 1 == 8).
  std::size_t packed_mse_bytes() const;
  // Bytes of the sign sketch: ceil(n/8).
  std::size_t qjl_bytes() const;

  // Empty when every field is consistent (b in 2..17, 1 <= d <= kMaxDim, n == padded_dim(d),
  // both sub-quantizers valid and built for this d, n and b - 1); otherwise the reason.
  std::string invalid_reason() const;

  // JSON form with keys in the order above (nlohmann::ordered_json; converts implicitly to
  // nlohmann::json, which then sorts the keys). The reader requires every key but "fast_mode"
  // (absent -> false), throws Error "missing field `<name>`" otherwise, and validates.
  nlohmann::ordered_json to_json() const;
  static ProdQuantizer from_json(const nlohmann::json& j);
  // Binary record, layout above.
  void encode(storage::RecordWriter& w) const;
  Bytes encode() const;
  // Decodes one record from the front of the input (trailing bytes are not examined). A short,
  // corrupt or inconsistent record throws DecodeError; nothing is allocated beyond the input's
  // size.
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
