// Element-wise arithmetic of two image streams: add, subtract, multiply, divide, absolute difference.
//
// Integer outputs convert both operands to the output type first and wrap (uint32_t arithmetic cut
// to 8 or 32 bits); float and double outputs compute in double from the unconverted inputs and
// round once when storing.
#include <algorithm>
#include <cstdint>

#include "frame/Frame.h"
#include "frame/Streaming.h"

#if RK_AVX2_PATH
#include <immintrin.h>
#endif

namespace rk {
namespace {

constexpr const char* kDivByZero = "Division durch 0; der Datenstrom am 2. Input-Pin enth\xe4lt Elemente vom Wert 0.";

// Float outputs of 8-bit and float operands are computed in float. Both operands are exact in float,
// and a sum, difference, product or quotient rounded first to double and then to float equals the one
// rounded to float at once: double's 53 bits are at least twice float's 24 plus two, which makes the
// double rounding innocuous (and the double range holds every float result, subnormal or overflowing).
template <class T>
constexpr bool exactInFloat = std::is_same_v<T, uint8_t> || std::is_same_v<T, float>;
template <class O, class A, class B>
constexpr bool inFloat = std::is_same_v<O, float> && (exactInFloat<A> && exactInFloat<B>);

// The type floating results are computed in.
template <class O, class A, class B>
using Compute = std::conditional_t<inFloat<O, A, B>, float, double>;

struct Add {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    using C = Compute<O, A, B>;
    if constexpr (isInteger<O>)
      return wrap<O>(uint32_t(convert<O>(a)) + uint32_t(convert<O>(b)));
    else
      return static_cast<O>(C(a) + C(b));
  }
};

struct Sub {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    using C = Compute<O, A, B>;
    if constexpr (isInteger<O>)
      return wrap<O>(uint32_t(convert<O>(a)) - uint32_t(convert<O>(b)));
    else
      return static_cast<O>(C(a) - C(b));
  }
};

struct Mult {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    using C = Compute<O, A, B>;
    if constexpr (isInteger<O>)
      return wrap<O>(uint32_t(convert<O>(a)) * uint32_t(convert<O>(b)));
    else
      return static_cast<O>(C(a) * C(b));
  }
};

struct AbsDiff {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    using C = Compute<O, A, B>;
    if constexpr (std::is_same_v<O, uint8_t>) {
      // Both converted operands lie in 0..255, so the difference is taken in bytes.
      const uint8_t x = convert<O>(a), y = convert<O>(b);
      return uint8_t(std::max(x, y) - std::min(x, y));
    } else if constexpr (isInteger<O>) {
      uint32_t ua = uint32_t(convert<O>(a)), ub = uint32_t(convert<O>(b));
      // The difference is formed as a signed 32-bit value, wrapping; -2^31 stays -2^31.
      int32_t d = low32(ua - ub);
      return wrap<O>(d < 0 ? ub - ua : uint32_t(d));
    } else {
      C d = C(a) - C(b);
      return static_cast<O>(d < 0 ? -d : d);
    }
  }
};

template <class Op, class A, class B, class O>
void elementwiseRun(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  for (int32_t k = 0; k < n; ++k) out[k] = Op::template apply<O>(a[k], b[k]);
}

template <class Op, class A, class B, class O>
void elementwise(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  if constexpr (std::is_same_v<A, uint8_t> && std::is_same_v<B, uint8_t> && std::is_same_v<O, uint8_t>) {
    if (streamed(out, n,
                 [=](int32_t base, uint8_t* block, int32_t m) { elementwiseRun<Op>(a + base, b + base, block, m); }))
      return;
  }
  elementwiseRun<Op>(a, b, out, n);
}

// Whether the division a / b is one the output type cannot form. The divisor is tested in its own
// type (a NaN counts as zero); integer outputs also refuse a divisor that converts to 0 (0.5, or
// 256 on an 8-bit output) and -2^31 / -1, whose quotient does not exist in 32 bits.
template <class O, class A, class B>
bool badDivision(A a, B b) {
  // Bitwise rather than short-circuit tests, so that a block of them vectorises.
  bool bad = !((b < B(0)) | (b > B(0)));
  if constexpr (isInteger<O>) {
    const O db = convert<O>(b);
    bad = bad | (db == O(0));
    if constexpr (std::is_same_v<O, int32_t>) bad = bad | ((db == -1) & (convert<O>(a) == INT32_MIN));
  }
  return bad;
}

// Integer quotients are taken from a floating division, which vectorises where integer division
// does not. Truncating the correctly rounded quotient x / y gives the integer quotient whenever
// |x| < 2^p for a p-bit significand: the exact quotient lies at least 1/|y| below the next integer
// away from zero, and the rounding error is at most 2^-p |x / y| < 1/|y|. Both 8-bit operands
// (0..255) fit float's 24 bits, 32-bit ones double's 53 bits.
template <class O, class A, class B>
O divide(A a, B b) {
  if constexpr (std::is_same_v<O, uint8_t>)
    return static_cast<uint8_t>(static_cast<int32_t>(float(convert<O>(a)) / float(convert<O>(b))));
  else if constexpr (isInteger<O>)
    return static_cast<O>(double(convert<O>(a)) / double(convert<O>(b)));
  else
    return static_cast<O>(Compute<O, A, B>(a) / Compute<O, A, B>(b));
}

template <class A, class B, class O>
void divideRun(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  for (int32_t k = 0; k < n; ++k) out[k] = divide<O>(a[k], b[k]);
}

#if RK_AVX2_PATH
// 8-bit quotients of 8-bit operands from the reciprocal estimate, 32 at a time. The estimate's relative
// error (at most 1.5 * 2^-12) moves a / b by less than 0.1, so its truncation is the quotient q or one
// off, and the remainder a - q * b (exact in 16 bits) tells which: at least b means one more, below
// zero one fewer. Divisors are nonzero.

// Truncated estimates of 8 quotients, as 32-bit lanes.
[[gnu::target("avx2")]] inline __m256i estimate8(const uint8_t* a, const uint8_t* b) {
  const __m256 fa = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a))));
  const __m256 fb = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b))));
  return _mm256_cvttps_epi32(_mm256_mul_ps(fa, _mm256_rcp_ps(fb)));
}

// Truncated estimates of 16 quotients, as 16-bit lanes in element order. The pack interleaves the
// 128-bit halves; the permutation puts the lanes back in order.
[[gnu::target("avx2")]] inline __m256i estimate16(const uint8_t* a, const uint8_t* b) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi32(estimate8(a, b), estimate8(a + 8, b + 8)), 0xd8);
}

[[gnu::target("avx2")]] inline __m256i quotient16(const uint8_t* a, const uint8_t* b) {
  const __m256i q = estimate16(a, b);
  const __m256i a16 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)));
  const __m256i b16 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
  const __m256i r = _mm256_sub_epi16(a16, _mm256_mullo_epi16(q, b16));
  // Comparison masks are -1 where true.
  const __m256i over = _mm256_cmpgt_epi16(r, _mm256_sub_epi16(b16, _mm256_set1_epi16(1)));
  const __m256i under = _mm256_cmpgt_epi16(_mm256_setzero_si256(), r);
  return _mm256_add_epi16(_mm256_sub_epi16(q, over), under);
}

[[gnu::target("avx2")]] inline void divideBytesAvx2(const uint8_t* __restrict a, const uint8_t* __restrict b,
                                                    uint8_t* __restrict out, int32_t n) {
  int32_t k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256i bytes = _mm256_packus_epi16(quotient16(a + k, b + k), quotient16(a + k + 16, b + k + 16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_permute4x64_epi64(bytes, 0xd8));
  }
  divideRun(a + k, b + k, out + k, n - k);
}
#endif

// Division in blocks that stay in the first-level cache: each block is first searched for a refused
// divisor (a vectorised test over the whole block), then divided. A refused element ends the run
// after every quotient before it is written.
template <class A, class B, class O>
void divideMatrix(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  constexpr int32_t kBlock = 2048;
  [[maybe_unused]] constexpr bool bytes =
      std::is_same_v<A, uint8_t> && std::is_same_v<B, uint8_t> && std::is_same_v<O, uint8_t>;
  [[maybe_unused]] bool wide = false;
#if RK_AVX2_PATH
  if constexpr (bytes) wide = avx2Path();
#endif
  for (int32_t base = 0; base < n; base += kBlock) {
    const int32_t m = std::min(kBlock, n - base);
    const A* ba = a + base;
    const B* bb = b + base;
    O* bo = out + base;
    // The flags are collected at the operands' width, so that the test of 8-bit operands stays in bytes.
    using Flag = std::conditional_t<sizeof(A) == 1 && sizeof(B) == 1, uint8_t, int32_t>;
    Flag bad = 0;
    for (int32_t k = 0; k < m; ++k) bad |= Flag(badDivision<O>(ba[k], bb[k]));
    if (bad != 0) {
      int32_t valid = 0;
      while (!badDivision<O>(ba[valid], bb[valid])) ++valid;
      divideRun(ba, bb, bo, valid);
      fail(kDivByZero);
    }
#if RK_AVX2_PATH
    if constexpr (bytes) {
      if (wide) {
        divideBytesAvx2(ba, bb, bo, m);
        continue;
      }
    }
#endif
    divideRun(ba, bb, bo, m);
  }
}

template <class Op>
int runElementwise() {
  return dispatch<In<0>, In<1>, Out<0>>([]<class A, class B, class O>() {
    runDyadic<A, B, O>([](const A* a, const B* b, O* out, int32_t n) { elementwise<Op>(a, b, out, n); });
  });
}

}  // namespace
}  // namespace rk

RK_ENTRY(_AddImage) { return rk::runElementwise<rk::Add>(); }
RK_ENTRY(_SubImage) { return rk::runElementwise<rk::Sub>(); }
RK_ENTRY(_MultImage) { return rk::runElementwise<rk::Mult>(); }
RK_ENTRY(_AbsDiffImage) { return rk::runElementwise<rk::AbsDiff>(); }

RK_ENTRY(_DivImage) {
  return rk::dispatch<rk::In<0>, rk::In<1>, rk::Out<0>>([]<class A, class B, class O>() {
    rk::runDyadic<A, B, O>([](const A* a, const B* b, O* out, int32_t n) { rk::divideMatrix(a, b, out, n); });
  });
}
