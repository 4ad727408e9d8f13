// Buffers shared by the reference loops and the OpenCV calls of one benchmark: the inputs hold the
// same pattern as the entry's, the output is written once before timing so that its pages are warm.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "Support.h"

namespace rkbench {

template <class T>
constexpr int cvDepth() {
  if constexpr (std::is_same_v<T, uint8_t>) return CV_8U;
  if constexpr (std::is_same_v<T, int32_t>) return CV_32S;
  if constexpr (std::is_same_v<T, float>) return CV_32F;
  return CV_64F;
}

// A side x side image of `planes` interleaved planes, as a vector and as a Mat over the same bytes.
template <class T>
struct Image {
  std::vector<T> v;
  cv::Mat mat;
  Image(int side, int planes, int salt) : Image(side, side, planes, salt) {}
  Image(int x, int y, int planes, int salt) : v(std::size_t(x) * std::size_t(y) * std::size_t(planes)) {
    if (salt >= 0)
      fillPattern(v.data(), v.size(), static_cast<unsigned>(salt));
    else
      std::fill(v.begin(), v.end(), T(1));
    mat = cv::Mat(y, x, CV_MAKETYPE(cvDepth<T>(), planes), v.data());
  }
  T* data() { return v.data(); }
  std::size_t size() const { return v.size(); }
};

// Elementwise loops over raw pointers that do not alias, so that -O3 vectorises them as it would a
// kernel's.
template <class A, class B, class O, class F>
void map2(const A* __restrict a, const B* __restrict b, O* __restrict o, std::size_t n, F f) {
  for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i], b[i]);
}
template <class A, class O, class F>
void map1(const A* __restrict a, O* __restrict o, std::size_t n, F f) {
  for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i]);
}

// A double result stored as the output type the way the plug-in's rules do for in-range values:
// truncation, then the low 8 bits for an 8-bit output.
template <class O>
inline O store(double v) {
  if constexpr (std::is_same_v<O, uint8_t>)
    return static_cast<uint8_t>(static_cast<int32_t>(v));
  else
    return static_cast<O>(v);
}

}  // namespace rkbench
