// AND, OR, the two-level inversion and the two generators: entry, reference loop, OpenCV and memcpy.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "CvSupport.h"

namespace rkbench {
namespace {

// The 8-bit value a logic operand is reduced to (in range here: the pattern lies in 0..255.5).
template <class T>
inline uint8_t low8(T v) {
  if constexpr (std::is_same_v<T, uint8_t>)
    return v;
  else
    return static_cast<uint8_t>(static_cast<int32_t>(v));
}

template <class T, class Element, class CvOp>
void logic(const char* proc, Element element, CvOp cvOp) {
  const std::string combo = comboName<T>();
  addEntry(proc, combo, [](kxhost::Instance& inst) {
    fillInput<T>(inst.inputs[0], kSide, kSide, 1, 0);
    fillInput<T>(inst.inputs[1], kSide, kSide, 1, 1);
    inst.outputs[0].type = codeOf<T>();
  });
  struct Data {
    Image<T> a{kSide, 1, 0}, b{kSide, 1, 1}, out{kSide, 1, -1};
  };
  addLoop(proc, combo, "kernel", [element] {
    auto d = std::make_shared<Data>();
    return Body([d, element] {
      map2(d->a.data(), d->b.data(), d->out.data(), d->a.size(),
           [element](T a, T b) { return static_cast<T>(element(low8(a), low8(b))); });
    });
  });
  // OpenCV's bitwise operations work on the bits of any element type; on floats that is no logic
  // of values, but the same amount of work.
  addLoop(proc, combo, "cv", [cvOp] {
    auto d = std::make_shared<Data>();
    return Body([d, cvOp] { cvOp(d->a.mat, d->b.mat, d->out.mat); });
  });
  addMemcpy(proc, combo, 2 * kPixels * sizeof(T), kPixels * sizeof(T));
}

template <class T>
void registerType() {
  const std::string combo = comboName<T>();
  logic<T>(
      "_AndImage", [](uint8_t a, uint8_t b) { return static_cast<uint8_t>(a & b); },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::bitwise_and(a, b, o); });
  logic<T>(
      "_OrImage", [](uint8_t a, uint8_t b) { return static_cast<uint8_t>(a | b); },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::bitwise_or(a, b, o); });

  // Two-level inversion: minimum and maximum, then every element below the maximum becomes the
  // maximum and the others the minimum. OpenCV: minMaxIdx and a binary threshold just below the
  // maximum.
  {
    struct Data {
      Image<T> a{kSide, 1, 0}, out{kSide, 1, -1};
    };
    addEntry("_NotImage", combo, [](kxhost::Instance& inst) {
      fillInput<T>(inst.inputs[0], kSide, kSide);
      inst.outputs[0].type = codeOf<T>();
    });
    addLoop("_NotImage", combo, "kernel", [] {
      auto d = std::make_shared<Data>();
      return Body([d] {
        const T* a = d->a.data();
        const std::size_t n = d->a.size();
        T lo = a[0], hi = a[0];
        for (std::size_t i = 0; i < n; ++i) {
          lo = a[i] < lo ? a[i] : lo;
          hi = a[i] > hi ? a[i] : hi;
        }
        map1(a, d->out.data(), n, [lo, hi](T x) { return x < hi ? hi : lo; });
      });
    });
    addLoop("_NotImage", combo, "cv", [] {
      auto d = std::make_shared<Data>();
      return Body([d] {
        double lo = 0, hi = 0;
        cv::minMaxIdx(d->a.mat, &lo, &hi);
        cv::threshold(d->a.mat, d->out.mat, hi - 0.5, lo, cv::THRESH_BINARY);
      });
    });
    addMemcpy("_NotImage", combo, 2 * kPixels * sizeof(T), kPixels * sizeof(T));
  }

  // Generators write one image; OpenCV's nearest is setting every element to a value.
  {
    struct Data {
      Image<T> out{kSide, 1, -1};
    };
    addEntry("_ConstImage", combo, [](kxhost::Instance& inst) {
      inst.params[static_cast<std::size_t>(inst.paramIndex("scalar"))].dblVal = 77;
      inst.params[static_cast<std::size_t>(inst.paramIndex("X"))].lVal = kSide;
      inst.params[static_cast<std::size_t>(inst.paramIndex("Y"))].lVal = kSide;
      inst.outputs[0].type = codeOf<T>();
    });
    addLoop("_ConstImage", combo, "kernel", [] {
      auto d = std::make_shared<Data>();
      return Body([d] { std::fill(d->out.v.begin(), d->out.v.end(), T(77)); });
    });
    addLoop("_ConstImage", combo, "cv", [] {
      auto d = std::make_shared<Data>();
      return Body([d] { d->out.mat.setTo(cv::Scalar::all(77)); });
    });
    addMemcpy("_ConstImage", combo, 0, kPixels * sizeof(T));

    addEntry("_ImagePlane", combo, [](kxhost::Instance& inst) {
      inst.params[static_cast<std::size_t>(inst.paramIndex("Slope"))].dblVal = 0.5;
      inst.params[static_cast<std::size_t>(inst.paramIndex("X"))].lVal = kSide;
      inst.params[static_cast<std::size_t>(inst.paramIndex("Y"))].lVal = kSide;
      inst.outputs[0].type = codeOf<T>();
    });
    // The ramp: row r, column c hold the low 8 bits of max(r, c) * slope + offset, truncated.
    addLoop("_ImagePlane", combo, "kernel", [] {
      auto d = std::make_shared<Data>();
      return Body([d] {
        T* o = d->out.data();
        for (int32_t r = 0; r < kSide; ++r, o += kSide) {
          T* __restrict row = o;
          for (int32_t c = 0; c < kSide; ++c) {
            const int32_t m = r > c ? r : c;
            row[c] = static_cast<T>(static_cast<uint8_t>(static_cast<int32_t>(static_cast<double>(m) * 0.5 + 0.0)));
          }
        }
      });
    });
    addLoop("_ImagePlane", combo, "cv", [] {
      auto d = std::make_shared<Data>();
      return Body([d] { d->out.mat.setTo(cv::Scalar::all(77)); });
    });
    addMemcpy("_ImagePlane", combo, 0, kPixels * sizeof(T));
  }
}

}  // namespace

void registerLogicGenerators() {
  registerType<uint8_t>();
  registerType<float>();
}

}  // namespace rkbench
