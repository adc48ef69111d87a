// The seeded random rotation: random signs followed by a normalised Walsh-Hadamard transform
// in the dimension rounded up to a power of two (SRHT), and the seed-to-signs generator.
//
// All arithmetic is 32-bit float in a fixed order, so results are reproducible bit for bit.
// Length violations are internal faults: the quantizers always pass buffers sized from their
// own d and n.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace norvex::linalg {

// Largest dimension a quantizer accepts, from its creator or from stored data: far above any
// real embedding, and small enough that n, n * bits and n * levels cannot overflow.
inline constexpr std::uint64_t kMaxDim = std::uint64_t{1} << 32;

// Smallest power of two >= d; 1 when d < 2. Faults when d > 2^63 (no such power of two).
std::size_t padded_dim(std::size_t d);

// In-place unnormalised fast Walsh-Hadamard transform. Faults with
// "FWHT requires power-of-2 length" unless v.size() is a power of two (0 included).
// Runs AVX-512 or AVX2 code when the CPU has it, with the same results bit for bit.
void fwht(std::span<float> v);
// The plain form of fwht on p[0..n) (n a power of two): the reference the SIMD forms match.
void fwht_scalar(float* p, std::size_t n);

// Forward rotation: out (length padded_dim(x.size())) = (1/sqrt n) * H * D * pad(x).
// `signs` needs at least n entries.
void srht(std::span<const float> x, std::span<const float> signs, std::span<float> out);

// Inverse rotation: writes the first out.size() coordinates of D * (1/sqrt n) * H * y, where
// y.size() must equal padded_dim(out.size()). Uses the calling thread's scratch buffer and
// allocates nothing once that buffer has grown to n.
void srht_inverse(std::span<const float> y, std::span<const float> signs, std::span<float> out);

// n signs (+1.0f / -1.0f) drawn from ChaCha12 keyed by the PCG32 expansion of `seed`.
// The same seed always gives the same signs; different lengths share their common prefix.
std::vector<float> random_sign_vector(std::size_t n, std::uint64_t seed);

// The ChaCha block function (original layout: constants, 8 key words, 64-bit block counter
// in words 12-13, 64-bit stream number in words 14-15) with `rounds` rounds (12 for the
// sign generator). Exposed for known-answer tests.
void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  int rounds, std::uint32_t out[16]);

// The 32-byte ChaCha key expanded from a 64-bit seed with the PCG32 output function.
void pcg32_expand_seed(std::uint64_t seed, std::uint8_t key[32]);

}  // namespace norvex::linalg
