// Binarisation against one fixed threshold: every element becomes the upper or the lower value.
#include <cmath>
#include <cstdint>
#include <limits>

#include "frame/Frame.h"
#include "frame/Streaming.h"

#if RK_AVX2_PATH
#include <immintrin.h>
#endif

namespace rk {
namespace {

// The threshold an element of type I is compared with. It is first brought into the input type
// (an 8-bit input sees the truncated value modulo 256, a 32-bit input the truncated value), so for
// integer inputs comparing in I is exactly the comparison of the widened element with the widened
// threshold, and it keeps the loop in narrow lanes. Floating inputs compare in double against the
// unrounded parameter value.
template <class I>
using Compare = std::conditional_t<isInteger<I>, I, double>;

template <class I>
Compare<I> effectiveThreshold(double threshold) {
  if constexpr (isInteger<I>)
    return convert<I>(threshold);
  else
    return threshold;
}

// Strict test: an element equal to the threshold is "not below" it; a NaN element compares false
// and so takes the lower value.
template <class I, class O>
void binariseRun(const I* __restrict in, O* __restrict out, int32_t n, Compare<I> threshold, O above, O below) {
  for (int32_t k = 0; k < n; ++k) out[k] = static_cast<Compare<I>>(in[k]) >= threshold ? above : below;
}

// The least float not below t, which a float x reaches exactly when double(x) >= t: compared in
// float, 8 lanes at a time instead of 4. t is not a NaN.
inline float leastFloatFrom(double t) {
  if (t > double(std::numeric_limits<float>::max())) return std::numeric_limits<float>::infinity();
  if (t < -double(std::numeric_limits<float>::max()))
    return std::isinf(t) ? -std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::max();
  const float f = static_cast<float>(t);
  return double(f) < t ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

#if RK_AVX2_PATH
// Registers of 8-bit or float elements against the threshold, for large outputs (streamMap).
struct ByteThreshold {
  uint8_t threshold, above, below;
  // x >= t exactly where max(x, t) is x.
  [[gnu::target("avx2")]] __m256i vec(__m256i x) const {
    const __m256i atLeast = _mm256_cmpeq_epi8(_mm256_max_epu8(x, _mm256_set1_epi8(char(threshold))), x);
    return _mm256_blendv_epi8(_mm256_set1_epi8(char(below)), _mm256_set1_epi8(char(above)), atLeast);
  }
};
struct FloatThreshold {
  float threshold, above, below;
  // A NaN x compares false, as in the element loop.
  [[gnu::target("avx2")]] __m256 vec(__m256 x) const {
    const __m256 atLeast = _mm256_cmp_ps(x, _mm256_set1_ps(threshold), _CMP_GE_OQ);
    return _mm256_blendv_ps(_mm256_set1_ps(below), _mm256_set1_ps(above), atLeast);
  }
};
#endif

template <class I, class O>
void binarise(const I* __restrict in, O* __restrict out, int32_t n, Compare<I> threshold, O above, O below) {
  int32_t k = 0;
#if RK_AVX2_PATH
  if constexpr (std::is_same_v<I, uint8_t> && std::is_same_v<O, uint8_t>) {
    k = streamMap(in, out, n, ByteThreshold{threshold, above, below});
  } else if constexpr (std::is_same_v<I, float> && std::is_same_v<O, float>) {
    // A NaN threshold sends every element below; the element loop does that.
    if (!std::isnan(threshold)) k = streamMap(in, out, n, FloatThreshold{leastFloatFrom(threshold), above, below});
  }
#endif
  binariseRun(in + k, out + k, n - k, threshold, above, below);
}

}  // namespace
}  // namespace rk

RK_ENTRY(_BinImage) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() {
    // The kernel takes the double member whatever variant type the host stored.
    const O above = rk::convert<O>(Parameter::kxGetParameter(0).dblVal);
    const O below = rk::convert<O>(Parameter::kxGetParameter(1).dblVal);
    const auto threshold = rk::effectiveThreshold<I>(Parameter::kxGetParameter(2).dblVal);
    rk::runMonadic<I, O>([&](const I* in, O* out, int32_t n) { rk::binarise(in, out, n, threshold, above, below); });
  });
}
