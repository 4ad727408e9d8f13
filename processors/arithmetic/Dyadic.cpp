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
  if (!(b < B(0) || b > B(0))) return true;
  if constexpr (isInteger<O>) {
    O db = convert<O>(b);
    if (db == O(0)) return true;
    if constexpr (std::is_same_v<O, int32_t>) return db == -1 && convert<O>(a) == INT32_MIN;
  }
  return false;
}

template <class O, class A, class B>
O divide(A a, B b) {
  if constexpr (isInteger<O>)
    return static_cast<O>(convert<O>(a) / convert<O>(b));
  else
    return static_cast<O>(double(a) / double(b));
}

template <class A, class B, class O>
void divideMatrix(const A* __restrict a, const B* __restrict b, O* __restrict out, int32_t n) {
  // Find the first refused element, write every quotient before it, then stop the run there.
  int32_t valid = 0;
  while (valid < n && !badDivision<O>(a[valid], b[valid])) ++valid;
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
  return rk::dispatch<rk::In<0>, rk::In<1>, rk::Out<0>>(
      []<class A, class B, class O>() { rk::runDyadic<A, B, O>(rk::divideMatrix<A, B, O>); });
}
