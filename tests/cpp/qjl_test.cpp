#include "quantizer/qjl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/error.h"

namespace norvex::quantizer {
namespace {

TEST(QjlQuantizer, ZeroResidualSetsEveryBitBelowN) {
  struct Case {
    std::uint64_t d;
    Bytes sketch;
  };
  const Case cases[] = {
      {1, {0x01}}, {3, {0x0F}}, {5, {0xFF}}, {8, {0xFF}}, {9, {0xFF, 0xFF}}, {17, Bytes(4, 0xFF)},
  };
  for (const auto& c : cases) {
    const QjlQuantizer q = QjlQuantizer::create(c.d, 7);
    EXPECT_EQ(q.quantize(std::vector<float>(c.d, 0.0f)), c.sketch) << c.d;
  }
}

TEST(QjlQuantizer, BitsBeyondNStayClear) {
  std::mt19937 rng(2);
  std::normal_distribution<float> gauss;
  for (std::uint64_t d : {2u, 3u, 4u}) {
    const QjlQuantizer q = QjlQuantizer::create(d, 3);
    const unsigned beyond = 0xFFu << q.n;
    for (int t = 0; t < 50; ++t) {
      std::vector<float> r(d);
      for (float& v : r) v = gauss(rng);
      const Bytes bits = q.quantize(r);
      ASSERT_EQ(bits.size(), 1u);
      EXPECT_EQ(bits[0] & beyond, 0u) << d;
    }
  }
}

TEST(QjlQuantizer, ReconstructionHasLengthSqrtHalfPiGammaAndPointsAlongTheResidual) {
  constexpr std::uint64_t kDim = 64;  // no padding: the inverse rotation keeps every coordinate
  const QjlQuantizer q = QjlQuantizer::create(kDim, 5);
  std::mt19937 rng(8);
  std::normal_distribution<float> gauss;
  std::vector<float> r(kDim);
  double norm_sq = 0;
  for (float& v : r) {
    v = gauss(rng);
    norm_sq += double(v) * v;
  }
  const double gamma = std::sqrt(norm_sq);
  const std::vector<double> back = q.dequantize_one(q.quantize(r), gamma);
  double back_sq = 0, dot = 0;
  for (std::size_t i = 0; i < kDim; ++i) {
    back_sq += back[i] * back[i];
    dot += back[i] * r[i];
  }
  EXPECT_NEAR(std::sqrt(back_sq), std::sqrt(std::acos(-1.0) / 2) * gamma, 1e-4 * gamma);
  EXPECT_GT(dot / (std::sqrt(back_sq) * gamma), 0.6);
}

TEST(QjlQuantizer, ZeroGammaReconstructsZero) {
  const QjlQuantizer q = QjlQuantizer::create(9, 1);
  for (const auto& v : q.dequantize_one(Bytes{0xA5, 0x3C}, 0.0)) EXPECT_EQ(v, 0.0);
}

TEST(QjlQuantizer, BatchKeepsItemOrder) {
  const QjlQuantizer q = QjlQuantizer::create(33, 4);
  std::vector<Bytes> sketches;
  for (int i = 0; i < 40; ++i)
    sketches.push_back(Bytes(q.sketch_bytes(), static_cast<std::uint8_t>(i * 37)));
  std::vector<std::pair<ByteView, double>> items;
  for (int i = 0; i < 40; ++i) items.emplace_back(sketches[i], 0.5 + i);
  const auto batch = q.dequantize_batch(items);
  ASSERT_EQ(batch.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(batch[i], q.dequantize_one(items[i].first, items[i].second)) << i;
  }
  EXPECT_EQ(q.dequantize_batch({items[3]}).size(), 1u);
}

TEST(QjlQuantizer, MisSizedInputsFault) {
  const QjlQuantizer q = QjlQuantizer::create(9, 1);
  EXPECT_THROW(q.quantize(std::vector<float>(8)), Fault);
  EXPECT_THROW(q.dequantize_one(Bytes{0xFF}, 1.0), Fault);
  EXPECT_THROW(q.dequantize_one(Bytes(3, 0), 1.0), Fault);
}

}  // namespace
}  // namespace norvex::quantizer
