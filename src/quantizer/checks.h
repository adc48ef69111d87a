// Shared checks of the quantizer units (internal to src/quantizer/).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "linalg/hadamard.h"

namespace norvex::quantizer::checks {

// Message of a failed equality assertion.
inline std::string eq_failure(const char* what, std::uint64_t left, std::uint64_t right) {
  return "assertion `left == right` failed: " + std::string(what) +
         "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
}

inline std::string out_of_bounds(std::uint64_t len, std::uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

// Why a stored (d, n) pair is unusable; empty when 1 <= d <= kMaxDim and n == padded_dim(d).
inline std::string dims_problem(std::uint64_t d, std::uint64_t n) {
  if (d == 0) return "d must be at least 1";
  if (d > linalg::kMaxDim) return "d=" + std::to_string(d) + " is too large";
  const std::uint64_t expected = linalg::padded_dim(d);
  if (n != expected) {
    return "n=" + std::to_string(n) + " does not match d=" + std::to_string(d) + " (expected " +
           std::to_string(expected) + ")";
  }
  return {};
}

// Why a stored sign vector is unusable; empty when it has n entries, each exactly +1 or -1.
inline std::string signs_problem(const char* name, std::span<const float> signs, std::uint64_t n) {
  if (signs.size() != n) {
    return std::string(name) + " has " + std::to_string(signs.size()) + " entries, expected " +
           std::to_string(n);
  }
  for (float s : signs) {
    if (s != 1.0f && s != -1.0f) return std::string(name) + " holds a value other than +1 or -1";
  }
  return {};
}

}  // namespace norvex::quantizer::checks
