// Test-side type helpers: run a generic lambda for a type code, and the conversion rules written
// out independently of the library.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
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
  static const char* const names[] = {"u8", "other", "i32", "f32", "f64"};
  return code >= 0 && code <= 4 ? names[code] : "other";
}
template <class T>
const char* typeName() {
  return typeName(std::is_same_v<T, uint8_t> ? 0 : std::is_same_v<T, int32_t> ? 2 : std::is_same_v<T, float> ? 3 : 4);
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

}  // namespace rktest
