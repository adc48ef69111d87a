// Byte buffers and little-endian loads/stores used by every file format.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace norvex {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline std::string_view as_chars(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// Little-endian loads and stores of fixed-width values at an unaligned address. The machine is
// little-endian (checked at compile time), so these are plain copies.
static_assert(std::endian::native == std::endian::little, "norvex assumes a little-endian host");

template <typename T>
inline T load_le(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <typename T>
inline void store_le(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

template <typename T>
inline void append_le(Bytes& out, T v) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  std::memcpy(out.data() + at, &v, sizeof(T));
}

}  // namespace norvex
