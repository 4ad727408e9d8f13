// Test support: the plug-in loaded once through the real loader, helpers to build and read streams,
// the kernel-path switch, and the element types with their conversion rules written out
// independently of the library.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/Paths.h"
#include "kx/kx.h"
#include "kxhost/Plugin.h"
#include "kxhost/Runtime.h"

// Cross builds run under an emulator that may need a drive prefix on absolute paths.
#ifndef RK_PATH_PREFIX
#define RK_PATH_PREFIX ""
#endif

namespace rktest {

// Recycled matrix buffers are filled with a byte no kernel writes by chance, so that a processor
// that reads an output element before writing it, or leaves one unwritten, fails its sweep.
inline const bool kRecycledBuffersPoisoned = (kxhost::Matrix::setRecycledFill(0xa5), true);

// The plug-in library as built, loaded once for the whole test program.
inline kxhost::Plugin& loadedPlugin() {
  static kxhost::Plugin p(RK_PATH_PREFIX RK_PLUGIN_PATH);
  return p;
}

// The plug-in the tests run: the copy of its objects linked into this program where that is built
// (so that the tests can choose its kernel path), else the library.
inline kxhost::Plugin& plugin() {
#if defined(RK_PLUGIN_IN_PROCESS)
  static kxhost::Plugin p("");
  return p;
#else
  return loadedPlugin();
#endif
}

inline kxhost::Instance instance(const char* entry) {
  const ProcessorDescriptor* r = plugin().find(entry);
  if (!r) throw std::runtime_error(std::string("no processor ") + entry);
  return plugin().instantiate(r);
}

template <class T>
constexpr kxType code() {
  return std::is_same_v<T, uint8_t>   ? 0
         : std::is_same_v<T, int16_t> ? 1
         : std::is_same_v<T, int32_t> ? 2
         : std::is_same_v<T, float>   ? 3
                                      : 4;
}

inline kxMInfo info(int32_t x, int32_t y, int32_t planes = 1, const char* name = "") {
  kxMInfo i;
  i.X = x;
  i.Y = y;
  i.Planes = planes;
  i.Count = x * y * planes;
  i.Name = name;
  return i;
}

// Appends a matrix of x * y * planes values to an input pin (which becomes connected and typed T); a
// size without elements takes no values.
template <class T>
kxhost::Matrix& addMatrix(kxhost::Pin& pin, int32_t x, int32_t y, int32_t planes, const std::vector<T>& values,
                          const char* name = "") {
  pin.type = code<T>();
  pin.connected = true;
  kxhost::Matrix& m = pin.stream.add(code<T>(), info(x, y, planes, name));
  EXPECT_EQ(values.size(), m.count());
  // An empty vector may hold a null pointer, which memcpy must not be given even for 0 bytes.
  if (!values.empty()) std::memcpy(m.data(), values.data(), std::min(values.size(), m.count()) * sizeof(T));
  return m;
}

// A single-row, single-plane matrix holding the values.
template <class T>
kxhost::Matrix& addRow(kxhost::Pin& pin, const std::vector<T>& values, const char* name = "") {
  return addMatrix<T>(pin, static_cast<int32_t>(values.size()), 1, 1, values, name);
}

template <class T>
std::vector<T> values(const kxhost::Matrix& m) {
  const T* p = m.as<T>();
  return std::vector<T>(p, p + m.count());
}

template <class T>
std::vector<T> output(const kxhost::Instance& inst, std::size_t pin, std::size_t matrix) {
  return values<T>(*inst.outputs.at(pin).stream.matrices.at(matrix));
}

// Bitwise equality, so that NaN equals NaN and -0 differs from +0.
template <class T>
bool sameBits(T a, T b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}
// Equal values, the sign of zero counted; with `anyNaN` a NaN matches any NaN (the references do not
// model which operand's NaN a result carries), else NaNs must have the same sign and payload.
inline bool sameValue(double a, double b, bool anyNaN = true) {
  return (anyNaN && std::isnan(a) && std::isnan(b)) || sameBits(a, b);
}

// Stores a parameter by its catalogue name, as a double or as a 32-bit integer variant.
inline tagVARIANT& param(kxhost::Instance& inst, const char* name) {
  const int i = inst.paramIndex(name);
  EXPECT_GE(i, 0) << name;
  return inst.params.at(static_cast<std::size_t>(i)) = tagVARIANT{};
}
inline void setParam(kxhost::Instance& inst, const char* name, double value) {
  tagVARIANT& v = param(inst, name);
  v.vt = VT_R8;
  v.dblVal = value;
}
inline void setParam(kxhost::Instance& inst, const char* name, int32_t value) {
  tagVARIANT& v = param(inst, name);
  v.vt = VT_I4;
  v.lVal = value;
}

// Forces the baseline kernels or clears the switch for its lifetime, then puts back what was
// there. The switch is the plug-in's own, in the copy of its objects this program links (where the
// plug-in has no second path, there is nothing to switch).
class BaselineForced {
public:
  explicit BaselineForced(bool on) : saved_(rk::kernelPath) {
    rk::kernelPath = on ? rk::KernelPath::Baseline : rk::KernelPath::Fastest;
  }
  ~BaselineForced() { rk::kernelPath = saved_; }
  BaselineForced(const BaselineForced&) = delete;
  BaselineForced& operator=(const BaselineForced&) = delete;

private:
  rk::KernelPath saved_;
};

// The kernel paths to compare: the baseline and the fastest where the build has both, else the
// baseline alone (a second run would only repeat the first, which under an emulator is slow).
inline std::vector<bool> kernelPaths() {
  return RK_AVX2_PATH ? std::vector<bool>{true, false} : std::vector<bool>{true};
}

// RK_FORCE_BASELINE (anything but "0") in this program's environment sets the switch before the
// first test, so that a whole run (scripts/mutants makes one) takes the baseline kernels.
inline const bool kBaselineFromEnvironment = [] {
  const char* force = std::getenv("RK_FORCE_BASELINE");
  if (force != nullptr && force[0] != '\0' && std::string(force) != "0") rk::kernelPath = rk::KernelPath::Baseline;
  return true;
}();

// One run of inst on the baseline kernels or on the fastest ones.
inline kxhost::RunResult runOnPath(kxhost::Instance& inst, bool baseline) {
  BaselineForced forced(baseline);
  return inst.run();
}

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
inline bool isInt(kxType t) { return t == 0 || t == 2; }

inline const char* typeName(kxType code) {
  static const char* const names[] = {"u8", "other", "i32", "f32", "f64"};
  return code >= 0 && code <= 4 ? names[code] : "other";
}

// Low 32 bits of v truncated toward zero; 0 for NaN, infinities and magnitudes of 2^63 or more.
// Worked out with fmod, so that it shares no code path with the library's conversion.
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
// The same rules by type code, the stored value read back as a double; integers wrap exactly.
inline double stored(kxType o, double v) {
  double r = 0;
  withType(o, [&]<class O>() { r = double(refConvert<O>(v)); });
  return r;
}
inline double storedInt(kxType o, int64_t v) {
  const auto low = static_cast<uint32_t>(static_cast<uint64_t>(v));
  return o == 0 ? double(low & 0xffu) : o == 2 ? double(int32_t(low)) : stored(o, double(v));
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
    return std::string(typeName(code<typename P::In>())) + "_to_" + typeName(code<typename P::Out>());
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

// Whether every element of `got` is the value of the same index in `want` converted to O.
template <class O, class W>
::testing::AssertionResult convertedFrom(const std::vector<O>& got, const std::vector<W>& want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << got.size() << " != " << want.size();
  for (std::size_t k = 0; k < got.size(); ++k)
    if (!sameValue(double(got[k]), double(refConvert<O>(double(want[k])))))
      return ::testing::AssertionFailure() << "element " << k << ": " << +got[k] << " from " << +want[k];
  return ::testing::AssertionSuccess();
}

}  // namespace rktest
