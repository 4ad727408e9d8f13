// Test support for type sweeps: a run-time type switch, sample values per type, and an independent
// reference of the conversion rules.
#pragma once

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/Harness.h"
#include "support/Types.h"

namespace rktest {

// Low 32 bits of v truncated toward zero; 0 for NaN, infinities and magnitudes of 2^63 or more.
// Worked out with fmod, so it shares no code path with the library's conversion.
inline uint32_t refLow32(double v) {
  if (!(std::fabs(v) < 9223372036854775808.0)) return 0;
  double r = std::fmod(std::trunc(v), 4294967296.0);
  if (r < 0) r += 4294967296.0;
  return static_cast<uint32_t>(r);
}

// The value v (exact in double) stored in an element of type O by the conversion table.
template <class O>
O refConvert(double v) {
  if constexpr (std::is_same_v<O, uint8_t>)
    return static_cast<uint8_t>(refLow32(v) & 0xffu);
  else if constexpr (std::is_same_v<O, int32_t>)
    return static_cast<int32_t>(refLow32(v));
  else
    return static_cast<O>(v);
}

// Puts a matrix without elements on an input pin (addMatrix would copy from an empty vector's
// null data pointer, which the sanitizer rejects).
template <class T>
kxhost::Matrix& addEmpty(kxhost::Pin& pin, int32_t x, int32_t y, int32_t planes, const char* name = "") {
  pin.type = code<T>();
  pin.connected = true;
  return pin.stream.add(code<T>(), info(x, y, planes, name));
}

// Adds a row, or a matrix without elements for no values.
template <class T>
void addValues(kxhost::Pin& pin, const std::vector<T>& values) {
  if (values.empty())
    addEmpty<T>(pin, 0, 1, 1);
  else
    addRow<T>(pin, values);
}

// Values of an element type that probe the conversions: ordinary ones, and extremes that leave the
// 32-bit range (or are not numbers at all).
template <class T>
std::vector<T> ordinarySamples() {
  if constexpr (std::is_same_v<T, uint8_t>)
    return {0, 1, 3, 100, 127, 128, 200, 250, 255};
  else if constexpr (std::is_same_v<T, int32_t>)
    return {0, 1, -1, -3, 50, 255, 256, 300, -256, 100000007};
  else
    return {T(0),    T(-0.0),  T(0.5),   T(-0.5), T(0.9),   T(1.6),   T(2.6),
            T(-1.5), T(127.5), T(255.5), T(256),  T(300.7), T(-300.7)};
}

template <class T>
std::vector<T> extremeSamples() {
  constexpr T inf = std::numeric_limits<T>::infinity();
  if constexpr (std::is_same_v<T, uint8_t>)
    return {255};
  else if constexpr (std::is_same_v<T, int32_t>)
    return {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
  else if constexpr (std::is_same_v<T, float>)
    return {1e10f, -3e9f, 2147483520.0f, 2147483648.0f, -2147483648.0f, FLT_MAX, 1e-40f, inf, -inf, std::nanf("")};
  else
    return {3e9,    -3e9,    2147483647.9, -2147483648.9, 2147483648.0, 4294967301.0, 1e10,
            9.3e18, -9.3e18, 1e300,        inf,           -inf,         std::nan(""), -2147483649.0};
}

// Finite values at the 32-bit limits, none of which forces a run to be converted element by
// element on its own; a slightly looser range test would let -2147483649 through to the hardware
// truncation.
template <class T>
std::vector<T> boundarySamples() {
  if constexpr (std::is_same_v<T, float>)
    return {2147483392.0f, -2147483520.0f, -2147483648.0f, 1.5f};
  else if constexpr (std::is_same_v<T, double>)
    return {-2147483649.0, -2147483648.9, -2147483583.5, 2147483583.5, 2147483392.0, -2147483392.5, 1.5};
  else
    return ordinarySamples<T>();
}

template <class T>
std::vector<T> allSamples() {
  std::vector<T> v = ordinarySamples<T>();
  for (T x : extremeSamples<T>()) v.push_back(x);
  return v;
}

// Operand streams for a two-input sweep, matrix i of one pin the size of matrix i of the other:
// 0 pairs every ordinary sample of A with every ordinary sample of B; 1 does so with all samples
// and 2 with the samples near the 32-bit limits; 3 runs ordinary pairs over several thousand elements with one extreme
// pair late in it, so that runs converted wholesale and runs converted element by element meet in one matrix.
template <class A, class B>
struct PairStreams {
  std::vector<std::vector<A>> a;
  std::vector<std::vector<B>> b;
};

template <class A, class B>
PairStreams<A, B> pairStreams() {
  PairStreams<A, B> s;
  auto everyPair = [&](const std::vector<A>& sa, const std::vector<B>& sb) {
    std::vector<A> a;
    std::vector<B> b;
    for (B y : sb)
      for (A x : sa) {
        a.push_back(x);
        b.push_back(y);
      }
    s.a.push_back(a);
    s.b.push_back(b);
  };
  everyPair(ordinarySamples<A>(), ordinarySamples<B>());
  everyPair(allSamples<A>(), allSamples<B>());
  everyPair(boundarySamples<A>(), boundarySamples<B>());
  const std::vector<A> oa = ordinarySamples<A>();
  const std::vector<B> ob = ordinarySamples<B>();
  std::vector<A> a(2600);
  std::vector<B> b(2600);
  for (std::size_t k = 0; k < a.size(); ++k) {
    a[k] = oa[k % oa.size()];
    b[k] = ob[(k / 3) % ob.size()];
  }
  a[2100] = extremeSamples<A>().back();
  b[2100] = extremeSamples<B>().back();
  s.a.push_back(a);
  s.b.push_back(b);
  return s;
}

// One element of each input mixed or combined into one output element (the weight is parameter 0
// where the processor has one).
struct Spot {
  double weight;
  kxType codeA;
  double a;
  kxType codeB;
  double b;
  kxType codeO;
  double expected;
};

inline void runSpot(const char* entry, const Spot& s) {
  auto inst = instance(entry);
  if (!inst.params.empty()) {
    inst.params[0].vt = VT_R8;
    inst.params[0].dblVal = s.weight;
  }
  withType(s.codeA, [&]<class A>() { addRow<A>(inst.inputs[0], {static_cast<A>(s.a)}); });
  withType(s.codeB, [&]<class B>() { addRow<B>(inst.inputs[1], {static_cast<B>(s.b)}); });
  inst.outputs[0].type = s.codeO;
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  withType(s.codeO, [&]<class O>() { EXPECT_EQ(double(output<O>(inst, 0, 0).at(0)), s.expected); });
}

// Equal values, NaN matching any NaN (its sign and payload depend on operand order) and the sign of
// zero counted.
template <class T>
bool sameValue(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(a) && std::isnan(b)) return true;
  }
  return sameBits(a, b);
}

template <class T>
::testing::AssertionResult sameValues(const std::vector<T>& got, const std::vector<T>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " elements, expected " << want.size();
  for (std::size_t k = 0; k < got.size(); ++k) {
    if (!sameValue(got[k], want[k])) {
      return ::testing::AssertionFailure() << "element " << k << " is " << +got[k] << ", expected " << +want[k];
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace rktest
