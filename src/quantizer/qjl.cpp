#include "quantizer/qjl.h"

#include <cmath>

#include "common/error.h"
#include "common/thread_pool.h"
#include "linalg/hadamard.h"
#include "quantizer/checks.h"
#include "quantizer/json_fields.h"

namespace norvex::quantizer {
namespace {

thread_local std::vector<float> t_projected;

std::span<float> scratch(std::vector<float>& buf, std::size_t n) {
  if (buf.size() < n) buf.resize(n);
  return {buf.data(), n};
}

}  // namespace

QjlQuantizer QjlQuantizer::create(std::uint64_t d, std::uint64_t seed) {
  QjlQuantizer q;
  q.d = d;
  q.n = linalg::padded_dim(d);
  q.projection_signs = linalg::random_sign_vector(q.n, seed);
  return q;
}

Bytes QjlQuantizer::quantize(std::span<const float> r) const {
  NVX_CHECK(r.size() == d, checks::eq_failure("r.len() == d", r.size(), d));
  const std::span<float> p = scratch(t_projected, n);
  linalg::srht(r, projection_signs, p);
  Bytes bits(sketch_bytes(), 0);
  // A byte at a time from eight comparisons (vectorises; a read-modify-write per bit does not).
  const std::size_t full = n / 8;
  for (std::size_t byte = 0; byte < full; ++byte) {
    const float* q = p.data() + 8 * byte;
    unsigned v = 0;
    for (unsigned bit = 0; bit < 8; ++bit) v |= static_cast<unsigned>(q[bit] >= 0.0f) << bit;
    bits[byte] = static_cast<std::uint8_t>(v);
  }
  for (std::size_t i = 8 * full; i < n; ++i) {
    if (p[i] >= 0.0f) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return bits;
}

std::vector<double> QjlQuantizer::dequantize_one(ByteView bits, double gamma) const {
  NVX_CHECK(bits.size() == sketch_bytes(),
            checks::eq_failure("qjl_bits.len() == ceil(n/8)", bits.size(), sketch_bytes()));
  std::vector<float> signs(n);
  for (std::size_t i = 0; i < n; ++i) signs[i] = (bits[i / 8] >> (i % 8)) & 1u ? 1.0f : -1.0f;
  const std::span<float> u = scratch(t_projected, d);
  linalg::srht_inverse(signs, projection_signs, u);
  const float nf = static_cast<float>(n);
  const float c = std::sqrt(3.1415927f / (nf + nf));
  const float factor = c * static_cast<float>(gamma);
  std::vector<double> out(d);
  for (std::size_t i = 0; i < d; ++i)
    out[i] = static_cast<double>(factor) * static_cast<double>(u[i]);
  return out;
}

std::vector<std::vector<double>> QjlQuantizer::dequantize_batch(
    const std::vector<std::pair<ByteView, double>>& items) const {
  std::vector<std::vector<double>> out(items.size());
  parallel_for(items.size(), 1,
               [&](std::size_t i) { out[i] = dequantize_one(items[i].first, items[i].second); });
  return out;
}

std::string QjlQuantizer::invalid_reason() const {
  if (std::string why = checks::dims_problem(d, n); !why.empty()) return why;
  return checks::signs_problem("projection_signs", projection_signs, n);
}

nlohmann::ordered_json QjlQuantizer::to_json() const {
  nlohmann::ordered_json j;
  j["d"] = d;
  j["n"] = n;
  j["projection_signs"] = projection_signs;
  return j;
}

QjlQuantizer QjlQuantizer::from_json(const nlohmann::json& j) {
  QjlQuantizer q;
  q.d = json_fields::get_u64(j, "d");
  q.n = json_fields::get_u64(j, "n");
  q.projection_signs = json_fields::get_f32_array(j, "projection_signs");
  if (std::string why = q.invalid_reason(); !why.empty()) {
    throw Error("invalid QJL quantizer: " + why);
  }
  return q;
}

void QjlQuantizer::encode(storage::RecordWriter& w) const {
  w.put_u64(d);
  w.put_u64(n);
  w.put_f32_seq(projection_signs);
}

QjlQuantizer QjlQuantizer::decode(storage::RecordReader& r) {
  QjlQuantizer q;
  q.d = r.get_u64();
  q.n = r.get_u64();
  q.projection_signs = r.get_f32_seq();
  if (std::string why = q.invalid_reason(); !why.empty()) {
    throw storage::DecodeError("invalid QJL quantizer record: " + why);
  }
  return q;
}

}  // namespace norvex::quantizer
