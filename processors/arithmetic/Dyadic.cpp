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

#if RK_AVX2_PATH
// a where a is NaN, else b: the second operand of a sum or product whose NaN is then a's on every
// path (see addFirstNaN).
[[gnu::target("avx2")]] inline __m256 firstNaN(__m256 a, __m256 b) {
  return _mm256_blendv_ps(b, a, _mm256_cmp_ps(a, a, _CMP_UNORD_Q));
}
#endif

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
      return static_cast<O>(addFirstNaN(C(a), C(b)));
  }
#if RK_AVX2_PATH
  [[gnu::target("avx2")]] static __m256i vec(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
  [[gnu::target("avx2")]] static __m256 vec(__m256 a, __m256 b) { return _mm256_add_ps(a, firstNaN(a, b)); }
#endif
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
#if RK_AVX2_PATH
  [[gnu::target("avx2")]] static __m256i vec(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }
  [[gnu::target("avx2")]] static __m256 vec(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
#endif
};

struct Mult {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    using C = Compute<O, A, B>;
    if constexpr (std::is_same_v<O, uint8_t>) {
      // The low 8 bits of the product of the converted operands; written on bytes, so that the
      // vectoriser multiplies in 16-bit lanes rather than 32-bit ones.
      const uint8_t x = convert<O>(a), y = convert<O>(b);
      return uint8_t(x * y);
    } else if constexpr (isInteger<O>) {
      return wrap<O>(uint32_t(convert<O>(a)) * uint32_t(convert<O>(b)));
    } else {
      return static_cast<O>(mulFirstNaN(C(a), C(b)));
    }
  }
#if RK_AVX2_PATH
  // The low byte of each 16-bit product is the product of the even bytes; the odd bytes, shifted
  // down, give theirs the same way.
  [[gnu::target("avx2")]] static __m256i vec(__m256i a, __m256i b) {
    const __m256i even = _mm256_and_si256(_mm256_mullo_epi16(a, b), _mm256_set1_epi16(0xff));
    const __m256i odd = _mm256_mullo_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
    return _mm256_or_si256(even, _mm256_slli_epi16(odd, 8));
  }
  [[gnu::target("avx2")]] static __m256 vec(__m256 a, __m256 b) { return _mm256_mul_ps(a, firstNaN(a, b)); }
#endif
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
#if RK_AVX2_PATH
  [[gnu::target("avx2")]] static __m256i vec(__m256i a, __m256i b) {
    return _mm256_sub_epi8(_mm256_max_epu8(a, b), _mm256_min_epu8(a, b));
  }
  // -d where d < 0, by flipping the sign bit there alone: NaN and -0 keep theirs, as above.
  [[gnu::target("avx2")]] static __m256 vec(__m256 a, __m256 b) {
    const __m256 d = _mm256_sub_ps(a, b);
    const __m256 negative = _mm256_cmp_ps(d, _mm256_setzero_ps(), _CMP_LT_OQ);
    return _mm256_xor_ps(d, _mm256_and_ps(negative, _mm256_set1_ps(-0.0f)));
  }
#endif
};

template <class Op, class A, class B, class O>
void elementwiseRun(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  for (int32_t k = 0; k < n; ++k) out[k] = Op::template apply<O>(a[k], b[k]);
}

template <class Op, class A, class B, class O>
void elementwise(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  if constexpr (std::is_same_v<A, O> && std::is_same_v<B, O> &&
                (std::is_same_v<O, uint8_t> || std::is_same_v<O, float>)) {
    if (const int32_t done = streamPairs(a, b, out, n, Op{}); done > 0) {
      elementwiseRun<Op>(a + done, b + done, out + done, n - done);
      return;
    }
  }
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
// 8-bit quotients of 8-bit operands, 32 at a time, without a division. For 1 <= b <= 255 and any r in
// [1/b, (1/b)(1 + 2^-9)], the float product a * r truncates to the quotient q of a / b: it is at
// least a / b (the rounding to float cannot pass below the integer q), and at most
// a / b + a / (512 b) <= q + (b - 1) / b + 1 / (2b) = q + 1 - 1 / (2b), with rounding errors of 2^-16
// at most below 256. The reciprocal estimate lies within 1.5 * 2^-12 of 1/b; raised by 2^-11, it
// falls inside that interval.
//
// The 32 bytes are read as 8 dwords and divided byte field by byte field, so that the quotients go
// back into their fields with shifts alone: no widening or packing shuffles, which would all queue
// for one port. Divisors are nonzero.

// Byte field `shift / 8` of each dword lane, as a float.
template <int shift>
[[gnu::target("avx2")]] inline __m256 byteField(__m256i x) {
  const __m256i v = _mm256_srli_epi32(x, shift);
  return _mm256_cvtepi32_ps(shift == 24 ? v : _mm256_and_si256(v, _mm256_set1_epi32(0xff)));
}

// The quotients of byte field `shift / 8`, moved back into that field.
template <int shift>
[[gnu::target("avx2")]] inline __m256i fieldQuotients(__m256i a, __m256i b) {
  const __m256 r = _mm256_mul_ps(_mm256_rcp_ps(byteField<shift>(b)), _mm256_set1_ps(1.0f + 1.0f / 2048));
  return _mm256_slli_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(byteField<shift>(a), r)), shift);
}

// The interval above rests on the estimate's documented error bound; a processor (or emulator)
// outside it is caught here once, on all 255 divisors, and divides on the baseline path instead.
// Products of a float and a byte are exact in double.
[[gnu::target("avx2")]] inline bool checkReciprocals() {
  for (int b = 1; b < 256; b += 8) {
    alignas(32) float r[8];
    const __m256 fb = _mm256_setr_ps(float(b), float(b + 1), float(b + 2), float(b + 3), float(b + 4), float(b + 5),
                                     float(b + 6), float(b + 7));
    _mm256_store_ps(r, _mm256_mul_ps(_mm256_rcp_ps(fb), _mm256_set1_ps(1.0f + 1.0f / 2048)));
    for (int j = 0; j < 8; ++j) {
      const double product = double(r[j]) * double(b + j);
      if (!(product >= 1.0 && product <= 1.0 + 1.0 / 512)) return false;
    }
  }
  return true;
}

inline bool reciprocalsInBounds() {
  static const bool inBounds = checkReciprocals();
  return inBounds;
}

// Divides from the start until the first 32 elements that hold a zero divisor, which it leaves
// unwritten, or until fewer than 32 remain; returns how many elements it wrote. Testing each 32
// divisors just before their quotients are stored spares a separate pass over the divisors. The
// operands are prefetched 4 KiB ahead: without that the loop waited on memory a third of its time.
template <bool Stream>
[[gnu::target("avx2")]] inline int32_t divideBytesAvx2(const uint8_t* __restrict a, const uint8_t* __restrict b,
                                                       uint8_t* __restrict out, int32_t n) {
  int32_t k = 0;
  for (; k + 32 <= n; k += 32) {
    prefetchAhead<4096>(a + k);
    prefetchAhead<4096>(b + k);
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(vb, _mm256_setzero_si256())) != 0) break;
    store32<Stream>(out + k, _mm256_or_si256(_mm256_or_si256(fieldQuotients<0>(va, vb), fieldQuotients<8>(va, vb)),
                                             _mm256_or_si256(fieldQuotients<16>(va, vb), fieldQuotients<24>(va, vb))));
  }
  return k;
}

// Float quotients of float operands on large outputs, 8 at a time, streamed, with the operands
// prefetched, until the first 8 that hold a zero or NaN divisor (unordered or equal to 0), which it
// leaves unwritten; returns how many elements it wrote. The division is the element loop's.
[[gnu::target("avx2")]] inline int32_t divideFloatsAvx2(const float* __restrict a, const float* __restrict b,
                                                        float* __restrict out, int32_t n) {
  int32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    prefetchAhead<4096>(a + k);
    prefetchAhead<4096>(b + k);
    const __m256 vb = _mm256_loadu_ps(b + k);
    if (_mm256_movemask_ps(_mm256_cmp_ps(vb, _mm256_setzero_ps(), _CMP_EQ_UQ)) != 0) break;
    _mm256_stream_ps(out + k, _mm256_div_ps(_mm256_loadu_ps(a + k), vb));
  }
  return k;
}
#endif

// Division in blocks of 1 KiB of the widest operand: each block is first searched for a refused
// divisor (a vectorised test over the whole block), then divided. A refused element ends the run
// after every quotient before it is written. Blocks this small keep the two passes as fast as one
// over memory; at 8 KiB the second pass ran some 20% behind. 8-bit operands on the AVX2 path, and
// large float ones, are divided first as far as they go without a refused divisor, and the blocks
// take over from there.
template <class A, class B, class O>
void divideMatrix(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  constexpr int32_t kBlock = 1024 / int32_t(std::max({sizeof(A), sizeof(B), sizeof(O)}));
  [[maybe_unused]] constexpr bool bytes =
      std::is_same_v<A, uint8_t> && std::is_same_v<B, uint8_t> && std::is_same_v<O, uint8_t>;
  [[maybe_unused]] bool stream = false;
  int32_t start = 0;
#if RK_AVX2_PATH
  if constexpr (bytes) {
    if (avx2Path() && reciprocalsInBounds()) {
      stream = std::size_t(n) >= kStreamBytes && headToAlign(out) == 0;
      start = stream ? divideBytesAvx2<true>(a, b, out, n) : divideBytesAvx2<false>(a, b, out, n);
    }
  } else if constexpr (std::is_same_v<A, float> && std::is_same_v<B, float> && std::is_same_v<O, float>) {
    stream = std::size_t(n) * sizeof(float) >= kStreamBytes && headToAlign(out) == 0 && avx2Path();
    if (stream) start = divideFloatsAvx2(a, b, out, n);
  }
#endif
  for (int32_t base = start; base < n; base += kBlock) {
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
      if (stream) streamFence();
      fail(kDivByZero);
    }
    divideRun(ba, bb, bo, m);
  }
  if (stream) streamFence();
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
