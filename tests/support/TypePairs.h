// Typed tests of one-input processors: the 16 element type pairs and deterministic sample values
// that reach the awkward corners of each type.
#pragma once

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "support/Types.h"

namespace rktest {

template <class O>
O pairConvert(double v) {
  return refConvert<O>(v);
}

// The 16 pairs of element types, for typed tests of one-input processors.
template <class I, class O>
struct TypePair {
  using In = I;
  using Out = O;
};
using AllTypePairs = ::testing::Types<
    TypePair<uint8_t, uint8_t>, TypePair<uint8_t, int32_t>, TypePair<uint8_t, float>, TypePair<uint8_t, double>,
    TypePair<int32_t, uint8_t>, TypePair<int32_t, int32_t>, TypePair<int32_t, float>, TypePair<int32_t, double>,
    TypePair<float, uint8_t>, TypePair<float, int32_t>, TypePair<float, float>, TypePair<float, double>,
    TypePair<double, uint8_t>, TypePair<double, int32_t>, TypePair<double, float>, TypePair<double, double>>;
struct TypePairNames {
  template <class P>
  static std::string GetName(int) {
    return std::string(typeName<typename P::In>()) + "_to_" + typeName<typename P::Out>();
  }
};

// n values of type T from a fixed seed: full 8-bit range; small and extreme 32-bit integers; floats
// with fractions, negatives and magnitudes beyond 32 bits (NaN only when asked for).
template <class T>
std::vector<T> samples(std::size_t n, uint32_t seed, bool withNaN = false) {
  std::vector<T> v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (T& e : v) {
    s = s * 1664525u + 1013904223u;
    const uint32_t r = s >> 8;
    const double frac = static_cast<double>(r % 1000) / 64.0;
    if constexpr (std::is_same_v<T, uint8_t>)
      e = static_cast<uint8_t>(r);
    else if constexpr (std::is_same_v<T, int32_t>)
      e = r % 8 == 0 ? INT32_MIN + int32_t(r % 5) : r % 8 == 1 ? INT32_MAX - int32_t(r % 5) : int32_t(r % 1000) - 400;
    else
      e = r % 9 == 0   ? T(3.0e9 + frac * 1.0e7)
          : r % 9 == 1 ? T(-frac)
          : r % 9 == 2 ? (withNaN ? std::numeric_limits<T>::quiet_NaN() : T(frac))
                       : T(frac * 20.0 - 100.0);
  }
  return v;
}

}  // namespace rktest
