// Query preparation and the scalar scoring of stored codes against a prepared query.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/error.h"
#include "linalg/hadamard.h"
#include "quantizer/checks.h"
#include "quantizer/prod.h"

namespace norvex::quantizer {
namespace {

// sqrt(pi/2) rounded to a 32-bit float.
constexpr float kSqrtHalfPi = 1.2533141f;

// Scale of the sketch term: sqrt(pi/2) / sqrt(n). The projection is orthonormal, so each
// projected coordinate carries 1/n of a vector's energy and E[<q_proj, sign(r_proj)>] =
// sqrt(2/pi) * sqrt(n) * <q, r> / |r|; this scale makes the estimate unbiased. (sqrt(pi/2) / n
// suits a projection with unit-variance entries and would shrink the residual term by sqrt(n).)
float sketch_scale(std::size_t n) { return kSqrtHalfPi / std::sqrt(static_cast<float>(n)); }

// +q when `bit` is 1, -q when it is 0: the sign bit flipped without a branch (random sketch
// bits would defeat the branch predictor). Bit-identical to negation.
inline float signed_by(float q, unsigned bit) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(q) ^ ((bit ^ 1u) << 31));
}

// Sum over sketch positions p < n of +q_proj[p] (bit set) or -q_proj[p] (bit clear), bytes in
// order, bits 0..7 within a byte, as one 32-bit sum in that order.
float sign_sum(ByteView bits, const float* q_proj, std::size_t n) {
  float sum = 0.0f;
  const std::size_t full_bytes = std::min(bits.size(), n / 8);
  for (std::size_t byte = 0; byte < full_bytes; ++byte) {
    const unsigned v = bits[byte];
    const float* q = q_proj + 8 * byte;
    sum += signed_by(q[0], v & 1u);
    sum += signed_by(q[1], (v >> 1) & 1u);
    sum += signed_by(q[2], (v >> 2) & 1u);
    sum += signed_by(q[3], (v >> 3) & 1u);
    sum += signed_by(q[4], (v >> 4) & 1u);
    sum += signed_by(q[5], (v >> 5) & 1u);
    sum += signed_by(q[6], (v >> 6) & 1u);
    sum += signed_by(q[7], (v >> 7) & 1u);
  }
  // A last partial byte when n < 8; positions >= n are ignored.
  if (full_bytes < bits.size()) {
    const unsigned v = bits[full_bytes];
    for (std::size_t p = 8 * full_bytes; p < n; ++p) {
      sum += signed_by(q_proj[p], (v >> (p % 8)) & 1u);
    }
  }
  return sum;
}

float residual_term(ByteView bits, const std::vector<float>& q_proj, float qjl_scale, double gamma,
                    std::size_t n) {
  NVX_CHECK(q_proj.size() >= n, checks::out_of_bounds(q_proj.size(), n - 1));
  return sign_sum(bits, q_proj.data(), n) * (qjl_scale * static_cast<float>(gamma));
}

std::vector<float> to_f32(std::span<const double> v) { return {v.begin(), v.end()}; }

}  // namespace

PreparedIpQuery ProdQuantizer::prepare_ip_query(std::span<const double> query) const {
  NVX_CHECK(query.size() == d, checks::eq_failure("query.len() == d", query.size(), d));
  const std::vector<float> q = to_f32(query);
  std::vector<float> q_rot(n);
  linalg::srht(q, mse_quantizer.rotation_signs, q_rot);
  const std::vector<float>& c = mse_quantizer.centroids;
  const std::size_t k = c.size();
  PreparedIpQuery prepared;
  prepared.lut.resize(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    float* row = prepared.lut.data() + i * k;
    for (std::size_t j = 0; j < k; ++j) row[j] = q_rot[i] * c[j];
  }
  prepared.q_proj.resize(n);
  linalg::srht(q, qjl_quantizer.projection_signs, prepared.q_proj);
  prepared.n_centroids = k;
  prepared.qjl_scale = sketch_scale(n);
  prepared.q_rot = std::move(q_rot);
  return prepared;
}

double ProdQuantizer::score_ip_encoded(const PreparedIpQuery& q,
                                       std::span<const std::uint16_t> mse_indices,
                                       ByteView qjl_bits, double gamma) const {
  NVX_CHECK(mse_indices.size() >= n, checks::out_of_bounds(mse_indices.size(), n - 1));
  const std::size_t k = q.n_centroids;
  NVX_CHECK(q.lut.size() >= n * k, checks::eq_failure("lut.len() == n * k", q.lut.size(), n * k));
  float mse_part = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = mse_indices[i];
    NVX_CHECK(j < k, checks::out_of_bounds(k, j));
    mse_part += q.lut[i * k + j];
  }
  if (qjl_bits.empty()) return mse_part;
  return mse_part + residual_term(qjl_bits, q.q_proj, q.qjl_scale, gamma, n);
}

PreparedIpQueryLite ProdQuantizer::prepare_ip_query_lite(std::span<const double> query) const {
  NVX_CHECK(query.size() == d, checks::eq_failure("query.len() == d", query.size(), d));
  const std::vector<float> q = to_f32(query);
  PreparedIpQueryLite prepared;
  prepared.q_rot.resize(n);
  linalg::srht(q, mse_quantizer.rotation_signs, prepared.q_rot);
  prepared.q_proj.resize(n);
  linalg::srht(q, qjl_quantizer.projection_signs, prepared.q_proj);
  prepared.qjl_scale = sketch_scale(n);
  return prepared;
}

double ProdQuantizer::score_ip_encoded_lite(const PreparedIpQueryLite& q,
                                            std::span<const std::uint16_t> mse_indices,
                                            ByteView qjl_bits, double gamma) const {
  NVX_CHECK(mse_indices.size() >= n, checks::out_of_bounds(mse_indices.size(), n - 1));
  NVX_CHECK(q.q_rot.size() >= n, checks::out_of_bounds(q.q_rot.size(), n - 1));
  const std::vector<float>& c = mse_quantizer.centroids;
  float mse_part = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = mse_indices[i];
    NVX_CHECK(j < c.size(), checks::out_of_bounds(c.size(), j));
    mse_part += c[j] * q.q_rot[i];
  }
  // Fast-mode codes carry no sketch: skip the sign sum.
  if (gamma == 0.0 || qjl_bits.empty()) return mse_part;
  return mse_part + residual_term(qjl_bits, q.q_proj, q.qjl_scale, gamma, n);
}

PreparedIpQueryLite ProdQuantizer::prepare_ip_query_from_codes(
    std::span<const std::uint16_t> mse_indices) const {
  NVX_CHECK(mse_indices.size() >= n, checks::out_of_bounds(mse_indices.size(), n - 1));
  const std::vector<float>& c = mse_quantizer.centroids;
  PreparedIpQueryLite prepared;
  prepared.q_rot.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = mse_indices[i];
    NVX_CHECK(j < c.size(), checks::out_of_bounds(c.size(), j));
    prepared.q_rot[i] = c[j];
  }
  prepared.q_proj.assign(n, 0.0f);
  prepared.qjl_scale = sketch_scale(n);
  return prepared;
}

}  // namespace norvex::quantizer
