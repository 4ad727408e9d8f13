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

// Cross builds run under an emulator that may need a drive prefix on absolute paths.
#ifndef RK_PATH_PREFIX
#define RK_PATH_PREFIX ""
#endif

namespace rktest {

// Recycled matrix buffers are filled with a byte no kernel writes by chance, so that a processor
// that reads an output element before writing it, or leaves one unwritten, fails its sweep.
inline const bool kRecycledBuffersPoisoned = (kxhost::Matrix::setRecycledFill(0xa5), true);

// Whether elements are as the host created them, untouched by a processor: zero in a fresh
// buffer, the fill above in a recycled one.
template <class T>
bool asCreated(const std::vector<T>& elements) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(elements.data());
  const std::size_t n = elements.size() * sizeof(T);
  auto all = [&](unsigned char b) {
    for (std::size_t i = 0; i < n; ++i) {
      if (bytes[i] != b) return false;
    }
    return true;
  };
  return all(0) || all(0xa5);
}

// The plug-in as built, loaded once for the whole test program.
inline kxhost::Plugin& plugin() {
  static kxhost::Plugin p(RK_PATH_PREFIX RK_PLUGIN_PATH);
  return p;
}

inline kxhost::Instance instance(const char* entry) {
  const ProcessorDescriptor* r = plugin().find(entry);
  if (!r) throw std::runtime_error(std::string("no processor ") + entry);
  return plugin().instantiate(r);
}

template <class T>
constexpr kxType code() {
  if constexpr (std::is_same_v<T, uint8_t>)
    return 0;
  else if constexpr (std::is_same_v<T, int16_t>)
    return 1;
  else if constexpr (std::is_same_v<T, int32_t>)
    return 2;
  else if constexpr (std::is_same_v<T, float>)
    return 3;
  else
    return 4;
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

}  // namespace rktest
