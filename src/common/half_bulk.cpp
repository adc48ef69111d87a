#include "common/half_bulk.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "common/bytes.h"
#include "common/half.h"

namespace norvex {

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
bool has_f16c() {
  static const bool yes = [] {
    __builtin_cpu_init();
    // clang 14 has no "f16c" for __builtin_cpu_supports; the CPUID bit is the same test.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    const bool f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
    return __builtin_cpu_supports("avx2") && f16c;
  }();
  return yes;
}

__attribute__((target("f16c,avx2"))) void halves_to_doubles_f16c(const std::uint8_t* src,
                                                                 std::size_t count, double* out) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 f =
        _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i)));
    _mm256_storeu_pd(out + i, _mm256_cvtps_pd(_mm256_castps256_ps128(f)));
    _mm256_storeu_pd(out + i + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1)));
  }
  for (; i < count; ++i) out[i] = half_to_float(load_le<std::uint16_t>(src + 2 * i));
}

__attribute__((target("f16c,avx2"))) void floats_to_halves_f16c(const float* src, std::size_t count,
                                                                std::uint8_t* out) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), h);
  }
  for (; i < count; ++i) store_le<std::uint16_t>(out + 2 * i, float_to_half(src[i]));
}
#endif

}  // namespace

void halves_to_doubles(const std::uint8_t* src, std::size_t count, double* out) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_f16c()) return halves_to_doubles_f16c(src, count, out);
#endif
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = half_to_float(load_le<std::uint16_t>(src + 2 * i));
  }
}

void floats_to_halves(const float* src, std::size_t count, std::uint8_t* out) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_f16c()) return floats_to_halves_f16c(src, count, out);
#endif
  for (std::size_t i = 0; i < count; ++i)
    store_le<std::uint16_t>(out + 2 * i, float_to_half(src[i]));
}

}  // namespace norvex
