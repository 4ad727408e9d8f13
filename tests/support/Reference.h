// Test oracles: element conversions written out from the rule table, and a type-code switch.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "kx/kx.h"
#include "support/Types.h"

namespace rktest {

// An exact integer result stored in type O: its low 8 or 32 bits, or the nearest float / double.
template <class O>
O fromInt(int64_t v) {
  if constexpr (std::is_same_v<O, uint8_t>) {
    return static_cast<uint8_t>(static_cast<uint64_t>(v) & 0xffu);
  } else if constexpr (std::is_same_v<O, int32_t>) {
    const int64_t low = static_cast<int64_t>(static_cast<uint64_t>(v) & 0xffffffffu);
    return static_cast<int32_t>(low >= 2147483648LL ? low - 4294967296LL : low);
  } else {
    return static_cast<O>(v);
  }
}

// A double result stored in type O: truncated toward zero (0 beyond +-2^63 and for NaN), then its
// low bits, for integer types; rounded for float.
template <class O>
O fromDouble(double v) {
  if constexpr (std::is_floating_point_v<O>) {
    return static_cast<O>(v);
  } else {
    if (std::isnan(v) || std::fabs(v) >= 9223372036854775808.0) return fromInt<O>(0);
    return fromInt<O>(static_cast<int64_t>(std::trunc(v)));
  }
}

// A 32-bit wrap of an exact integer.
inline int64_t wrap32(int64_t v) { return fromInt<int32_t>(v); }

template <class F>
void withTypes(kxType a, kxType b, F&& f) {
  withType(a, [&]<class A>() { withType(b, [&]<class B>() { f.template operator()<A, B>(); }); });
}

// Sample inputs per type, with the values where conversions and wrap-around differ.
template <class T>
std::vector<T> samples() {
  const double inf = INFINITY, nan = NAN;
  if constexpr (std::is_same_v<T, uint8_t>)
    return {0, 1, 2, 5, 7, 100, 127, 128, 200, 250, 254, 255};
  else if constexpr (std::is_same_v<T, int32_t>)
    return {0, 1, -1, 2, -5, 7, -7, 300, 65536, 46341, -46341, 123456789, 2147483647, -2147483647 - 1};
  else
    return {T(0),   T(0.6),  T(-0.4), T(-1.5), T(2.5),   T(255.9), T(256.0), T(300.5), T(-300.5),
            T(1e6), T(-3e9), T(1e10), T(1e20), T(-1e20), T(inf),   T(-inf),  T(nan),   T(-0.0)};
}

}  // namespace rktest
