// IEEE 754 binary16 ("half") conversions for raw vectors stored in f16 precision.
//
// Scalar and exact: float -> half rounds to nearest, ties to even, with subnormals, overflow
// to infinity, signed zeros, infinities and NaN handled; half -> float is exact. A half NaN
// survives half -> float -> half bit for bit; a float NaN whose payload does not reach the
// half's ten mantissa bits becomes a quiet NaN.
#pragma once

#include <bit>
#include <cstdint>

namespace norvex {

inline std::uint16_t float_to_half(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const std::uint32_t mag = bits & 0x7FFFFFFFu;

  if (mag >= 0x7F800000u) {  // infinity or NaN
    if (mag == 0x7F800000u) return sign | 0x7C00u;
    std::uint32_t payload = (mag >> 13) & 0x3FFu;
    if (payload == 0) payload = 0x200u;  // keep it a NaN
    return static_cast<std::uint16_t>(sign | 0x7C00u | payload);
  }
  // 65520 lies halfway between the largest half (65504) and 2^16; ties to even go up.
  if (mag >= 0x477FF000u) return sign | 0x7C00u;

  const std::uint32_t exp = mag >> 23;  // biased float exponent
  if (exp >= 113) {                     // normal half: 2^-14 and above
    std::uint32_t h = ((exp - 112) << 10) | ((mag >> 13) & 0x3FFu);
    const std::uint32_t rest = mag & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (h & 1u))) ++h;  // a carry may reach the exponent
    return static_cast<std::uint16_t>(sign | h);
  }
  // Subnormal half (units of 2^-24); below 2^-25 everything rounds to zero.
  if (exp < 102) return sign;
  const std::uint32_t mant = (mag & 0x7FFFFFu) | 0x800000u;
  const std::uint32_t shift = 126 - exp;  // 14 ..= 24
  std::uint32_t h = mant >> shift;
  const std::uint32_t rest = mant & ((1u << shift) - 1);
  const std::uint32_t halfway = 1u << (shift - 1);
  if (rest > halfway || (rest == halfway && (h & 1u))) ++h;  // may become the smallest normal
  return static_cast<std::uint16_t>(sign | h);
}

inline float half_to_float(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t exp = (h >> 10) & 0x1Fu;
  const std::uint32_t mant = h & 0x3FFu;
  if (exp == 0x1F) return std::bit_cast<float>(sign | 0x7F800000u | (mant << 13));
  if (exp != 0) return std::bit_cast<float>(sign | ((exp + 112) << 23) | (mant << 13));
  // Zero or subnormal: mant * 2^-24 is exact in float.
  const float magnitude = static_cast<float>(mant) * 0x1p-24f;
  return sign != 0 ? -magnitude : magnitude;
}

}  // namespace norvex
