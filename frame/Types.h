// Element types, type masks and the one place where values change element type.
//
// Conversion rules (convert<To>(from)):
//
//   from \ to        | uint8_t              | int32_t              | float            | double
//   -----------------+----------------------+----------------------+------------------+---------
//   uint8_t          | unchanged            | 0..255               | exact            | exact
//   int32_t          | low 8 bits (300->44) | unchanged            | nearest float    | exact
//   float, double    | truncate, low 8 bits | truncate, low 32 bits| nearest float    | exact
//
// Truncation first forms the 64-bit integer toward zero; a magnitude of 2^63 or more, an infinity
// or a NaN gives 0. Integer results keep the low bits (wrap-around, never saturation), and are
// formed without signed overflow so that no conversion is undefined behaviour.
#pragma once

#include <cstdint>
#include <type_traits>

#include "kx/kx.h"

namespace rk {

enum TypeCode : kxType { kU8 = 0, kUnused1 = 1, kI32 = 2, kF32 = 3, kF64 = 4 };

using TypeMask = uint32_t;
constexpr TypeMask kImageMask = 0x1d;   // codes 0, 2, 3, 4
constexpr TypeMask kScalarMask = 0x10;  // code 4 only

template <class T>
struct TypeInfo;
template <>
struct TypeInfo<uint8_t> {
  static constexpr kxType code = kU8;
};
template <>
struct TypeInfo<int32_t> {
  static constexpr kxType code = kI32;
};
template <>
struct TypeInfo<float> {
  static constexpr kxType code = kF32;
};
template <>
struct TypeInfo<double> {
  static constexpr kxType code = kF64;
};

template <class T>
constexpr kxType typeCode = TypeInfo<T>::code;
template <class T>
constexpr bool isInteger = std::is_integral_v<T>;
template <class T>
constexpr bool isFloating = std::is_floating_point_v<T>;

template <class... Ts>
struct TypeList {};
using ImageTypes = TypeList<uint8_t, int32_t, float, double>;
using ScalarTypes = TypeList<double>;

// Truncation toward zero to a 64-bit integer; 0 outside (-2^63, 2^63) and for NaN.
inline int64_t truncToInt64(double v) {
  return (v > -9223372036854775808.0 && v < 9223372036854775808.0) ? static_cast<int64_t>(v) : 0;
}

// Low 32 bits as a signed value; defined for every input since C++20.
inline int32_t low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }
inline int32_t low32(uint32_t v) { return static_cast<int32_t>(v); }

template <class To, class From>
inline To convert(From v) {
  if constexpr (std::is_same_v<To, From>) {
    return v;
  } else if constexpr (std::is_same_v<To, uint8_t>) {
    if constexpr (isFloating<From>)
      return static_cast<uint8_t>(static_cast<uint64_t>(truncToInt64(v)));
    else
      return static_cast<uint8_t>(static_cast<uint32_t>(v));
  } else if constexpr (std::is_same_v<To, int32_t>) {
    if constexpr (isFloating<From>)
      return low32(truncToInt64(v));
    else
      return static_cast<int32_t>(v);
  } else {
    return static_cast<To>(v);
  }
}

// convert<To> over a run of n elements, shaped for the vectoriser. Floating values bound for an
// integer type take the hardware's 32-bit truncation when the whole run lies inside the 32-bit
// range, and convert<To> element by element otherwise (large values, infinities, NaN); both give
// the same low bits, but only the first vectorises without 64-bit conversion instructions.
template <class To, class From>
inline void convertRun(const From* __restrict in, To* __restrict out, int32_t n) {
  if constexpr (isInteger<To> && isFloating<From>) {
    // The range is tested on float copies: the baseline instruction set has no 64-bit integer
    // masks to collect double comparisons with. A value whose nearest float lies in
    // [-(2^31 - 128), 2^31 - 128) lies in (-2^31, 2^31), rounding to float moving it by 64 at most.
    int32_t inRange = 0;
    for (int32_t k = 0; k < n; ++k) {
      const float v = static_cast<float>(in[k]);
      inRange += (v >= -2147483520.0f) & (v < 2147483520.0f);
    }
    if (inRange == n) {
      for (int32_t k = 0; k < n; ++k) out[k] = convert<To>(static_cast<int32_t>(in[k]));
      return;
    }
  }
  for (int32_t k = 0; k < n; ++k) out[k] = convert<To>(in[k]);
}

// Stores double results in type O by the rules of convert (see convertRun).
template <class O>
inline void storeConverted(const double* __restrict v, O* __restrict out, int32_t n) {
  convertRun<O>(v, out, n);
}

// out[k] = convert<O>(f(k)) for k from 0 to n-1. Double results bound for an integer output pass
// through a small buffer and storeConverted, so that both the arithmetic and the conversion vectorise.
template <class O, class F>
inline void mapConverted(O* __restrict out, int32_t n, F f) {
  if constexpr (isInteger<O> && isFloating<decltype(f(int32_t(0)))>) {
    constexpr int32_t kBlock = 256;
    double buffer[kBlock];
    for (int32_t base = 0; base < n; base += kBlock) {
      const int32_t m = n - base < kBlock ? n - base : kBlock;
      for (int32_t k = 0; k < m; ++k) buffer[k] = double(f(base + k));
      storeConverted(buffer, out + base, m);
    }
  } else {
    for (int32_t k = 0; k < n; ++k) out[k] = convert<O>(f(k));
  }
}

// Integer results wrap to the output width: sums, differences and products are formed in uint32_t
// and cut to the low 8 or 32 bits.
template <class To>
inline To wrap(uint32_t v) {
  if constexpr (std::is_same_v<To, uint8_t>)
    return static_cast<uint8_t>(v);
  else
    return static_cast<int32_t>(v);
}

// Arithmetic "in the input type", for processors that form a result from the input element alone
// and convert only the result: 8-bit operands are promoted to 32-bit integers (so a result is never
// cut to 8 bits before the output conversion), 32-bit integers wrap modulo 2^32, float and double
// operands are combined in double.
template <class T>
using Widened = std::conditional_t<isInteger<T>, int32_t, double>;

template <class T>
inline Widened<T> widen(T v) {
  return static_cast<Widened<T>>(v);
}

// Integer sums, differences and products are formed in uint32_t so that the wrap is defined.
inline int32_t wideAdd(int32_t a, int32_t b) { return low32(uint32_t(a) + uint32_t(b)); }
inline int32_t wideSub(int32_t a, int32_t b) { return low32(uint32_t(a) - uint32_t(b)); }
inline int32_t wideMul(int32_t a, int32_t b) { return low32(uint32_t(a) * uint32_t(b)); }
// IEEE arithmetic leaves open which of two NaN operands a sum or a product returns, and the
// compiler may swap the operands of either, differently on each kernel path. These return x's NaN
// (quieted) whenever x is NaN, as x + y and x * y written in this order do on x86, so that results
// hold the same bits on every path.
template <class T>
inline T addFirstNaN(T x, T y) {
  return x + (x != x ? x : y);
}
template <class T>
inline T mulFirstNaN(T x, T y) {
  return x * (x != x ? x : y);
}

inline double wideAdd(double a, double b) { return addFirstNaN(a, b); }
inline double wideSub(double a, double b) { return a - b; }
inline double wideMul(double a, double b) { return mulFirstNaN(a, b); }

}  // namespace rk
