#include "common/half.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/half_bulk.h"

namespace norvex {
namespace {

TEST(Half, OneIsStoredAsBytes00_3C) {
  const std::uint16_t h = float_to_half(1.0f);
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(h & 0xFF),
                                 static_cast<std::uint8_t>(h >> 8)};
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[1], 0x3C);
}

TEST(Half, RoundsToNearestEvenAtEveryBoundary) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    float in;
    std::uint16_t out;
  };
  const Case cases[] = {
      {"zero", 0.0f, 0x0000},
      {"negative zero", -0.0f, 0x8000},
      {"one", 1.0f, 0x3C00},
      {"minus two", -2.0f, 0xC000},
      {"0.1", 0.1f, 0x2E66},
      {"tie below one ulp goes to even (down)", 1.0f + 0x1p-11f, 0x3C00},
      {"tie at odd mantissa goes up", 1.0f + 3 * 0x1p-11f, 0x3C02},
      {"just above the tie goes up", 1.0f + 0x1p-11f + 0x1p-20f, 0x3C01},
      {"largest half", 65504.0f, 0x7BFF},
      {"just below the overflow tie", 65519.996f, 0x7BFF},
      {"overflow tie goes to infinity", 65520.0f, 0x7C00},
      {"float max", std::numeric_limits<float>::max(), 0x7C00},
      {"infinity", inf, 0x7C00},
      {"minus infinity", -inf, 0xFC00},
      {"smallest normal", 0x1p-14f, 0x0400},
      {"tie between largest subnormal and smallest normal", 0x1p-14f - 0x1p-25f, 0x0400},
      {"largest subnormal", 0x1p-14f - 0x1p-24f, 0x03FF},
      {"smallest subnormal", 0x1p-24f, 0x0001},
      {"half the smallest subnormal ties to zero", 0x1p-25f, 0x0000},
      {"just above half the smallest subnormal", std::nextafter(0x1p-25f, 1.0f), 0x0001},
      {"1.5 subnormal units tie to 2", 3 * 0x1p-25f, 0x0002},
      {"2.5 subnormal units tie to 2", 5 * 0x1p-25f, 0x0002},
      {"negative subnormal", -0x1p-24f, 0x8001},
      {"float subnormal underflows", std::numeric_limits<float>::denorm_min(), 0x0000},
      {"negative tiny underflows to negative zero", -1e-30f, 0x8000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(float_to_half(c.in), c.out) << c.name;
  }
}

TEST(Half, NanStaysNan) {
  const float nans[] = {std::numeric_limits<float>::quiet_NaN(),
                        -std::numeric_limits<float>::quiet_NaN(),
                        std::bit_cast<float>(0x7F800001u),  // payload below half precision
                        std::bit_cast<float>(0xFFC00000u)};
  for (float f : nans) {
    const std::uint16_t h = float_to_half(f);
    EXPECT_EQ(h & 0x7C00, 0x7C00);
    EXPECT_NE(h & 0x03FF, 0);
    EXPECT_EQ(h & 0x8000, (std::bit_cast<std::uint32_t>(f) >> 16) & 0x8000);
    EXPECT_TRUE(std::isnan(half_to_float(h)));
  }
}

TEST(Half, EveryHalfRoundTripsThroughFloat) {
  for (std::uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    const auto h = static_cast<std::uint16_t>(bits);
    const float f = half_to_float(h);
    ASSERT_EQ(float_to_half(f), h) << std::hex << bits;
    const bool is_nan = (bits & 0x7C00) == 0x7C00 && (bits & 0x03FF) != 0;
    ASSERT_EQ(std::isnan(f), is_nan) << std::hex << bits;
  }
}

TEST(Half, HalfToFloatMatchesTheDefinition) {
  // value = (-1)^s * 2^(e-15) * (1 + m/1024) for normals, 2^-14 * m/1024 for subnormals.
  for (std::uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    const std::uint32_t e = (bits >> 10) & 0x1F;
    if (e == 0x1F) continue;
    const double m = bits & 0x3FF;
    double v = e == 0 ? std::ldexp(m / 1024.0, -14) : std::ldexp(1.0 + m / 1024.0, int(e) - 15);
    if (bits & 0x8000) v = -v;
    ASSERT_EQ(half_to_float(static_cast<std::uint16_t>(bits)), static_cast<float>(v))
        << std::hex << bits;
  }
}

TEST(Half, FloatToHalfPicksTheNearestHalf) {
  // Against a brute-force reference over all finite halves near the value: the result is a
  // nearest one, and on a tie the one with an even mantissa.
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  for (int i = 0; i < 200000; ++i) {
    std::uint32_t fb = any_bits(rng);
    // Concentrate on the half range: exponents around [-26, 16].
    fb = (fb & 0x807FFFFFu) | ((100u + (fb >> 23) % 45u) << 23);
    const float f = std::bit_cast<float>(fb);
    const std::uint16_t h = float_to_half(f);
    const double x = f;
    const double got = half_to_float(h);
    if (std::isinf(got)) {
      ASSERT_GE(std::fabs(x), 65520.0) << f;
      continue;
    }
    const double err = std::fabs(got - x);
    // Neighbours of the result must not be strictly closer.
    for (int delta : {-1, 1}) {
      const std::uint16_t mag = h & 0x7FFF;
      if ((mag == 0 && delta < 0) || mag + delta >= 0x7C00) continue;
      const auto n = static_cast<std::uint16_t>((h & 0x8000) | (mag + delta));
      const double other_err = std::fabs(double(half_to_float(n)) - x);
      ASSERT_LE(err, other_err) << f;
      if (err == other_err) {
        ASSERT_EQ(h & 1, 0) << "tie not to even for " << f;
      }
    }
  }
}

// The bulk conversions (F16C where present) give the scalar results for every finite value:
// every half, and floats around every rounding boundary and of random bits, in runs whose
// length is not a multiple of the vector width.
TEST(Half, BulkConversionsMatchTheScalarOnes) {
  std::vector<std::uint8_t> halves;
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    if ((h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0) continue;  // NaN
    halves.push_back(static_cast<std::uint8_t>(h));
    halves.push_back(static_cast<std::uint8_t>(h >> 8));
  }
  halves.resize(halves.size() - 2);  // an odd tail
  std::vector<double> wide(halves.size() / 2);
  halves_to_doubles(halves.data(), wide.size(), wide.data());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const auto h = static_cast<std::uint16_t>(halves[2 * i] | halves[2 * i + 1] << 8);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(wide[i]),
              std::bit_cast<std::uint64_t>(static_cast<double>(half_to_float(h))))
        << std::hex << h;
  }

  std::vector<float> floats;
  for (std::uint32_t h = 0; h < 0x7C00; ++h) {  // each positive half and its neighbours
    const float f = half_to_float(static_cast<std::uint16_t>(h));
    const float next = half_to_float(static_cast<std::uint16_t>(h + 1));
    const float mid = f + (next - f) / 2;  // the tie between two halves
    for (const float v : {f, mid, std::nextafter(mid, 0.0f), std::nextafter(mid, 1e9f)}) {
      floats.push_back(v);
      floats.push_back(-v);
    }
  }
  std::mt19937 rng(5);
  for (int i = 0; i < 100000; ++i) {
    const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (std::isfinite(v)) floats.push_back(v);
  }
  floats.push_back(1e30f);
  floats.push_back(65520.0f);
  std::vector<std::uint8_t> narrow(2 * floats.size());
  floats_to_halves(floats.data(), floats.size(), narrow.data());
  for (std::size_t i = 0; i < floats.size(); ++i) {
    const auto h = static_cast<std::uint16_t>(narrow[2 * i] | narrow[2 * i + 1] << 8);
    ASSERT_EQ(h, float_to_half(floats[i])) << floats[i];
  }
}

}  // namespace
}  // namespace norvex
