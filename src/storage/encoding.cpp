#include "storage/encoding.h"

#include <zlib.h>

namespace norvex::storage {
namespace {

[[noreturn]] void eof() { throw DecodeError("failed to decode record: unexpected end of data"); }

}  // namespace

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

std::uint32_t crc32(ByteView data, std::uint32_t crc) {
  // zlib takes uInt lengths; feed large buffers in pieces.
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  uLong c = crc;
  while (left > 0) {
    const std::size_t step = left > (1u << 30) ? (1u << 30) : left;
    c = ::crc32(c, p, static_cast<uInt>(step));
    p += step;
    left -= step;
  }
  return static_cast<std::uint32_t>(c);
}

void RecordWriter::put_string(std::string_view s) {
  put_len(s.size());
  put_raw(as_bytes(s));
}

void RecordWriter::put_bytes(ByteView b) {
  put_len(b.size());
  put_raw(b);
}

void RecordWriter::put_f32_seq(const std::vector<float>& v) {
  put_len(v.size());
  for (float x : v) put_f32(x);
}

void RecordWriter::put_u16_seq(const std::vector<std::uint16_t>& v) {
  put_len(v.size());
  for (std::uint16_t x : v) put_u16(x);
}

const std::uint8_t* RecordReader::take(std::size_t n) {
  if (n > remaining()) eof();
  const std::uint8_t* p = data_.data() + pos_;
  pos_ += n;
  return p;
}

std::uint8_t RecordReader::get_u8() { return *take(1); }
std::uint16_t RecordReader::get_u16() { return load_le<std::uint16_t>(take(2)); }
std::uint32_t RecordReader::get_u32() { return load_le<std::uint32_t>(take(4)); }
std::uint64_t RecordReader::get_u64() { return load_le<std::uint64_t>(take(8)); }
std::int32_t RecordReader::get_i32() { return load_le<std::int32_t>(take(4)); }
std::int64_t RecordReader::get_i64() { return load_le<std::int64_t>(take(8)); }
float RecordReader::get_f32() { return load_le<float>(take(4)); }
double RecordReader::get_f64() { return load_le<double>(take(8)); }

bool RecordReader::get_bool() {
  const std::uint8_t v = get_u8();
  if (v > 1) {
    throw DecodeError("failed to decode record: invalid bool value " + std::to_string(v) +
                      ", expected 0 or 1");
  }
  return v == 1;
}

std::uint64_t RecordReader::get_count(std::size_t min_elem_size) {
  const std::uint64_t count = get_u64();
  if (min_elem_size > 0 && count > remaining() / min_elem_size) eof();
  return count;
}

std::string RecordReader::get_string() {
  const std::uint64_t len = get_count(1);
  const std::uint8_t* p = take(static_cast<std::size_t>(len));
  std::string s(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
  if (!is_valid_utf8(s)) throw DecodeError("failed to decode record: invalid UTF-8 in string");
  return s;
}

Bytes RecordReader::get_bytes() {
  const std::uint64_t len = get_count(1);
  const std::uint8_t* p = take(static_cast<std::size_t>(len));
  return Bytes(p, p + len);
}

std::vector<float> RecordReader::get_f32_seq() {
  const std::uint64_t count = get_count(4);
  std::vector<float> v(static_cast<std::size_t>(count));
  for (auto& x : v) x = get_f32();
  return v;
}

std::vector<std::uint16_t> RecordReader::get_u16_seq() {
  const std::uint64_t count = get_count(2);
  std::vector<std::uint16_t> v(static_cast<std::size_t>(count));
  for (auto& x : v) x = get_u16();
  return v;
}

ByteView RecordReader::get_raw(std::size_t n) { return {take(n), n}; }

}  // namespace norvex::storage
