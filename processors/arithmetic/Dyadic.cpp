// Element-wise arithmetic of two image streams: add, subtract, multiply, divide, absolute difference.
//
// Integer outputs convert both operands to the output type first and wrap (uint32_t arithmetic cut
// to 8 or 32 bits); float and double outputs compute in double from the unconverted inputs and
// round once when storing.
#include <cstdint>

#include "frame/Frame.h"

namespace rk {
namespace {

constexpr const char* kDivByZero = "Division durch 0; der Datenstrom am 2. Input-Pin enth\xe4lt Elemente vom Wert 0.";

struct Add {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    if constexpr (isInteger<O>)
      return wrap<O>(uint32_t(convert<O>(a)) + uint32_t(convert<O>(b)));
    else
      return static_cast<O>(double(a) + double(b));
  }
};

struct Sub {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    if constexpr (isInteger<O>)
      return wrap<O>(uint32_t(convert<O>(a)) - uint32_t(convert<O>(b)));
    else
      return static_cast<O>(double(a) - double(b));
  }
};

struct Mult {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    if constexpr (isInteger<O>)
      return wrap<O>(uint32_t(convert<O>(a)) * uint32_t(convert<O>(b)));
    else
      return static_cast<O>(double(a) * double(b));
  }
};

struct AbsDiff {
  template <class O, class A, class B>
  static O apply(A a, B b) {
    if constexpr (isInteger<O>) {
      uint32_t ua = uint32_t(convert<O>(a)), ub = uint32_t(convert<O>(b));
      // The difference is formed as a signed 32-bit value, wrapping; -2^31 stays -2^31.
      int32_t d = low32(ua - ub);
      return wrap<O>(d < 0 ? ub - ua : uint32_t(d));
    } else {
      double d = double(a) - double(b);
      return static_cast<O>(d < 0 ? -d : d);
    }
  }
};

template <class Op, class A, class B, class O>
void elementwise(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  for (int32_t k = 0; k < n; ++k) out[k] = Op::template apply<O>(a[k], b[k]);
}

// Whether the division a / b is one the output type cannot form. The divisor is tested in its own
// type (a NaN counts as zero); integer outputs also refuse a divisor that converts to 0 (0.5, or
// 256 on an 8-bit output) and -2^31 / -1, whose quotient does not exist in 32 bits.
template <class O, class A, class B>
bool badDivision(A a, B b) {
  // Bitwise rather than short-circuit tests, so that a block of them vectorises.
  bool bad = !(b < B(0) || b > B(0));
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
    return static_cast<O>(double(a) / double(b));
}

// The index of the first refused division, n if there is none. Blocks are tested whole, which
// vectorises; only a block holding a refused element is searched element by element.
template <class O, class A, class B>
int32_t firstBadDivision(const A* __restrict a, const B* __restrict b, int32_t n) {
  constexpr int32_t kBlock = 1024;
  for (int32_t base = 0; base < n; base += kBlock) {
    const int32_t m = n - base < kBlock ? n - base : kBlock;
    int32_t bad = 0;
    for (int32_t k = 0; k < m; ++k) bad |= int32_t(badDivision<O>(a[base + k], b[base + k]));
    if (bad != 0)
      for (int32_t k = 0; k < m; ++k)
        if (badDivision<O>(a[base + k], b[base + k])) return base + k;
  }
  return n;
}

template <class A, class B, class O>
void divideMatrix(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  // Find the first refused element, write every quotient before it, then stop the run there.
  const int32_t valid = firstBadDivision<O>(a, b, n);
  for (int32_t k = 0; k < valid; ++k) out[k] = divide<O>(a[k], b[k]);
  if (valid < n) fail(kDivByZero);
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
