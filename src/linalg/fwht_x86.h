// Internal to src/linalg/: the SIMD forms of the FWHT, bit-identical to the scalar one.
#pragma once

#include <cstddef>

namespace norvex::linalg::detail {

// In-place FWHT of p[0..n). fwht_avx512 needs n >= 16 and AVX-512F; fwht_avx2 needs n >= 8
// and AVX2. Both are empty stubs when the build is not for x86-64.
void fwht_avx512(float* p, std::size_t n);
void fwht_avx2(float* p, std::size_t n);

// Which form fwht runs: 2 = AVX-512, 1 = AVX2, 0 = scalar (decided once per process).
int fwht_simd_level();

}  // namespace norvex::linalg::detail
