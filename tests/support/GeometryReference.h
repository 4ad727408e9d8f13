// Test support for the geometry, colour and feature tests: edge values per type, repeated to any
// length, and matrices of any size, including sizes without elements.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "support/Harness.h"
#include "support/TypePairs.h"
#include "support/Types.h"

namespace rktest {

// n values of type T that exercise each conversion (wrap-around, truncation, sign, NaN, huge
// magnitudes), starting at `offset` in the list and repeating it.
template <class T>
std::vector<T> cycle(std::size_t n, std::size_t offset = 0) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<T> v;
  if constexpr (std::is_same_v<T, uint8_t>)
    v = {0, 1, 127, 128, 200, 255, 44};
  else if constexpr (std::is_same_v<T, int32_t>)
    v = {-1, 300, 256, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), 16777217, 7};
  else if constexpr (std::is_same_v<T, float>)
    v = {10.7f, -1.5f, 255.9f, 256.0f, 3e9f, 1e10f, static_cast<float>(nan), -INFINITY, 16777216.0f};
  else
    v = {10.7, -1.5, 255.9, 256.0, 3e9, 1e10, nan, 1e19, -0.0, -2.7, 2147483648.5};
  std::vector<T> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = v[(i + offset) % v.size()];
  return out;
}

// f.template operator()<I, O>() for the element types of two codes.
template <class F>
void withPair(kxType in, kxType out, F&& f) {
  withType(in, [&]<class I>() { withType(out, [&]<class O>() { f.template operator()<I, O>(); }); });
}

// Equal bits, or both NaN.
template <class T>
bool same(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return sameBits(a, b) || (std::isnan(a) && std::isnan(b));
  return sameBits(a, b);
}

// Whether every element of `got` is the value of the same index in `want` converted to O.
template <class O, class W>
::testing::AssertionResult convertedFrom(const std::vector<O>& got, const std::vector<W>& want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << got.size() << " != " << want.size();
  for (std::size_t k = 0; k < got.size(); ++k)
    if (!same(got[k], pairConvert<O>(double(want[k]))))
      return ::testing::AssertionFailure() << "element " << k << ": " << +got[k] << " from " << +want[k];
  return ::testing::AssertionSuccess();
}

// A matrix of any size on an input pin, typed T; values are copied only when they fill it.
template <class T>
kxhost::Matrix& addSized(kxhost::Pin& pin, int32_t x, int32_t y, int32_t planes, const std::vector<T>& values = {}) {
  pin.type = code<T>();
  pin.connected = true;
  kxMInfo i;
  i.X = x;
  i.Y = y;
  i.Planes = planes;
  kxhost::Matrix& m = pin.stream.add(code<T>(), i);
  if (!values.empty() && values.size() * sizeof(T) == m.bytes()) std::memcpy(m.data(), values.data(), m.bytes());
  return m;
}

}  // namespace rktest
