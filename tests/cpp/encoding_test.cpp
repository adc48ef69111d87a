#include "storage/encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace norvex::storage {
namespace {

TEST(Encoding, RoundTripsEveryFieldType) {
  RecordWriter w;
  w.put_u8(7);
  w.put_u16(0xBEEF);
  w.put_u32(0xDEADBEEF);
  w.put_u64(0x0123456789ABCDEFull);
  w.put_i32(-5);
  w.put_i64(-1);
  w.put_f32(1.5f);
  w.put_f64(-2.25);
  w.put_bool(true);
  w.put_string("héllo");
  w.put_bytes(Bytes{1, 2, 3});
  w.put_f32_seq({1.0f, -1.0f});
  w.put_u16_seq({9, 65535});

  RecordReader r(w.bytes());
  EXPECT_EQ(r.get_u8(), 7);
  EXPECT_EQ(r.get_u16(), 0xBEEF);
  EXPECT_EQ(r.get_u32(), 0xDEADBEEFu);
  EXPECT_EQ(r.get_u64(), 0x0123456789ABCDEFull);
  EXPECT_EQ(r.get_i32(), -5);
  EXPECT_EQ(r.get_i64(), -1);
  EXPECT_EQ(r.get_f32(), 1.5f);
  EXPECT_EQ(r.get_f64(), -2.25);
  EXPECT_TRUE(r.get_bool());
  EXPECT_EQ(r.get_string(), "héllo");
  EXPECT_EQ(r.get_bytes(), (Bytes{1, 2, 3}));
  EXPECT_EQ(r.get_f32_seq(), (std::vector<float>{1.0f, -1.0f}));
  EXPECT_EQ(r.get_u16_seq(), (std::vector<std::uint16_t>{9, 65535}));
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(Encoding, LayoutIsLittleEndianWithU64Lengths) {
  RecordWriter w;
  w.put_string("a");
  w.put_u32(1);
  EXPECT_EQ(w.bytes(), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 'a', 1, 0, 0, 0}));
}

TEST(Encoding, MalformedInputIsADecodeError) {
  struct Case {
    const char* name;
    Bytes data;
    int field;  // 0 bool, 1 string, 2 bytes, 3 u64, 4 f32 sequence
  };
  const Case cases[] = {
      {"BadBool", {2}, 0},
      {"EmptyBool", {}, 0},
      {"ShortU64", {1, 2, 3}, 3},
      {"StringLongerThanBuffer", {5, 0, 0, 0, 0, 0, 0, 0, 'a'}, 1},
      {"HugeByteCount", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 2},
      {"HugeFloatCount", {0, 0, 0, 0, 0, 0, 0, 0x40, 1, 2, 3, 4}, 4},
      {"InvalidUtf8", {2, 0, 0, 0, 0, 0, 0, 0, 0xC3, 0x28}, 1},
      {"Surrogate", {3, 0, 0, 0, 0, 0, 0, 0, 0xED, 0xA0, 0x80}, 1},
      {"Overlong", {2, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xAF}, 1},
  };
  for (const auto& c : cases) {
    RecordReader r(c.data);
    EXPECT_THROW(
        {
          switch (c.field) {
            case 0:
              r.get_bool();
              break;
            case 1:
              r.get_string();
              break;
            case 2:
              r.get_bytes();
              break;
            case 3:
              r.get_u64();
              break;
            default:
              r.get_f32_seq();
              break;
          }
        },
        DecodeError)
        << c.name;
  }
}

TEST(Encoding, Crc32MatchesTheStandardCheckValue) {
  EXPECT_EQ(crc32(as_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(as_bytes("6789"), crc32(as_bytes("12345"))), 0xCBF43926u);
}

}  // namespace
}  // namespace norvex::storage
