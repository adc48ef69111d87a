// Bulk binary16 conversions for raw vectors, with F16C where the CPU has it. Results equal the
// scalar conversions of common/half.h for every finite value (both round to nearest, ties to
// even, with subnormals); NaN payloads may differ (raw vectors hold finite values only).
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvex {

// out[i] = half_to_float(little-endian half i of src), widened to f64.
void halves_to_doubles(const std::uint8_t* src, std::size_t count, double* out);
// Little-endian half i of out = float_to_half(src[i]).
void floats_to_halves(const float* src, std::size_t count, std::uint8_t* out);

}  // namespace norvex
