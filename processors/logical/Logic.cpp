// Bit-wise AND and OR of the 8-bit values of two image streams, and the two-level inversion.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "frame/Frame.h"

namespace rk {
namespace {

// ---- AND, OR -----------------------------------------------------------------------------------

struct And {
  static uint8_t apply(uint8_t a, uint8_t b) { return a & b; }
};
struct Or {
  static uint8_t apply(uint8_t a, uint8_t b) { return a | b; }
};

constexpr int32_t kBlock = 1024;

// Each operand is reduced from its own type to 8 bits (never to the output type first), so the
// result is the same 0..255 value on every output type.
template <class Op, class A, class B, class O>
void combine(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  if constexpr (isInteger<A> && isInteger<B>) {
    for (int32_t k = 0; k < n; ++k) out[k] = convert<O>(Op::apply(convert<uint8_t>(a[k]), convert<uint8_t>(b[k])));
  } else {
    // Floating operands are reduced a block at a time, where the truncation vectorises.
    uint8_t ra[kBlock], rb[kBlock];
    for (int32_t start = 0; start < n; start += kBlock) {
      const int32_t m = std::min(kBlock, n - start);
      convertRun(a + start, ra, m);
      convertRun(b + start, rb, m);
      for (int32_t k = 0; k < m; ++k) out[start + k] = convert<O>(Op::apply(ra[k], rb[k]));
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
