#include "quantizer/prod.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/error.h"
#include "linalg/hadamard.h"

namespace norvex::quantizer {
namespace {

std::vector<float> random_unit(std::size_t d, std::mt19937& rng) {
  std::normal_distribution<float> gauss;
  std::vector<float> x(d);
  double sq = 0;
  for (float& v : x) {
    v = gauss(rng);
    sq += double(v) * v;
  }
  for (float& v : x) v = static_cast<float>(v / std::sqrt(sq));
  return x;
}

// Packing reads only n and b: skip the codebook fit, which is slow for wide codebooks.
ProdQuantizer packing_layout(std::uint64_t d, std::uint64_t b) {
  ProdQuantizer q;
  q.d = d;
  q.n = linalg::padded_dim(d);
  q.b = b;
  return q;
}

std::vector<double> widen(const std::vector<float>& x) { return {x.begin(), x.end()}; }

TEST(ProdQuantizer, CreateRefusesBadBitWidthsBeforeAnyWork) {
  struct Case {
    std::uint64_t b;
    const char* message;
  };
  const Case cases[] = {
      {0, "ProdQuantizer requires at least b=2"},
      {1, "ProdQuantizer requires at least b=2"},
      {18, "codebook too large for u16 indices; reduce bits"},
      {65, "codebook too large for u16 indices; reduce bits"},
      {~0ull, "codebook too large for u16 indices; reduce bits"},
  };
  for (const auto& c : cases) {
    for (bool fast : {false, true}) {
      try {
        ProdQuantizer::create(8, c.b, 42, fast);
        ADD_FAILURE() << "b=" << c.b << " accepted";
      } catch (const Error& e) {
        EXPECT_STREQ(e.what(), c.message) << "b=" << c.b;
      }
    }
  }
}

TEST(ProdQuantizer, SeventeenBitsIsTheWidestCodebook) {
  const ProdQuantizer q = ProdQuantizer::create(2, 17, 42, false);
  EXPECT_EQ(q.mse_quantizer.centroids.size(), 65536u);
  EXPECT_EQ(q.invalid_reason(), "");
}

TEST(ProdQuantizer, CreateRefusesZeroAndAbsurdDimensions) {
  EXPECT_THROW(ProdQuantizer::create(0, 4, 42, false), Error);
  EXPECT_THROW(ProdQuantizer::create(std::uint64_t{1} << 40, 4, 42, false), Error);
}

TEST(ProdQuantizer, SameSeedSameQuantizerAndIndependentProjection) {
  const ProdQuantizer a = ProdQuantizer::create(50, 4, 7, false);
  const ProdQuantizer b = ProdQuantizer::create(50, 4, 7, false);
  EXPECT_EQ(a.mse_quantizer.rotation_signs, b.mse_quantizer.rotation_signs);
  EXPECT_EQ(a.mse_quantizer.centroids, b.mse_quantizer.centroids);
  EXPECT_EQ(a.qjl_quantizer.projection_signs, b.qjl_quantizer.projection_signs);
  EXPECT_EQ(a.mse_quantizer.b, 3u);
  EXPECT_EQ(a.mse_quantizer.centroids.size(), 8u);
  EXPECT_EQ(a.qjl_quantizer.projection_signs, linalg::random_sign_vector(64, 7 ^ 0xDEADBEEFull));
  EXPECT_NE(a.qjl_quantizer.projection_signs, a.mse_quantizer.rotation_signs);
}

TEST(ProdQuantizer, CodeLayoutForDimThreeFourBits) {
  const ProdQuantizer q = ProdQuantizer::create(3, 4, 42, false);
  EXPECT_EQ(q.n, 4u);
  const Code code = q.quantize(std::vector<float>{0.6f, -0.8f, 0.0f});
  EXPECT_EQ(code.mse_indices.size(), 4u);
  EXPECT_EQ(code.qjl_bits.size(), 1u);
  EXPECT_EQ(q.pack_mse_indices(code.mse_indices).size(), 2u);
  EXPECT_EQ(q.packed_mse_bytes(), 2u);
  EXPECT_EQ(q.qjl_bytes(), 1u);
}

TEST(PackMseIndices, BitStreamLayout) {
  struct Case {
    std::uint64_t d, b;
    std::vector<std::uint16_t> indices;
    Bytes packed;
  };
  const Case cases[] = {
      {8, 4, {1, 2, 3, 4, 5, 6, 7, 0}, {0xD1, 0x58, 0x1F}},
      {4, 10, {0x1FF, 0, 0x155, 0x0AA}, {0xFF, 0x01, 0x54, 0x55, 0x05}},
      {4, 9, {0xFF, 0x00, 0x80, 0x7F}, {0xFF, 0x00, 0x80, 0x7F}},
      {3, 2, {1, 0, 1, 1}, {0x0D}},
  };
  for (const auto& c : cases) {
    const ProdQuantizer q = packing_layout(c.d, c.b);
    EXPECT_EQ(q.pack_mse_indices(c.indices), c.packed) << "b=" << c.b;
    std::vector<std::uint16_t> out(q.n);
    q.unpack_mse_indices(c.packed, out);
    EXPECT_EQ(out, c.indices) << "b=" << c.b;
  }
}

TEST(PackMseIndices, RoundTripsEveryWidth) {
  std::mt19937 rng(17);
  for (std::uint64_t b = 2; b <= 17; ++b) {
    const std::uint64_t w = b - 1;
    for (std::uint64_t d : {1u, 3u, 5u, 13u, 100u, 1000u}) {
      const ProdQuantizer q = packing_layout(d, b);
      std::uniform_int_distribution<int> level(0, (1 << w) - 1);
      std::vector<std::uint16_t> indices(q.n);
      for (auto& v : indices) v = static_cast<std::uint16_t>(level(rng));
      const Bytes packed = q.pack_mse_indices(indices);
      const std::size_t want_bytes = w == 8 ? q.n : (q.n * w + 7) / 8;
      ASSERT_EQ(packed.size(), want_bytes) << "b=" << b << " d=" << d;
      ASSERT_EQ(q.packed_mse_bytes(), want_bytes);
      const std::size_t used_bits = q.n * w;
      if (used_bits % 8 != 0) {
        EXPECT_EQ(packed.back() >> (used_bits % 8), 0) << "trailing bits, b=" << b << " d=" << d;
      }
      std::vector<std::uint16_t> out(q.n, 0xFFFF);
      q.unpack_mse_indices(packed, out);
      EXPECT_EQ(out, indices) << "b=" << b << " d=" << d;
    }
  }
}

TEST(PackMseIndices, ShortBuffersFault) {
  const ProdQuantizer q = packing_layout(8, 4);
  std::vector<std::uint16_t> out(8);
  EXPECT_THROW(q.unpack_mse_indices(Bytes(2, 0), out), Fault);
  std::vector<std::uint16_t> short_out(7);
  EXPECT_THROW(q.unpack_mse_indices(Bytes(3, 0), short_out), Fault);
  EXPECT_THROW(q.pack_mse_indices(std::vector<std::uint16_t>(7)), Fault);
}

TEST(ProdQuantizer, FastModeSkipsTheSketch) {
  const ProdQuantizer fast = ProdQuantizer::create(40, 4, 42, true);
  const ProdQuantizer full = ProdQuantizer::create(40, 4, 42, false);
  std::mt19937 rng(4);
  const std::vector<float> x = random_unit(40, rng);
  const Code code = fast.quantize(x);
  EXPECT_EQ(code.qjl_bits, Bytes(8, 0));
  EXPECT_EQ(code.gamma, 0.0);
  EXPECT_EQ(code.mse_indices, full.quantize(x).mse_indices);
  EXPECT_EQ(fast.dequantize(code.mse_indices, code.qjl_bits, 0.0),
            fast.mse_quantizer.dequantize(code.mse_indices));

  // The lite score of a zero-gamma code is its MSE part, whatever the sketch bytes hold.
  const auto lite = fast.prepare_ip_query_lite(widen(random_unit(40, rng)));
  const double mse_only = fast.score_ip_encoded_lite(lite, code.mse_indices, {}, 0.0);
  const Bytes ones(8, 0xFF);
  EXPECT_EQ(fast.score_ip_encoded_lite(lite, code.mse_indices, ones, 0.0), mse_only);
  EXPECT_NE(fast.score_ip_encoded_lite(lite, code.mse_indices, ones, 1.0), mse_only);
}

TEST(ProdQuantizer, SelfScoreOfAUnitVectorIsCloseToOne) {
  struct Case {
    std::uint64_t d, b;
    double tolerance;
  };
  const Case cases[] = {
      {128, 2, 0.25}, {128, 4, 0.08}, {300, 4, 0.08}, {768, 5, 0.04}, {768, 8, 0.01}};
  std::mt19937 rng(21);
  for (const auto& c : cases) {
    const ProdQuantizer q = ProdQuantizer::create(c.d, c.b, 42, false);
    for (int t = 0; t < 10; ++t) {
      const std::vector<float> x = random_unit(c.d, rng);
      const Code code = q.quantize(x);
      const double score = q.score_ip_encoded(q.prepare_ip_query(widen(x)), code.mse_indices,
                                              code.qjl_bits, code.gamma);
      EXPECT_NEAR(score, 1.0, c.tolerance) << "d=" << c.d << " b=" << c.b;
    }
  }
}

// The sketch term must make the score an unbiased estimate of the inner product: averaged
// over many pairs, the error of the full score is near zero, while the scalar part alone
// underestimates the inner product of a pair of similar vectors.
TEST(ProdQuantizer, SketchTermRemovesTheBiasOfTheScalarPart) {
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  const std::uint64_t d = 256;
  const ProdQuantizer q = ProdQuantizer::create(d, 2, 42, false);
  double err_full = 0.0, err_mse = 0.0, truth_sum = 0.0;
  const int pairs = 400;
  for (int t = 0; t < pairs; ++t) {
    const std::vector<float> x = random_unit(d, rng);
    std::vector<float> y = x;  // a neighbour of x: x plus noise, renormalised
    for (auto& v : y) v += 0.02f * noise(rng);
    double norm = 0.0;
    for (float v : y) norm += double(v) * v;
    for (auto& v : y) v = static_cast<float>(v / std::sqrt(norm));
    double truth = 0.0;
    for (std::size_t i = 0; i < d; ++i) truth += double(x[i]) * y[i];
    const Code code = q.quantize(x);
    const PreparedIpQuery prepared = q.prepare_ip_query(widen(y));
    err_full += q.score_ip_encoded(prepared, code.mse_indices, code.qjl_bits, code.gamma) - truth;
    err_mse += q.score_ip_encoded(prepared, code.mse_indices, {}, code.gamma) - truth;
    truth_sum += truth;
  }
  EXPECT_LT(std::abs(err_full / pairs), 0.02);
  EXPECT_LT(err_mse / pairs, -0.1);  // the 1-bit scalar code alone keeps ~2/pi of the length
  EXPECT_GT(truth_sum / pairs, 0.9);
}

// d = n = 4, every sign +1, levels +-0.5: the query e0 rotates to q_rot = q_proj = 0.5 * ones,
// so the MSE part of indices {1, 1, 1, 1} is 1 and the sketch term is
// (sum of +-0.5) * (1.2533141 / sqrt(4)) * gamma.
TEST(ProdQuantizer, ScoresOfAHandComputedCode) {
  ProdQuantizer q;
  q.d = q.n = 4;
  q.b = 2;
  q.mse_quantizer.d = q.mse_quantizer.n = 4;
  q.mse_quantizer.b = 1;
  q.mse_quantizer.rotation_signs.assign(4, 1.0f);
  q.mse_quantizer.centroids = {-0.5f, 0.5f};
  q.qjl_quantizer.d = q.qjl_quantizer.n = 4;
  q.qjl_quantizer.projection_signs.assign(4, 1.0f);
  ASSERT_EQ(q.invalid_reason(), "");
  const std::vector<double> e0 = {1.0, 0.0, 0.0, 0.0};
  const PreparedIpQuery full = q.prepare_ip_query(e0);
  const PreparedIpQueryLite lite = q.prepare_ip_query_lite(e0);
  EXPECT_EQ(full.lut,
            (std::vector<float>{-0.25f, 0.25f, -0.25f, 0.25f, -0.25f, 0.25f, -0.25f, 0.25f}));
  const float scale = 1.2533141f / 2.0f;
  struct Case {
    std::vector<std::uint16_t> indices;
    Bytes bits;
    double gamma;
    float want;
  };
  const Case cases[] = {
      {{1, 1, 1, 1}, {}, 1.0, 1.0f},
      {{1, 1, 1, 1}, {0x0F}, 1.0, 1.0f + 2.0f * scale},
      {{1, 1, 1, 1}, {0x00}, 1.0, 1.0f - 2.0f * scale},
      {{1, 1, 1, 1}, {0x03}, 1.0, 1.0f},
      {{0, 1, 1, 1}, {0x07}, 0.5, 0.5f + 1.0f * (scale * 0.5f)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(q.score_ip_encoded(full, c.indices, c.bits, c.gamma), double(c.want));
    EXPECT_EQ(q.score_ip_encoded_lite(lite, c.indices, c.bits, c.gamma), double(c.want));
  }
}

TEST(ProdQuantizer, LiteScoreEqualsTableScore) {
  std::mt19937 rng(9);
  for (std::uint64_t d : {1u, 5u, 100u}) {
    const ProdQuantizer q = ProdQuantizer::create(d, 3, 42, false);
    const std::vector<double> query = widen(random_unit(d, rng));
    const PreparedIpQuery full = q.prepare_ip_query(query);
    const PreparedIpQueryLite lite = q.prepare_ip_query_lite(query);
    EXPECT_EQ(lite.q_proj, full.q_proj);
    EXPECT_EQ(lite.qjl_scale, full.qjl_scale);
    EXPECT_EQ(full.n_centroids, 4u);
    EXPECT_EQ(full.lut.size(), q.n * 4);
    for (int t = 0; t < 5; ++t) {
      const Code code = q.quantize(random_unit(d, rng));
      EXPECT_EQ(q.score_ip_encoded_lite(lite, code.mse_indices, code.qjl_bits, code.gamma),
                q.score_ip_encoded(full, code.mse_indices, code.qjl_bits, code.gamma))
          << d;
    }
  }
}

TEST(ProdQuantizer, QueryFromCodesComparesMseReconstructions) {
  constexpr std::size_t kDim = 128;
  const ProdQuantizer q = ProdQuantizer::create(kDim, 4, 42, false);
  std::mt19937 rng(12);
  const Code a = q.quantize(random_unit(kDim, rng));
  const Code b = q.quantize(random_unit(kDim, rng));
  const PreparedIpQueryLite from_a = q.prepare_ip_query_from_codes(a.mse_indices);
  EXPECT_EQ(from_a.q_proj, std::vector<float>(kDim, 0.0f));
  const std::vector<double> ra = q.mse_quantizer.dequantize(a.mse_indices);
  const std::vector<double> rb = q.mse_quantizer.dequantize(b.mse_indices);
  double want = 0;
  for (std::size_t i = 0; i < kDim; ++i) want += ra[i] * rb[i];
  EXPECT_NEAR(q.score_ip_encoded_lite(from_a, b.mse_indices, b.qjl_bits, b.gamma), want, 1e-5);
}

TEST(ProdQuantizer, SketchPositionsBeyondNAreIgnored) {
  const ProdQuantizer q = ProdQuantizer::create(3, 3, 42, false);  // n = 4
  std::mt19937 rng(5);
  const PreparedIpQuery prepared = q.prepare_ip_query(widen(random_unit(3, rng)));
  const std::vector<std::uint16_t> indices = {0, 1, 2, 3};
  EXPECT_EQ(q.score_ip_encoded(prepared, indices, Bytes{0x05}, 0.7),
            q.score_ip_encoded(prepared, indices, Bytes{0xF5}, 0.7));
  EXPECT_NE(q.score_ip_encoded(prepared, indices, Bytes{0x05}, 0.7),
            q.score_ip_encoded(prepared, indices, Bytes{0x04}, 0.7));
}

TEST(ProdQuantizer, BatchesMatchSingleItemsInInputOrder) {
  constexpr std::size_t kDim = 48;
  const ProdQuantizer q = ProdQuantizer::create(kDim, 4, 42, false);
  std::mt19937 rng(1);
  std::vector<std::vector<float>> xs;
  for (int i = 0; i < 1000; ++i) xs.push_back(random_unit(kDim, rng));
  const std::vector<std::span<const float>> views(xs.begin(), xs.end());
  const std::vector<Code> codes = q.quantize_batch(views);
  ASSERT_EQ(codes.size(), xs.size());
  std::vector<ProdQuantizer::CodeView> code_views;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const Code one = q.quantize(xs[i]);
    ASSERT_EQ(codes[i].mse_indices, one.mse_indices) << i;
    ASSERT_EQ(codes[i].qjl_bits, one.qjl_bits) << i;
    ASSERT_EQ(codes[i].gamma, one.gamma) << i;
    code_views.push_back({codes[i].mse_indices, codes[i].qjl_bits, codes[i].gamma});
  }
  const auto back = q.dequantize_batch(code_views);
  ASSERT_EQ(back.size(), xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i) {
    ASSERT_EQ(back[i], q.dequantize(codes[i].mse_indices, codes[i].qjl_bits, codes[i].gamma)) << i;
    ASSERT_EQ(back[i].size(), kDim);
  }
}

TEST(ProdQuantizer, DequantizeFromPackedBytesIsBitIdentical) {
  struct Case {
    std::uint64_t d, b;
    bool fast;
  };
  for (const Case c : {Case{5, 4, false}, Case{48, 2, false}, Case{100, 4, false},
                       Case{100, 4, true}, Case{300, 9, false}, Case{33, 10, false}}) {
    const ProdQuantizer q = ProdQuantizer::create(c.d, c.b, 7, c.fast);
    std::mt19937 rng(static_cast<unsigned>(c.d * 31 + c.b));
    std::vector<double> out(c.d);
    for (int i = 0; i < 20; ++i) {
      const Code code = q.quantize(random_unit(c.d, rng));
      const Bytes packed = q.pack_mse_indices(code.mse_indices);
      q.dequantize_packed_into(packed, code.qjl_bits, code.gamma, out);
      ASSERT_EQ(out, q.dequantize(code.mse_indices, code.qjl_bits, code.gamma))
          << "d=" << c.d << " b=" << c.b << " fast=" << c.fast;
    }
  }
}

TEST(ProdQuantizer, WrongLengthsAreNeverTruncatedOrPadded) {
  const ProdQuantizer q = ProdQuantizer::create(6, 4, 42, false);
  const std::vector<float> short_x(5), long_x(7);
  EXPECT_THROW(q.quantize(short_x), Fault);
  EXPECT_THROW(q.quantize(long_x), Fault);
  EXPECT_THROW(q.prepare_ip_query(std::vector<double>(5)), Fault);
  EXPECT_THROW(q.prepare_ip_query_lite(std::vector<double>(8)), Fault);
  const PreparedIpQuery prepared = q.prepare_ip_query(std::vector<double>(6, 0.1));
  EXPECT_THROW(q.score_ip_encoded(prepared, std::vector<std::uint16_t>(7), Bytes(1), 1.0), Fault);
  EXPECT_THROW(q.score_ip_encoded(prepared, std::vector<std::uint16_t>(8, 8), Bytes(1), 1.0),
               Fault);
  EXPECT_THROW(q.prepare_ip_query_from_codes(std::vector<std::uint16_t>(8, 9)), Fault);
  EXPECT_THROW(q.dequantize(std::vector<std::uint16_t>(8), Bytes(2), 1.0), Fault);
}

}  // namespace
}  // namespace norvex::quantizer
