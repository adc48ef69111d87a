#include "quantizer/prod.h"

#include <algorithm>
#include <cmath>

#include "common/error.h"
#include "common/thread_pool.h"
#include "linalg/hadamard.h"
#include "quantizer/checks.h"
#include "quantizer/json_fields.h"

namespace norvex::quantizer {
namespace {

constexpr std::uint64_t kMinBits = 2;
constexpr std::uint64_t kMaxBits = 17;  // b - 1 bits per index must fit u16
constexpr std::uint64_t kProjectionSeedMask = 0xDEADBEEFull;

thread_local std::vector<float> t_residual;

// Vectors per worker-pool chunk: enough work per chunk to amortise the hand-off.
std::size_t batch_grain(std::uint64_t n) {
  return std::max<std::size_t>(1, 8192 / static_cast<std::size_t>(n));
}

}  // namespace

ProdQuantizer ProdQuantizer::create(std::uint64_t d, std::uint64_t b, std::uint64_t seed,
                                    bool fast_mode) {
  if (b < kMinBits) throw Error(kBitsTooSmall);
  if (b > kMaxBits) throw Error(kCodebookTooLarge);
  if (d == 0) throw Error("dimension must be at least 1");
  if (d > linalg::kMaxDim) throw Error("dimension too large");
  ProdQuantizer q;
  q.mse_quantizer = MseQuantizer::create(d, b - 1, seed);
  q.qjl_quantizer = QjlQuantizer::create(d, seed ^ kProjectionSeedMask);
  q.d = d;
  q.n = linalg::padded_dim(d);
  q.b = b;
  q.fast_mode = fast_mode;
  return q;
}

Code ProdQuantizer::quantize(std::span<const float> x) const {
  Code code;
  code.mse_indices.resize(n);
  mse_quantizer.quantize_into(x, code.mse_indices);
  if (fast_mode) {
    code.qjl_bits.assign(qjl_bytes(), 0);
    code.gamma = 0.0;
    return code;
  }
  const std::vector<double> approx = mse_quantizer.dequantize(code.mse_indices);
  std::vector<float>& residual = t_residual;
  residual.resize(d);
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double r = static_cast<double>(x[i]) - approx[i];
    sum_sq += r * r;
    residual[i] = static_cast<float>(r);
  }
  code.gamma = std::sqrt(sum_sq);
  code.qjl_bits = qjl_quantizer.quantize(residual);
  return code;
}

std::vector<Code> ProdQuantizer::quantize_batch(
    const std::vector<std::span<const float>>& xs) const {
  return parallel_map<Code>(xs.size(), batch_grain(n),
                            [&](std::size_t i) { return quantize(xs[i]); });
}

std::vector<double> ProdQuantizer::dequantize(std::span<const std::uint16_t> mse_indices,
                                              ByteView qjl_bits, double gamma) const {
  NVX_CHECK(qjl_bits.size() == qjl_bytes(),
            checks::eq_failure("qjl_bits.len() == ceil(n/8)", qjl_bits.size(), qjl_bytes()));
  std::vector<double> x = mse_quantizer.dequantize(mse_indices);
  // gamma == 0 (fast mode) scales the residual to zero: nothing to add.
  if (gamma == 0.0) return x;
  const std::vector<double> residual = qjl_quantizer.dequantize_one(qjl_bits, gamma);
  for (std::size_t i = 0; i < d; ++i) x[i] += residual[i];
  return x;
}

void ProdQuantizer::dequantize_packed_into(ByteView packed, ByteView qjl_bits, double gamma,
                                           std::span<double> out) const {
  NVX_CHECK(out.size() == d, checks::eq_failure("out.len() == d", out.size(), d));
  NVX_CHECK(qjl_bits.size() == qjl_bytes(),
            checks::eq_failure("qjl_bits.len() == ceil(n/8)", qjl_bits.size(), qjl_bytes()));
  thread_local std::vector<std::uint16_t> t_indices;
  thread_local std::vector<float> t_in;
  thread_local std::vector<float> t_out;
  t_indices.resize(n);
  t_in.resize(n);
  t_out.resize(d);
  unpack_mse_indices(packed, t_indices);
  const std::vector<float>& c = mse_quantizer.centroids;
  for (std::size_t i = 0; i < n; ++i) {
    NVX_CHECK(t_indices[i] < c.size(), checks::out_of_bounds(c.size(), t_indices[i]));
    t_in[i] = c[t_indices[i]];
  }
  linalg::srht_inverse(t_in, mse_quantizer.rotation_signs, t_out);
  for (std::size_t i = 0; i < d; ++i) out[i] = t_out[i];
  // gamma == 0 (fast mode) scales the residual to zero: nothing to add.
  if (gamma == 0.0) return;
  // The residual as QjlQuantizer::dequantize_one computes it.
  for (std::size_t i = 0; i < n; ++i) {
    t_in[i] = (qjl_bits[i / 8] >> (i % 8)) & 1u ? 1.0f : -1.0f;
  }
  linalg::srht_inverse(t_in, qjl_quantizer.projection_signs, t_out);
  const float nf = static_cast<float>(n);
  const float scale = std::sqrt(3.1415927f / (nf + nf));
  const double factor = static_cast<double>(scale * static_cast<float>(gamma));
  for (std::size_t i = 0; i < d; ++i) out[i] += factor * static_cast<double>(t_out[i]);
}

std::vector<std::vector<double>> ProdQuantizer::dequantize_batch(
    const std::vector<CodeView>& codes) const {
  return parallel_map<std::vector<double>>(codes.size(), batch_grain(n), [&](std::size_t i) {
    return dequantize(codes[i].mse_indices, codes[i].qjl_bits, codes[i].gamma);
  });
}

std::size_t ProdQuantizer::packed_mse_bytes() const {
  const std::uint64_t w = b - 1;
  if (w == 8) return static_cast<std::size_t>(n);
  return static_cast<std::size_t>((n * w + 7) / 8);
}

std::size_t ProdQuantizer::qjl_bytes() const { return static_cast<std::size_t>((n + 7) / 8); }

Bytes ProdQuantizer::pack_mse_indices(std::span<const std::uint16_t> mse_indices) const {
  const unsigned w = static_cast<unsigned>(b - 1);
  if (w == 8) {
    Bytes out(mse_indices.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<std::uint8_t>(mse_indices[i]);
    }
    return out;
  }
  NVX_CHECK(mse_indices.size() >= n, checks::out_of_bounds(mse_indices.size(), n - 1));
  Bytes out(packed_mse_bytes(), 0);
  const std::uint32_t mask = (1u << w) - 1;
  std::size_t first = 0;
  if (w < 8 && n % 8 == 0) {
    // Eight indices fill exactly w bytes: gather them in one word, store its low w bytes.
    std::uint8_t* dst = out.data();
    for (; first < n; first += 8, dst += w) {
      std::uint64_t group = 0;
      for (unsigned j = 0; j < 8; ++j) {
        group |= static_cast<std::uint64_t>(mse_indices[first + j] & mask) << (j * w);
      }
      for (unsigned byte = 0; byte < w; ++byte)
        dst[byte] = static_cast<std::uint8_t>(group >> (8 * byte));
    }
    return out;
  }
  std::uint64_t acc = 0;  // pending bits, least significant first
  unsigned pending = 0;
  std::size_t pos = 0;
  for (std::size_t i = first; i < n; ++i) {
    acc |= static_cast<std::uint64_t>(mse_indices[i] & mask) << pending;
    pending += w;
    while (pending >= 8) {
      out[pos++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      pending -= 8;
    }
  }
  if (pending > 0) out[pos] = static_cast<std::uint8_t>(acc);
  return out;
}

void ProdQuantizer::unpack_mse_indices(ByteView packed, std::span<std::uint16_t> out) const {
  const unsigned w = static_cast<unsigned>(b - 1);
  if (w == 8) {
    const std::size_t m = std::min(packed.size(), out.size());
    for (std::size_t i = 0; i < m; ++i) out[i] = packed[i];
    return;
  }
  NVX_CHECK(out.size() >= n, checks::out_of_bounds(out.size(), n - 1));
  NVX_CHECK(packed.size() >= packed_mse_bytes(),
            checks::out_of_bounds(packed.size(), packed_mse_bytes() - 1));
  const std::uint32_t mask = (1u << w) - 1;
  const std::uint8_t* p = packed.data();
  const std::size_t size = packed.size();
  // An index spans at most three bytes (w <= 16, offset <= 7): read four at once while they
  // are all inside the buffer, byte by byte near its end.
  std::size_t i = 0;
  if (size >= 4) {
    const std::size_t fast = std::min<std::size_t>(n, ((size - 4) * 8) / w + 1);
    for (std::size_t bit = 0; i < fast; ++i, bit += w) {
      out[i] =
          static_cast<std::uint16_t>((load_le<std::uint32_t>(p + bit / 8) >> (bit % 8)) & mask);
    }
  }
  for (; i < n; ++i) {
    const std::size_t bit = i * w;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3 && bit / 8 + k < size; ++k) {
      v |= static_cast<std::uint32_t>(p[bit / 8 + k]) << (8 * k);
    }
    out[i] = static_cast<std::uint16_t>((v >> (bit % 8)) & mask);
  }
}

std::string ProdQuantizer::invalid_reason() const {
  if (b < kMinBits || b > kMaxBits) return "b=" + std::to_string(b) + " is outside 2..17";
  if (std::string why = checks::dims_problem(d, n); !why.empty()) return why;
  if (mse_quantizer.d != d || mse_quantizer.n != n || mse_quantizer.b != b - 1) {
    return "mse_quantizer (d=" + std::to_string(mse_quantizer.d) +
           ", n=" + std::to_string(mse_quantizer.n) + ", b=" + std::to_string(mse_quantizer.b) +
           ") does not fit d=" + std::to_string(d) + ", b=" + std::to_string(b);
  }
  if (qjl_quantizer.d != d || qjl_quantizer.n != n) {
    return "qjl_quantizer (d=" + std::to_string(qjl_quantizer.d) +
           ", n=" + std::to_string(qjl_quantizer.n) + ") does not fit d=" + std::to_string(d);
  }
  if (std::string why = mse_quantizer.invalid_reason(); !why.empty())
    return "mse_quantizer: " + why;
  if (std::string why = qjl_quantizer.invalid_reason(); !why.empty())
    return "qjl_quantizer: " + why;
  return {};
}

nlohmann::ordered_json ProdQuantizer::to_json() const {
  nlohmann::ordered_json j;
  j["d"] = d;
  j["n"] = n;
  j["b"] = b;
  j["mse_quantizer"] = mse_quantizer.to_json();
  j["qjl_quantizer"] = qjl_quantizer.to_json();
  j["fast_mode"] = fast_mode;
  return j;
}

ProdQuantizer ProdQuantizer::from_json(const nlohmann::json& j) {
  ProdQuantizer q;
  q.d = json_fields::get_u64(j, "d");
  q.n = json_fields::get_u64(j, "n");
  q.b = json_fields::get_u64(j, "b");
  q.mse_quantizer = MseQuantizer::from_json(json_fields::require(j, "mse_quantizer"));
  q.qjl_quantizer = QjlQuantizer::from_json(json_fields::require(j, "qjl_quantizer"));
  const auto fast = j.find("fast_mode");
  q.fast_mode = fast != j.end() && json_fields::get_bool(*fast, "fast_mode");
  if (std::string why = q.invalid_reason(); !why.empty()) {
    throw Error("invalid quantizer: " + why);
  }
  return q;
}

void ProdQuantizer::encode(storage::RecordWriter& w) const {
  w.put_u64(d);
  w.put_u64(n);
  w.put_u64(b);
  mse_quantizer.encode(w);
  qjl_quantizer.encode(w);
  w.put_bool(fast_mode);
}

Bytes ProdQuantizer::encode() const {
  storage::RecordWriter w;
  encode(w);
  return w.take();
}

ProdQuantizer ProdQuantizer::decode(storage::RecordReader& r) {
  ProdQuantizer q;
  q.d = r.get_u64();
  q.n = r.get_u64();
  q.b = r.get_u64();
  q.mse_quantizer = MseQuantizer::decode(r);
  q.qjl_quantizer = QjlQuantizer::decode(r);
  q.fast_mode = r.get_bool();
  if (std::string why = q.invalid_reason(); !why.empty()) {
    throw storage::DecodeError("invalid quantizer record: " + why);
  }
  return q;
}

ProdQuantizer ProdQuantizer::decode(ByteView bytes) {
  storage::RecordReader r(bytes);
  return decode(r);
}

}  // namespace norvex::quantizer
