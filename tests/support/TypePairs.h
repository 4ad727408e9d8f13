// Test support for one-input, one-output processors: the 16 element type pairs, an independent
// conversion reference and deterministic sample values that reach the awkward corners of each type.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "support/Harness.h"

namespace rktest {

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

template <class T>
const char* typeName() {
  if constexpr (std::is_same_v<T, uint8_t>)
    return "u8";
  else if constexpr (std::is_same_v<T, int32_t>)
    return "i32";
  else if constexpr (std::is_same_v<T, float>)
    return "f32";
  else
    return "f64";
}

struct TypePairNames {
  template <class P>
  static std::string GetName(int) {
    return std::string(typeName<typename P::In>()) + "_to_" + typeName<typename P::Out>();
  }
};

// A value converted to an element type: integers by truncation toward zero to 64 bits (0 beyond
// +-2^63 and for NaN), then the low 8 or 32 bits; floats by rounding. Integer sources pass through
// double exactly.
template <class O>
O pairConvert(double v) {
  if constexpr (std::is_floating_point_v<O>) {
    return static_cast<O>(v);
  } else {
    const double t = std::trunc(v);
    const int64_t whole = std::fabs(t) < 9223372036854775808.0 ? static_cast<int64_t>(t) : 0;
    const uint64_t bits = static_cast<uint64_t>(whole);
    if constexpr (std::is_same_v<O, uint8_t>)
      return static_cast<uint8_t>(bits & 0xffu);
    else
      return static_cast<int32_t>(static_cast<uint32_t>(bits & 0xffffffffu));
  }
}

// n values of type T from a fixed seed: full 8-bit range; small and extreme 32-bit integers; floats
// with fractions, negatives and magnitudes beyond 32 bits (NaN only when asked for).
template <class T>
std::vector<T> samples(std::size_t n, uint32_t seed, bool withNaN = false) {
  std::vector<T> v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  auto next = [&s] {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  };
  for (std::size_t k = 0; k < n; ++k) {
    const uint32_t r = next();
    if constexpr (std::is_same_v<T, uint8_t>) {
      v[k] = static_cast<uint8_t>(r);
    } else if constexpr (std::is_same_v<T, int32_t>) {
      switch (r % 8) {
        case 0:
          v[k] = std::numeric_limits<int32_t>::min() + static_cast<int32_t>(r % 5);
          break;
        case 1:
          v[k] = std::numeric_limits<int32_t>::max() - static_cast<int32_t>(r % 5);
          break;
        default:
          v[k] = static_cast<int32_t>(r % 1000) - 400;
      }
    } else {
      const double frac = static_cast<double>(r % 1000) / 64.0;
      switch (r % 9) {
        case 0:
          v[k] = static_cast<T>(3.0e9 + frac * 1.0e7);
          break;
        case 1:
          v[k] = static_cast<T>(-frac);
          break;
        case 2:
          v[k] = withNaN ? std::numeric_limits<T>::quiet_NaN() : static_cast<T>(frac);
          break;
        default:
          v[k] = static_cast<T>(frac * 20.0 - 100.0);
      }
    }
  }
  return v;
}

// Stores a parameter by its catalogue name, as a double or as a 32-bit integer variant.
inline void setParam(kxhost::Instance& inst, const char* name, double value) {
  const int i = inst.paramIndex(name);
  ASSERT_GE(i, 0) << name;
  tagVARIANT v{};
  v.vt = VT_R8;
  v.dblVal = value;
  inst.params[static_cast<std::size_t>(i)] = v;
}
inline void setParam(kxhost::Instance& inst, const char* name, int32_t value) {
  const int i = inst.paramIndex(name);
  ASSERT_GE(i, 0) << name;
  tagVARIANT v{};
  v.vt = VT_I4;
  v.lVal = value;
  inst.params[static_cast<std::size_t>(i)] = v;
}

}  // namespace rktest
