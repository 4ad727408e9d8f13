// Weighted mix of two image streams: f * a + (1 - f) * b, formed in double from the unconverted inputs.
#include <algorithm>
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

// Mixes in blocks small enough to stay in the first-level cache, so that integer outputs can take
// the vectorised conversion of a whole block.
constexpr int32_t kBlock = 1024;

// The largest magnitude an element of T can have.
template <class T>
constexpr double largest() {
  if constexpr (isFloating<T>)
    return std::numeric_limits<double>::infinity();
  else if constexpr (std::is_same_v<T, uint8_t>)
    return 255.0;
  else
    return 2147483648.0;
}

#if RK_AVX2_PATH
// Eight float mixes in a register for large float outputs (streamPairs): each half widened to
// double, mixed as the element loop does, and rounded back.
struct FloatMix {
  double f, g;
  [[gnu::target("avx2")]] static __m256d mix(__m128 a, __m128 b, __m256d f, __m256d g) {
    const __m256d p = _mm256_mul_pd(g, _mm256_cvtps_pd(b)), q = _mm256_mul_pd(f, _mm256_cvtps_pd(a));
    return _mm256_add_pd(p, _mm256_blendv_pd(q, p, _mm256_cmp_pd(p, p, _CMP_UNORD_Q)));  // addFirstNaN
  }
  [[gnu::target("avx2")]] __m256 vec(__m256 a, __m256 b) const {
    const __m256d vf = _mm256_set1_pd(f), vg = _mm256_set1_pd(g);
    const __m128 low = _mm256_cvtpd_ps(mix(_mm256_castps256_ps128(a), _mm256_castps256_ps128(b), vf, vg));
    const __m128 high = _mm256_cvtpd_ps(mix(_mm256_extractf128_ps(a, 1), _mm256_extractf128_ps(b, 1), vf, vg));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
  }
};
#endif

template <class A, class B, class O>
void blend(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n, double f, double g) {
  if constexpr (isFloating<O>) {
    // A NaN weight makes every mix the NaN of 1 - f, the first product's, whatever the operands.
    if (f != f) {
      std::fill(out, out + n, static_cast<O>(g));
      return;
    }
#if RK_AVX2_PATH
    if constexpr (std::is_same_v<A, float> && std::is_same_v<B, float> && std::is_same_v<O, float>) {
      const int32_t done = streamPairs(a, b, out, n, FloatMix{f, g});
      a += done;
      b += done;
      out += done;
      n -= done;
    }
#endif
    for (int32_t k = 0; k < n; ++k) out[k] = static_cast<O>(addFirstNaN(g * double(b[k]), f * double(a[k])));
  } else {
    // Weights that keep every mix these input types can form below 2^30 (two 8-bit inputs with any
    // ordinary weight) need no range test before the 32-bit truncation; infinite or NaN bounds do.
    if (std::fabs(f) * largest<A>() + std::fabs(g) * largest<B>() < 1073741824.0) {
      for (int32_t k = 0; k < n; ++k) out[k] = convert<O>(static_cast<int32_t>(g * double(b[k]) + f * double(a[k])));
      return;
    }
    double mix[kBlock];
    for (int32_t start = 0; start < n; start += kBlock) {
      const int32_t m = std::min(kBlock, n - start);
      for (int32_t k = 0; k < m; ++k) mix[k] = g * double(b[start + k]) + f * double(a[start + k]);
      convertRun(mix, out + start, m);
    }
  }
}

// Two 8-bit inputs give 65536 pairs, so a float mix can be checked against the double one in advance:
// when every pair gives the same output (weights such as 0.5 or 0.25, with exact products), the mix
// runs in float at twice the width. Weights with inexact products (0.3) round differently for some
// pairs and keep the double mix. The check costs about as much as mixing 2^17 elements, and is made
// once a run, for the first matrix large enough to repay it.
template <class O>
class ByteMix {
public:
  static constexpr int32_t kWorthChecking = 1 << 20;

  // Mixes a whole matrix in float if that gives the double mix's output; false otherwise.
  bool run(const uint8_t* __restrict a, const uint8_t* __restrict b, O* __restrict out, int32_t n, double f, double g) {
    if (state_ == State::Unchecked && n >= kWorthChecking) state_ = check(f, g) ? State::Float : State::Double;
    if (state_ != State::Float) return false;
    const float ff = float(f), fg = float(g);
    for (int32_t k = 0; k < n; ++k) out[k] = convert<O>(static_cast<int32_t>(fg * float(b[k]) + ff * float(a[k])));
    return true;
  }

private:
  enum class State { Unchecked, Float, Double };

  static bool check(double f, double g) {
    // Weights whose mixes could leave the 32-bit range keep the double mix's range tests.
    if (!(std::fabs(f) * 255.0 + std::fabs(g) * 255.0 < 1073741824.0)) return false;
    const float ff = float(f), fg = float(g);
    int32_t differ = 0;
    for (int32_t x = 0; x < 256; ++x)
      for (int32_t y = 0; y < 256; ++y)
        differ |=
            static_cast<int32_t>(g * double(y) + f * double(x)) ^ static_cast<int32_t>(fg * float(y) + ff * float(x));
    return differ == 0;
  }

  State state_ = State::Unchecked;
};

}  // namespace
}  // namespace rk

RK_ENTRY(_BlendImage) {
  return rk::dispatch<rk::In<0>, rk::In<1>, rk::Out<0>>([]<class A, class B, class O>() {
    // The weight is used unrounded and unlimited; outside 0..1 the mix extrapolates.
    double f = 0, g = 0;
    [[maybe_unused]] rk::ByteMix<O> bytes;
    rk::runDyadic<A, B, O>(
        [&] {
          f = Parameter::kxGetParameter(0).dblVal;
          g = 1.0 - f;
        },
        [&](const A* a, const B* b, O* out, int32_t n) {
          if constexpr (std::is_same_v<A, uint8_t> && std::is_same_v<B, uint8_t> && rk::isInteger<O>) {
            if (bytes.run(a, b, out, n, f, g)) return;
          }
          rk::blend(a, b, out, n, f, g);
        });
  });
}
