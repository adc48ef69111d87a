// The binary record encoding shared by log entries, segment records, quantizer.bin and
// live_ids.bin.
//
// A record is its fields concatenated in declaration order: no names, no alignment, no header.
//
//   u8/u16/u32/u64, i32/i64   1/2/4/8 bytes little-endian (two's complement when signed)
//   usize (lengths, counts)   8 bytes little-endian, as u64
//   f32 / f64                 IEEE 754 binary32 / binary64, little-endian
//   bool                      1 byte, 0 or 1 (anything else is a decoding error)
//   string                    u64 byte length, then UTF-8 bytes (invalid UTF-8 is an error)
//   sequence                  u64 element count, then each element
//   map                       u64 entry count, then key and value of each entry
//   optional                  1 byte tag (0 absent, 1 present), then the value if present
//
// A record is decoded from the front of a buffer; bytes after it are not examined. Decoding
// never trusts a stored count: it is compared with the bytes that remain before anything is
// reserved, so a corrupt count is a DecodeError, never a huge allocation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"

namespace norvex::storage {

class DecodeError : public Error {
 public:
  using Error::Error;
};

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool is_valid_utf8(std::string_view s);

// The common reflected CRC-32 (zlib's), continued from `crc` (start with 0).
std::uint32_t crc32(ByteView data, std::uint32_t crc = 0);

class RecordWriter {
 public:
  void put_u8(std::uint8_t v) { out_.push_back(v); }
  void put_u16(std::uint16_t v) { append_le(out_, v); }
  void put_u32(std::uint32_t v) { append_le(out_, v); }
  void put_u64(std::uint64_t v) { append_le(out_, v); }
  void put_i32(std::int32_t v) { append_le(out_, v); }
  void put_i64(std::int64_t v) { append_le(out_, v); }
  void put_f32(float v) { append_le(out_, v); }
  void put_f64(double v) { append_le(out_, v); }
  void put_bool(bool v) { out_.push_back(v ? 1 : 0); }
  void put_len(std::uint64_t n) { put_u64(n); }
  void put_string(std::string_view s);
  void put_bytes(ByteView b);  // a sequence of u8
  void put_f32_seq(const std::vector<float>& v);
  void put_u16_seq(const std::vector<std::uint16_t>& v);
  void put_raw(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }

  const Bytes& bytes() const { return out_; }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

// Reads a record from a borrowed buffer, which must outlive the reader.
class RecordReader {
 public:
  explicit RecordReader(ByteView data) : data_(data) {}

  std::uint8_t get_u8();
  std::uint16_t get_u16();
  std::uint32_t get_u32();
  std::uint64_t get_u64();
  std::int32_t get_i32();
  std::int64_t get_i64();
  float get_f32();
  double get_f64();
  bool get_bool();
  // A sequence or map count whose elements take at least `min_elem_size` bytes each; fails
  // unless that many bytes remain.
  std::uint64_t get_count(std::size_t min_elem_size);
  std::string get_string();
  Bytes get_bytes();
  std::vector<float> get_f32_seq();
  std::vector<std::uint16_t> get_u16_seq();
  // `n` raw bytes, borrowed from the buffer.
  ByteView get_raw(std::size_t n);

  std::size_t remaining() const { return data_.size() - pos_; }
  std::size_t position() const { return pos_; }

 private:
  const std::uint8_t* take(std::size_t n);

  ByteView data_;
  std::size_t pos_ = 0;
};

}  // namespace norvex::storage
