#include "linalg/hadamard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/error.h"

namespace norvex::linalg {
namespace {

std::string keystream_hex(int rounds) {
  const std::uint32_t zero_key[8] = {};
  std::uint32_t block[16];
  chacha_block(zero_key, 0, 0, rounds, block);
  std::string hex;
  char byte[3];
  for (std::uint32_t word : block) {
    for (int k = 0; k < 4; ++k) {
      std::snprintf(byte, sizeof(byte), "%02x", (word >> (8 * k)) & 0xFFu);
      hex += byte;
    }
  }
  return hex;
}

// Published keystreams for the all-zero key, counter and nonce (draft-strombergson-chacha-
// test-vectors TC1); the 20-round block is also RFC 7539's zero-key block.
TEST(ChaCha, ZeroKeyBlockMatchesPublishedKeystreams) {
  struct Case {
    int rounds;
    const char* hex;
  };
  const Case cases[] = {
      {8,
       "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
       "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
      {12,
       "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
       "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
      {20,
       "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
       "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
  };
  for (const auto& c : cases) EXPECT_EQ(keystream_hex(c.rounds), c.hex) << c.rounds << " rounds";
}

TEST(ChaCha, CounterAndStreamOccupyWords12To15) {
  const std::uint32_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint32_t a[16], b[16];
  chacha_block(key, 0x0000000100000000ull, 0, 12, a);
  chacha_block(key, 1, 0, 12, b);
  EXPECT_NE(std::vector<std::uint32_t>(a, a + 16), std::vector<std::uint32_t>(b, b + 16));
  chacha_block(key, 0, 1, 12, a);
  chacha_block(key, 0, 0, 12, b);
  EXPECT_NE(std::vector<std::uint32_t>(a, a + 16), std::vector<std::uint32_t>(b, b + 16));
}

// First 40 signs of three seeds, from an independent implementation of the PCG32 seed
// expansion and the ChaCha12 stream (it spans five keystream blocks).
TEST(RandomSignVector, MatchesReferenceSigns) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "--+-+-+----++-+++-+-+-+--+--+-+---++----"},
      {42, "---+++--++--++-++-+--+-+++-++-+----+-+++"},
      {42 ^ 0xDEADBEEFull, "--++------++--+-+-+++----++-+++-++-++-+-"},
  };
  for (auto [seed, expected] : cases) {
    std::string got;
    for (float s : random_sign_vector(40, seed)) got += s > 0 ? '+' : '-';
    EXPECT_EQ(got, expected) << seed;
  }
}

TEST(RandomSignVector, ReproducibleSignsWithSharedPrefixes) {
  for (std::uint64_t seed : {0ull, 42ull, 42ull ^ 0xDEADBEEFull, ~0ull}) {
    const std::vector<float> long_signs = random_sign_vector(1000, seed);
    EXPECT_EQ(random_sign_vector(1000, seed), long_signs);
    int negatives = 0;
    for (float s : long_signs) {
      ASSERT_TRUE(s == 1.0f || s == -1.0f);
      negatives += s < 0;
    }
    EXPECT_GT(negatives, 400);
    EXPECT_LT(negatives, 600);
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 333u}) {
      const std::vector<float> prefix = random_sign_vector(n, seed);
      EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), long_signs.begin())) << n;
    }
  }
  EXPECT_NE(random_sign_vector(64, 42), random_sign_vector(64, 43));
}

TEST(PaddedDim, SmallestPowerOfTwoAtLeastD) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {128, 128}, {129, 256}, {1536, 2048}};
  for (auto [d, n] : cases) EXPECT_EQ(padded_dim(d), n) << d;
}

TEST(Fwht, KnownTransforms) {
  struct Case {
    std::vector<float> in, out;
  };
  const Case cases[] = {
      {{5.0f}, {5.0f}},
      {{1, 0, 0, 0}, {1, 1, 1, 1}},
      {{1, 1, 1, 1}, {4, 0, 0, 0}},
      {{1, 2}, {3, -1}},
      {{1, 2, 3, 4, 5, 6, 7, 8}, {36, -4, -8, 0, -16, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<float> v = c.in;
    fwht(v);
    EXPECT_EQ(v, c.out);
  }
}

TEST(Fwht, TwiceScalesByLength) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> small(-8, 8);
  for (std::size_t n : {16u, 64u, 1024u}) {
    std::vector<float> v(n);
    for (float& x : v) x = static_cast<float>(small(rng));
    std::vector<float> w = v;
    fwht(w);
    fwht(w);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(w[i], v[i] * static_cast<float>(n));
  }
}

TEST(Fwht, NonPowerOfTwoLengthFaults) {
  for (std::size_t n : {0u, 3u, 6u, 12u}) {
    std::vector<float> v(n, 1.0f);
    try {
      fwht(v);
      ADD_FAILURE() << "no fault for length " << n;
    } catch (const Fault& f) {
      EXPECT_STREQ(f.what(), "FWHT requires power-of-2 length");
    }
  }
}

TEST(Srht, LengthOneMultipliesBySign) {
  const std::vector<float> x = {2.5f};
  std::vector<float> out(1);
  srht(x, std::vector<float>{-1.0f}, out);
  EXPECT_EQ(out[0], -2.5f);
}

TEST(Srht, RoundTripAndNormForPaddedAndUnpaddedDims) {
  std::mt19937 rng(3);
  std::normal_distribution<float> gauss;
  for (std::size_t d : {1u, 2u, 3u, 5u, 8u, 100u, 128u, 129u, 768u}) {
    const std::size_t n = padded_dim(d);
    const std::vector<float> signs = random_sign_vector(n, d);
    std::vector<float> x(d);
    double norm_sq = 0;
    for (float& v : x) {
      v = gauss(rng);
      norm_sq += double(v) * v;
    }
    std::vector<float> y(n);
    srht(x, signs, y);
    double rotated_sq = 0;
    for (float v : y) rotated_sq += double(v) * v;
    EXPECT_NEAR(std::sqrt(rotated_sq), std::sqrt(norm_sq), 1e-5 * std::sqrt(norm_sq)) << d;

    std::vector<float> back(d);
    srht_inverse(y, signs, back);
    for (std::size_t i = 0; i < d; ++i) ASSERT_NEAR(back[i], x[i], 1e-5f) << d << " " << i;
  }
}

TEST(Srht, LengthThreePadsToFourOutputs) {
  const std::vector<float> x = {1.0f, 2.0f, 3.0f};
  const std::vector<float> signs = {1.0f, 1.0f, 1.0f, 1.0f};
  std::vector<float> out(4);
  srht(x, signs, out);
  // (1/2) * H * [1, 2, 3, 0]
  EXPECT_EQ(out, (std::vector<float>{3.0f, 1.0f, 0.0f, -2.0f}));
}

TEST(Srht, MisSizedBuffersFault) {
  const std::vector<float> x(3, 1.0f);
  const std::vector<float> signs4(4, 1.0f), signs3(3, 1.0f);
  std::vector<float> out4(4), out3(3), y8(8);
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* message;  // prefix of the fault text
  };
  const Case cases[] = {
      {"ForwardOutputNotPadded", [&] { srht(x, signs4, out3); }, "assertion `left == right`"},
      {"ForwardShortSigns", [&] { srht(x, signs3, out4); }, "assertion failed: signs.len() >= n"},
      {"InverseInputNotPadded", [&] { srht_inverse(y8, signs4, out3); },
       "assertion `left == right`"},
      {"InverseShortSigns", [&] { srht_inverse(out4, signs3, out3); },
       "assertion failed: signs.len() >= n"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.name << ": no fault";
    } catch (const Fault& f) {
      EXPECT_EQ(std::string(f.what()).rfind(c.message, 0), 0u) << c.name << ": " << f.what();
    }
  }
}

}  // namespace
}  // namespace norvex::linalg
