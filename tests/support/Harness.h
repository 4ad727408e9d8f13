// Test support: the plug-in loaded once through the real loader, and helpers to build and read streams.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kx/kx.h"
#include "kxhost/Plugin.h"
#include "kxhost/Runtime.h"
#include "support/Paths.h"

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

// Appends a matrix of x * y * planes values to an input pin (which becomes connected and typed T).
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

}  // namespace rktest
