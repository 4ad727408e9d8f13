// Test support: the element types by code, the conversion rules written out, and edge values per type.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "kx/kx.h"
#include "kxhost/Runtime.h"
#include "support/Types.h"

namespace rktest {

// The conversion rules, written out: integers keep their low bits, floating values truncate toward
// zero first (0 beyond 2^63 and for NaN). Every input value is exact as a double.
template <class To>
To expected(double v) {
  if constexpr (std::is_integral_v<To>) {
    const int64_t n =
        (std::isnan(v) || std::fabs(v) >= 9223372036854775808.0) ? 0 : static_cast<int64_t>(std::trunc(v));
    const auto bits = static_cast<uint64_t>(n);
    if constexpr (std::is_same_v<To, uint8_t>)
      return static_cast<uint8_t>(bits & 0xff);
    else
      return static_cast<int32_t>(static_cast<uint32_t>(bits & 0xffffffffu));
  } else {
    return static_cast<To>(v);
  }
}

// Values that exercise each conversion: wrap-around, truncation, sign, NaN, huge magnitudes.
template <class T>
std::vector<T> geometryValues() {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if constexpr (std::is_same_v<T, uint8_t>)
    return {0, 1, 127, 128, 200, 255, 44};
  else if constexpr (std::is_same_v<T, int32_t>)
    return {-1, 300, 256, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), 16777217, 7};
  else if constexpr (std::is_same_v<T, float>)
    return {10.7f, -1.5f, 255.9f, 256.0f, 3e9f, 1e10f, static_cast<float>(nan), -INFINITY, 16777216.0f};
  else
    return {10.7, -1.5, 255.9, 256.0, 3e9, 1e10, nan, 1e19, -0.0, -2.7, 2147483648.5};
}

// n edge values of type T, starting at `offset` in the list and repeating it.
template <class T>
std::vector<T> cycle(std::size_t n, std::size_t offset = 0) {
  const std::vector<T> v = geometryValues<T>();
  std::vector<T> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = v[(i + offset) % v.size()];
  return out;
}

// Equal bits, or both NaN.
template <class T>
bool same(T a, T b) {
  if (std::memcmp(&a, &b, sizeof(T)) == 0) return true;
  if constexpr (std::is_floating_point_v<T>) return std::isnan(a) && std::isnan(b);
  return false;
}

// A matrix of any size, including sizes without elements (whose values are not copied), typed T.
template <class T>
kxhost::Matrix& addSized(kxhost::Pin& pin, kxType type, int32_t x, int32_t y, int32_t planes,
                         const std::vector<T>& values) {
  pin.type = type;
  pin.connected = true;
  kxMInfo info;
  info.X = x;
  info.Y = y;
  info.Planes = planes;
  kxhost::Matrix& m = pin.stream.add(type, info);
  if (!values.empty() && values.size() * sizeof(T) == m.bytes()) std::memcpy(m.data(), values.data(), m.bytes());
  return m;
}

}  // namespace rktest
