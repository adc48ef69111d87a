#include "quantizer/mse.h"

#include <algorithm>
#include <cmath>

#include "common/error.h"
#include "linalg/hadamard.h"
#include "quantizer/checks.h"
#include "quantizer/codebook.h"
#include "quantizer/json_fields.h"
#include "quantizer/levels.h"

namespace norvex::quantizer {
namespace {

constexpr std::uint64_t kMaxBits = 16;

// Per-thread buffers so that batch encoding and reconstruction do not allocate per vector.
thread_local std::vector<float> t_rotated;
thread_local std::vector<float> t_levels;

std::span<float> scratch(std::vector<float>& buf, std::size_t n) {
  if (buf.size() < n) buf.resize(n);
  return {buf.data(), n};
}

// The level search of every coordinate, for the common level counts, in copies for the CPU's
// widest vectors chosen at load time (the comparisons are exact in any width).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define NVX_LEVEL_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define NVX_LEVEL_CLONES
#endif
#define NVX_NEAREST_LEVELS(K)                                                             \
  NVX_LEVEL_CLONES void nearest_levels_##K(const float* c, const float* y, std::size_t n, \
                                           std::uint16_t* out) {                          \
    levels::nearest_levels<K>(c, y, n, out);                                              \
  }
NVX_NEAREST_LEVELS(2)
NVX_NEAREST_LEVELS(4)
NVX_NEAREST_LEVELS(8)
NVX_NEAREST_LEVELS(16)
#undef NVX_NEAREST_LEVELS

}  // namespace

MseQuantizer MseQuantizer::create(std::uint64_t d, std::uint64_t b, std::uint64_t seed) {
  if (b > kMaxBits) throw Error(kCodebookTooLarge);
  MseQuantizer q;
  q.d = d;
  q.n = linalg::padded_dim(d);
  q.b = b;
  q.rotation_signs = linalg::random_sign_vector(q.n, seed);
  const std::vector<double> levels =
      lloyd_max(static_cast<unsigned>(b), static_cast<std::size_t>(q.n), kCodebookGridPoints);
  q.centroids.assign(levels.begin(), levels.end());
  return q;
}

std::vector<std::uint16_t> MseQuantizer::quantize(std::span<const float> x) const {
  std::vector<std::uint16_t> out(n);
  quantize_into(x, out);
  return out;
}

void MseQuantizer::quantize_into(std::span<const float> x, std::span<std::uint16_t> out) const {
  NVX_CHECK(x.size() == d, checks::eq_failure("x.len() == d", x.size(), d));
  NVX_CHECK(out.size() == n, checks::eq_failure("out.len() == n", out.size(), n));
  const std::span<float> y = scratch(t_rotated, n);
  linalg::srht(x, rotation_signs, y);
  const float* c = centroids.data();
  const std::size_t k = centroids.size();
  switch (k) {
    case 2:
      return nearest_levels_2(c, y.data(), n, out.data());
    case 4:
      return nearest_levels_4(c, y.data(), n, out.data());
    case 8:
      return nearest_levels_8(c, y.data(), n, out.data());
    case 16:
      return nearest_levels_16(c, y.data(), n, out.data());
    default:
      for (std::size_t i = 0; i < n; ++i) out[i] = levels::nearest_level(c, k, y[i]);
  }
}

std::vector<double> MseQuantizer::dequantize(std::span<const std::uint16_t> indices) const {
  NVX_CHECK(indices.size() == n, checks::eq_failure("indices.len() == n", indices.size(), n));
  const std::span<float> z = scratch(t_levels, n);
  const std::size_t k = centroids.size();
  for (std::size_t i = 0; i < n; ++i) {
    NVX_CHECK(indices[i] < k, checks::out_of_bounds(k, indices[i]));
    z[i] = centroids[indices[i]];
  }
  const std::span<float> x = scratch(t_rotated, d);
  linalg::srht_inverse(z, rotation_signs, x);
  return std::vector<double>(x.begin(), x.end());
}

std::string MseQuantizer::invalid_reason() const {
  if (std::string why = checks::dims_problem(d, n); !why.empty()) return why;
  if (b > kMaxBits) return "b=" + std::to_string(b) + " exceeds 16 bits per index";
  if (std::string why = checks::signs_problem("rotation_signs", rotation_signs, n); !why.empty()) {
    return why;
  }
  const std::uint64_t levels = std::uint64_t{1} << b;
  if (centroids.size() != levels) {
    return "centroids has " + std::to_string(centroids.size()) + " entries, expected " +
           std::to_string(levels);
  }
  for (std::size_t j = 0; j < centroids.size(); ++j) {
    if (!std::isfinite(centroids[j]) || (j > 0 && centroids[j] < centroids[j - 1])) {
      return "centroids are not finite and ascending";
    }
  }
  return {};
}

nlohmann::ordered_json MseQuantizer::to_json() const {
  nlohmann::ordered_json j;
  j["d"] = d;
  j["n"] = n;
  j["b"] = b;
  j["rotation_signs"] = rotation_signs;
  j["centroids"] = centroids;
  return j;
}

MseQuantizer MseQuantizer::from_json(const nlohmann::json& j) {
  MseQuantizer q;
  q.d = json_fields::get_u64(j, "d");
  q.n = json_fields::get_u64(j, "n");
  q.b = json_fields::get_u64(j, "b");
  q.rotation_signs = json_fields::get_f32_array(j, "rotation_signs");
  q.centroids = json_fields::get_f32_array(j, "centroids");
  if (std::string why = q.invalid_reason(); !why.empty()) {
    throw Error("invalid MSE quantizer: " + why);
  }
  return q;
}

void MseQuantizer::encode(storage::RecordWriter& w) const {
  w.put_u64(d);
  w.put_u64(n);
  w.put_u64(b);
  w.put_f32_seq(rotation_signs);
  w.put_f32_seq(centroids);
}

MseQuantizer MseQuantizer::decode(storage::RecordReader& r) {
  MseQuantizer q;
  q.d = r.get_u64();
  q.n = r.get_u64();
  q.b = r.get_u64();
  q.rotation_signs = r.get_f32_seq();
  q.centroids = r.get_f32_seq();
  if (std::string why = q.invalid_reason(); !why.empty()) {
    throw storage::DecodeError("invalid MSE quantizer record: " + why);
  }
  return q;
}

}  // namespace norvex::quantizer
