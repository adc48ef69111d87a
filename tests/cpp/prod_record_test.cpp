// The two stored forms of the product quantizer (binary record, JSON) and their resistance to
// damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/error.h"
#include "quantizer/prod.h"
#include "storage/encoding.h"

namespace norvex::quantizer {
namespace {

void expect_same(const ProdQuantizer& a, const ProdQuantizer& b) {
  EXPECT_EQ(a.d, b.d);
  EXPECT_EQ(a.n, b.n);
  EXPECT_EQ(a.b, b.b);
  EXPECT_EQ(a.fast_mode, b.fast_mode);
  EXPECT_EQ(a.mse_quantizer.d, b.mse_quantizer.d);
  EXPECT_EQ(a.mse_quantizer.n, b.mse_quantizer.n);
  EXPECT_EQ(a.mse_quantizer.b, b.mse_quantizer.b);
  EXPECT_EQ(a.mse_quantizer.rotation_signs, b.mse_quantizer.rotation_signs);
  EXPECT_EQ(a.mse_quantizer.centroids, b.mse_quantizer.centroids);
  EXPECT_EQ(a.qjl_quantizer.d, b.qjl_quantizer.d);
  EXPECT_EQ(a.qjl_quantizer.n, b.qjl_quantizer.n);
  EXPECT_EQ(a.qjl_quantizer.projection_signs, b.qjl_quantizer.projection_signs);
}

// Runs every operation a database performs with a quantizer; a decoded quantizer must survive
// all of them without a fault.
void exercise(const ProdQuantizer& q) {
  std::vector<float> x(q.d);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.3f - 0.1f * static_cast<float>(i % 7);
  const Code code = q.quantize(x);
  const Bytes packed = q.pack_mse_indices(code.mse_indices);
  std::vector<std::uint16_t> unpacked(q.n);
  q.unpack_mse_indices(packed, unpacked);
  const std::vector<double> query(x.begin(), x.end());
  (void)q.score_ip_encoded(q.prepare_ip_query(query), unpacked, code.qjl_bits, code.gamma);
  (void)q.score_ip_encoded_lite(q.prepare_ip_query_from_codes(unpacked), unpacked, code.qjl_bits,
                                code.gamma);
  (void)q.dequantize(unpacked, code.qjl_bits, code.gamma);
}

TEST(ProdQuantizerRecord, BinaryRoundTripAndLayout) {
  for (bool fast : {false, true}) {
    const ProdQuantizer q = ProdQuantizer::create(5, 3, 42, fast);
    const Bytes bytes = q.encode();
    // d n b | mse: d n b, 8 signs, 4 levels | qjl: d n, 8 signs | fast_mode
    ASSERT_EQ(bytes.size(), 24 + (24 + 8 + 4 * 8 + 8 + 4 * 4) + (16 + 8 + 4 * 8) + 1);
    storage::RecordReader head(bytes);
    EXPECT_EQ(head.get_u64(), 5u);
    EXPECT_EQ(head.get_u64(), 8u);
    EXPECT_EQ(head.get_u64(), 3u);
    EXPECT_EQ(bytes.back(), fast ? 1 : 0);
    expect_same(ProdQuantizer::decode(bytes), q);

    Bytes with_tail = bytes;
    with_tail.push_back(0xAB);
    storage::RecordReader r(with_tail);
    expect_same(ProdQuantizer::decode(r), q);
    EXPECT_EQ(r.remaining(), 1u);
  }
}

TEST(ProdQuantizerRecord, JsonRoundTripWithKeysInFieldOrder) {
  const ProdQuantizer q = ProdQuantizer::create(5, 3, 42, true);
  const nlohmann::ordered_json j = q.to_json();
  auto keys = [](const nlohmann::ordered_json& o) {
    std::vector<std::string> out;
    for (const auto& item : o.items()) out.push_back(item.key());
    return out;
  };
  EXPECT_EQ(keys(j), (std::vector<std::string>{"d", "n", "b", "mse_quantizer", "qjl_quantizer",
                                               "fast_mode"}));
  EXPECT_EQ(keys(j["mse_quantizer"]),
            (std::vector<std::string>{"d", "n", "b", "rotation_signs", "centroids"}));
  EXPECT_EQ(keys(j["qjl_quantizer"]), (std::vector<std::string>{"d", "n", "projection_signs"}));
  expect_same(ProdQuantizer::from_json(nlohmann::json::parse(j.dump())), q);
  expect_same(ProdQuantizer::from_json(nlohmann::json::parse(j.dump(2))), q);
}

TEST(ProdQuantizerRecord, JsonMissingFields) {
  const nlohmann::json full = ProdQuantizer::create(5, 3, 42, true).to_json();
  struct Case {
    std::vector<std::string> path;  // object keys leading to the key to remove
    const char* message;
  };
  const Case cases[] = {
      {{"d"}, "missing field `d`"},
      {{"n"}, "missing field `n`"},
      {{"b"}, "missing field `b`"},
      {{"mse_quantizer"}, "missing field `mse_quantizer`"},
      {{"qjl_quantizer"}, "missing field `qjl_quantizer`"},
      {{"mse_quantizer", "rotation_signs"}, "missing field `rotation_signs`"},
      {{"mse_quantizer", "centroids"}, "missing field `centroids`"},
      {{"mse_quantizer", "b"}, "missing field `b`"},
      {{"qjl_quantizer", "projection_signs"}, "missing field `projection_signs`"},
      {{"qjl_quantizer", "n"}, "missing field `n`"},
  };
  for (const auto& c : cases) {
    nlohmann::json j = full;
    nlohmann::json* parent = &j;
    for (std::size_t i = 0; i + 1 < c.path.size(); ++i) parent = &(*parent)[c.path[i]];
    parent->erase(c.path.back());
    try {
      ProdQuantizer::from_json(j);
      ADD_FAILURE() << c.message << ": accepted";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  nlohmann::json without_fast_mode = full;
  without_fast_mode.erase("fast_mode");
  EXPECT_FALSE(ProdQuantizer::from_json(without_fast_mode).fast_mode);
}

TEST(ProdQuantizerRecord, JsonWrongTypesAreErrors) {
  const nlohmann::json full = ProdQuantizer::create(5, 3, 42, false).to_json();
  const std::vector<std::function<void(nlohmann::json&)>> damage = {
      [](nlohmann::json& j) { j["d"] = "5"; },
      [](nlohmann::json& j) { j["d"] = -5; },
      [](nlohmann::json& j) { j["d"] = 5.0; },
      [](nlohmann::json& j) { j["fast_mode"] = 1; },
      [](nlohmann::json& j) { j["fast_mode"] = nullptr; },
      [](nlohmann::json& j) { j["mse_quantizer"] = nlohmann::json::array(); },
      [](nlohmann::json& j) { j["mse_quantizer"]["centroids"] = "levels"; },
      [](nlohmann::json& j) { j["qjl_quantizer"]["projection_signs"][0] = "+"; },
  };
  for (std::size_t i = 0; i < damage.size(); ++i) {
    nlohmann::json j = full;
    damage[i](j);
    EXPECT_THROW(ProdQuantizer::from_json(j), Error) << "case " << i;
  }
  EXPECT_THROW(ProdQuantizer::from_json(nlohmann::json::array()), Error);
}

// Every inconsistency is refused by both readers, so later code never works from a quantizer
// whose sizes disagree.
TEST(ProdQuantizerRecord, InconsistentFieldsAreRefused) {
  struct Case {
    const char* name;
    std::function<void(ProdQuantizer&)> damage;
  };
  const Case cases[] = {
      {"ZeroDimension", [](ProdQuantizer& q) { q.d = q.mse_quantizer.d = q.qjl_quantizer.d = 0; }},
      {"AbsurdDimension",
       [](ProdQuantizer& q) { q.d = q.mse_quantizer.d = q.qjl_quantizer.d = ~0ull; }},
      {"PaddedDimensionNotPowerOfTwo", [](ProdQuantizer& q) { q.n = 6; }},
      {"PaddedDimensionTooLarge",
       [](ProdQuantizer& q) { q.n = q.mse_quantizer.n = q.qjl_quantizer.n = 16; }},
      {"OneBit", [](ProdQuantizer& q) { q.b = 1; }},
      {"EighteenBits", [](ProdQuantizer& q) { q.b = 18; }},
      {"MseBitsNotBMinusOne", [](ProdQuantizer& q) { q.mse_quantizer.b = 3; }},
      {"MseDimensionDiffers", [](ProdQuantizer& q) { q.mse_quantizer.d = 6; }},
      {"QjlDimensionDiffers", [](ProdQuantizer& q) { q.qjl_quantizer.d = 4; }},
      {"QjlPaddedDimensionDiffers", [](ProdQuantizer& q) { q.qjl_quantizer.n = 16; }},
      {"ShortRotationSigns", [](ProdQuantizer& q) { q.mse_quantizer.rotation_signs.pop_back(); }},
      {"LongProjectionSigns",
       [](ProdQuantizer& q) { q.qjl_quantizer.projection_signs.push_back(1.0f); }},
      {"SignNotPlusMinusOne", [](ProdQuantizer& q) { q.qjl_quantizer.projection_signs[3] = 0.5f; }},
      {"TooFewCentroids", [](ProdQuantizer& q) { q.mse_quantizer.centroids.pop_back(); }},
      {"NoCentroids", [](ProdQuantizer& q) { q.mse_quantizer.centroids.clear(); }},
      {"CentroidsOutOfOrder",
       [](ProdQuantizer& q) {
         std::swap(q.mse_quantizer.centroids[0], q.mse_quantizer.centroids[3]);
       }},
      {"NanCentroid", [](ProdQuantizer& q) { q.mse_quantizer.centroids[1] = std::nanf(""); }},
  };
  const ProdQuantizer good = ProdQuantizer::create(5, 3, 42, false);
  ASSERT_EQ(good.invalid_reason(), "");
  for (const auto& c : cases) {
    ProdQuantizer q = good;
    c.damage(q);
    EXPECT_NE(q.invalid_reason(), "") << c.name;
    EXPECT_THROW(ProdQuantizer::decode(q.encode()), storage::DecodeError) << c.name;
    EXPECT_THROW(ProdQuantizer::from_json(q.to_json()), Error) << c.name;
  }
}

TEST(ProdQuantizerRecord, HostileCountsFailWithoutAllocating) {
  storage::RecordWriter w;
  w.put_u64(1ull << 60);  // d
  w.put_u64(1ull << 60);  // n
  w.put_u64(4);
  w.put_u64(1ull << 60);  // mse d
  w.put_u64(1ull << 60);  // mse n
  w.put_u64(3);
  w.put_u64(1ull << 60);  // rotation_signs count, far beyond the buffer
  EXPECT_THROW(ProdQuantizer::decode(w.bytes()), storage::DecodeError);
}

TEST(ProdQuantizerRecord, EveryTruncationIsADecodeError) {
  const Bytes bytes = ProdQuantizer::create(5, 3, 42, false).encode();
  for (std::size_t len = 0; len < bytes.size(); ++len) {
    EXPECT_THROW(ProdQuantizer::decode(ByteView(bytes.data(), len)), storage::DecodeError)
        << "length " << len;
  }
}

TEST(ProdQuantizerRecord, EveryFlippedByteFailsCleanlyOrDecodesToAUsableQuantizer) {
  const Bytes bytes = ProdQuantizer::create(5, 3, 42, false).encode();
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes damaged = bytes;
      damaged[at] ^= flip;
      try {
        const ProdQuantizer q = ProdQuantizer::decode(damaged);
        ASSERT_EQ(q.invalid_reason(), "") << "byte " << at;
        exercise(q);
      } catch (const Fault& f) {
        ADD_FAILURE() << "byte " << at << " ^ " << int(flip) << ": fault " << f.what();
      } catch (const Error&) {
      }
    }
  }
}

}  // namespace
}  // namespace norvex::quantizer
