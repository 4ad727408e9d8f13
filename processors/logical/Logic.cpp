// Bit-wise AND and OR of the 8-bit values of two image streams, and the two-level inversion.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "frame/Frame.h"
#include "frame/Streaming.h"

#if RK_AVX2_PATH
#include <immintrin.h>
#endif

namespace rk {
namespace {

// ---- AND, OR -----------------------------------------------------------------------------------

struct And {
  static uint8_t apply(uint8_t a, uint8_t b) { return a & b; }
  static int32_t apply32(int32_t a, int32_t b) { return a & b; }
#if RK_AVX2_PATH
  [[gnu::target("avx2")]] static __m256i vec(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
#endif
};
struct Or {
  static uint8_t apply(uint8_t a, uint8_t b) { return a | b; }
  static int32_t apply32(int32_t a, int32_t b) { return a | b; }
#if RK_AVX2_PATH
  [[gnu::target("avx2")]] static __m256i vec(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
#endif
};

constexpr int32_t kBlock = 1024;

// The 32-bit truncation of v if v lies inside the 32-bit range (see convertRun), where its low 8 bits
// are v's 8-bit value, else 0; `inside` says which. Outside values are cleared bitwise rather than
// selected, which keeps the compiler from branching on them.
template <class T>
int32_t truncated32(T v, bool& inside) {
  if constexpr (isInteger<T>) {
    inside = true;
    return static_cast<int32_t>(v);
  } else {
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    inside = (v >= T(-2147483520.0)) & (v < T(2147483520.0));
    return static_cast<int32_t>(std::bit_cast<T>(std::bit_cast<Bits>(v) & (Bits(0) - Bits(inside))));
  }
}

// Combines the 32-bit truncations in one vectorised pass; false if an operand lies outside the 32-bit
// range, and the run must be redone another way (operands outside are taken as 0, so that no
// conversion overflows).
template <class Op, class A, class B, class O>
bool combineIn32(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  int32_t inside = 0;
  for (int32_t k = 0; k < n; ++k) {
    bool ia, ib;
    const int32_t x = truncated32(a[k], ia), y = truncated32(b[k], ib);
    inside += ia & ib;
    out[k] = convert<O>(uint8_t(Op::apply32(x, y) & 0xff));
  }
  return inside == n;
}

#if RK_AVX2_PATH
// Float operands and output in registers, for large outputs (streamPairs). The hardware truncation
// of a float outside the 32-bit range (or a NaN) gives 0x80000000, whose low 8 bits, 0, are the
// operand's own: floats of magnitude 2^31 and more are multiples of 256, and convert gives 0 for
// NaN, infinities and from 2^63. So no operand needs the range test of combineIn32.
template <class Op>
struct FloatBits {
  [[gnu::target("avx2")]] static __m256 vec(__m256 a, __m256 b) {
    const __m256i bits = Op::vec(_mm256_cvttps_epi32(a), _mm256_cvttps_epi32(b));
    return _mm256_cvtepi32_ps(_mm256_and_si256(bits, _mm256_set1_epi32(0xff)));
  }
};
#endif

// Each operand is reduced from its own type to 8 bits (never to the output type first), so the
// result is the same 0..255 value on every output type.
template <class Op, class A, class B, class O>
void combine(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  if constexpr (isInteger<A> && isInteger<B>) {
    int32_t k = 0;
    if constexpr (std::is_same_v<A, uint8_t> && std::is_same_v<B, uint8_t> && std::is_same_v<O, uint8_t>)
      k = streamPairs(a, b, out, n, Op{});
    for (; k < n; ++k) out[k] = convert<O>(Op::apply(convert<uint8_t>(a[k]), convert<uint8_t>(b[k])));
  } else {
    // Floating operands are taken a block at a time: the 32-bit truncations combined in one pass, and
    // a block with an operand outside the 32-bit range done again with each operand reduced by
    // convertRun first.
    int32_t done = 0;
#if RK_AVX2_PATH
    if constexpr (std::is_same_v<A, float> && std::is_same_v<B, float> && std::is_same_v<O, float>)
      done = streamPairs(a, b, out, n, FloatBits<Op>{});
#endif
    uint8_t ra[kBlock], rb[kBlock];
    for (int32_t start = done; start < n; start += kBlock) {
      const int32_t m = std::min(kBlock, n - start);
      const A* ba = a + start;
      const B* bb = b + start;
      O* bo = out + start;
      if (!combineIn32<Op>(ba, bb, bo, m)) {
        convertRun(ba, ra, m);
        convertRun(bb, rb, m);
        for (int32_t k = 0; k < m; ++k) bo[k] = convert<O>(Op::apply(ra[k], rb[k]));
      }
    }
  }
}

template <class Op>
int runLogic() {
  return dispatch<In<0>, In<1>, Out<0>>([]<class A, class B, class O>() {
    runDyadic<A, B, O>([](const A* a, const B* b, O* out, int32_t n) { combine<Op>(a, b, out, n); });
  });
}

// ---- NOT ---------------------------------------------------------------------------------------

// Start values of the running extremes. The maximum starts at the negated largest value, so a
// 32-bit matrix holding only -2^31 never moves it from -2147483647.
template <class T>
constexpr T minStart() {
  return std::numeric_limits<T>::max();
}
template <class T>
constexpr T maxStart() {
  if constexpr (std::is_same_v<T, uint8_t>)
    return 0;
  else
    return -std::numeric_limits<T>::max();
}

// The first element comparing equal to v: the one a serial scan with strict comparisons keeps, which
// differs from v only in the sign of a zero.
template <class I>
I firstEqual(const I* in, int32_t n, I v) {
  if constexpr (isFloating<I>) {
    if (v == I(0))
      for (int32_t k = 0; k < n; ++k)
        if (in[k] == v) return in[k];
  }
  (void)in;
  (void)n;
  return v;
}

// Elements below the matrix maximum become the maximum, the others the minimum. The extremes are
// kept in the input type with strict comparisons, so a NaN never becomes one and the first of two
// equal-comparing values (+0 and -0) stays. The scan keeps the extremes in kLanes independent lanes,
// which vectorises where one running extreme of floating values cannot; the lanes agree with the
// serial scan on the value, and firstEqual settles the sign of a zero.
template <class I, class O>
void invert(const I* __restrict in, O* __restrict out, int32_t n) {
  constexpr int32_t kLanes = 32;
  I lo[kLanes], hi[kLanes];
  for (int32_t j = 0; j < kLanes; ++j) {
    lo[j] = minStart<I>();
    hi[j] = maxStart<I>();
  }
  int32_t k = 0;
  for (; k + kLanes <= n; k += kLanes)
    for (int32_t j = 0; j < kLanes; ++j) {
      const I v = in[k + j];
      lo[j] = v < lo[j] ? v : lo[j];
      hi[j] = v > hi[j] ? v : hi[j];
    }
  for (int32_t j = 0; k + j < n; ++j) {
    const I v = in[k + j];
    lo[j] = v < lo[j] ? v : lo[j];
    hi[j] = v > hi[j] ? v : hi[j];
  }
  I minimum = lo[0], maximum = hi[0];
  for (int32_t j = 1; j < kLanes; ++j) {
    minimum = lo[j] < minimum ? lo[j] : minimum;
    maximum = hi[j] > maximum ? hi[j] : maximum;
  }
  minimum = firstEqual(in, n, minimum);
  maximum = firstEqual(in, n, maximum);
  const O outLo = convert<O>(minimum), outHi = convert<O>(maximum);
  for (int32_t i = 0; i < n; ++i) out[i] = in[i] < maximum ? outHi : outLo;
}

}  // namespace
}  // namespace rk

RK_ENTRY(_AndImage) { return rk::runLogic<rk::And>(); }
RK_ENTRY(_OrImage) { return rk::runLogic<rk::Or>(); }

RK_ENTRY(_NotImage) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>(
      []<class I, class O>() { rk::runMonadic<I, O>([](const I* in, O* out, int32_t n) { rk::invert(in, out, n); }); });
}
