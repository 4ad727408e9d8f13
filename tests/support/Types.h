// Test-side type helpers: run a generic lambda for a type code, and a set of interesting values per type.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "kx/kx.h"

namespace rktest {

// Calls f.template operator()<T>() for the element type of code 0, 2, 3 or 4.
template <class F>
void withType(kxType code, F&& f) {
  switch (code) {
    case 0:
      f.template operator()<uint8_t>();
      break;
    case 2:
      f.template operator()<int32_t>();
      break;
    case 3:
      f.template operator()<float>();
      break;
    case 4:
      f.template operator()<double>();
      break;
    default:
      throw std::invalid_argument("no element type for this code");
  }
}

constexpr kxType kImageCodes[] = {0, 2, 3, 4};

inline const char* typeName(kxType code) {
  switch (code) {
    case 0:
      return "u8";
    case 2:
      return "i32";
    case 3:
      return "f32";
    case 4:
      return "f64";
    default:
      return "other";
  }
}

// Values that exercise wrap-around, truncation and the edges of each type.
template <class T>
std::vector<T> edgeValues() {
  if constexpr (std::is_same_v<T, uint8_t>) {
    return {0, 1, 2, 3, 5, 7, 16, 100, 127, 128, 200, 250, 255};
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return {0, 1, -1, 2, -5, 7, 300, -300, 65539, 46341, INT32_MAX, INT32_MIN, -2147483647};
  } else {
    return {T(0),   T(0.6),  T(-0.6), T(2.9),  T(-2.7), T(7.9),     T(255.9),
            T(256), T(-1.5), T(1e10), T(-3e9), T(0.1),  T(16777217)};
  }
}

// The conversion rule written out independently of the library: truncate to a 64-bit integer
// (0 for NaN and magnitudes of 2^63 or more), then keep the low bits of the output width.
inline int64_t refTrunc(double v) {
  if (std::isnan(v) || std::fabs(v) >= 9223372036854775808.0) return 0;
  return static_cast<int64_t>(std::trunc(v));
}

template <class O>
int64_t refReduce(int64_t v) {
  if constexpr (std::is_same_v<O, uint8_t>) {
    return static_cast<int64_t>(static_cast<uint64_t>(v) & 0xffu);
  } else {
    uint64_t low = static_cast<uint64_t>(v) & 0xffffffffu;
    return low >= 0x80000000u ? static_cast<int64_t>(low) - 0x100000000LL : static_cast<int64_t>(low);
  }
}

template <class O, class T>
int64_t refToInt(T v) {
  if constexpr (std::is_floating_point_v<T>)
    return refReduce<O>(refTrunc(static_cast<double>(v)));
  else
    return refReduce<O>(static_cast<int64_t>(v));
}

}  // namespace rktest
