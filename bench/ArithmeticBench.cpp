// Dyadic, scalar, blend and monadic arithmetic: entry, reference loop, OpenCV and memcpy per row.
#include <opencv2/core.hpp>

#include "CvSupport.h"

namespace rkbench {
namespace {

template <class T>
struct Two {
  Image<T> a{kSide, 1, 0}, b{kSide, 1, 1}, out{kSide, 1, -1};
  explicit Two(bool nonZeroDivisor) {
    if constexpr (std::is_same_v<T, uint8_t>) {
      if (nonZeroDivisor)
        for (auto& x : b.v) x = static_cast<uint8_t>(x | 1);
    }
  }
};

template <class T>
struct One {
  Image<T> a{kSide, 1, 0}, out{kSide, 1, -1};
};

// Two inputs and one output of type T. `element` is the element rule of the reference loop, `cvOp`
// the OpenCV call.
template <class T, class Element, class CvOp>
void dyadic(const char* proc, Element element, CvOp cvOp, bool divisor = false) {
  const std::string combo = comboName<T>();
  addEntry(proc, combo, [divisor](kxhost::Instance& inst) {
    fillInput<T>(inst.inputs[0], kSide, kSide, 1, 0);
    kxhost::Matrix& b = fillInput<T>(inst.inputs[1], kSide, kSide, 1, 1);
    if constexpr (std::is_same_v<T, uint8_t>) {
      if (divisor)
        for (std::size_t i = 0; i < b.count(); ++i) b.as<uint8_t>()[i] |= 1;
    }
    inst.outputs[0].type = codeOf<T>();
  });
  addLoop(proc, combo, "kernel", [element, divisor] {
    auto d = std::make_shared<Two<T>>(divisor);
    return Body([d, element] { map2(d->a.data(), d->b.data(), d->out.data(), d->a.size(), element); });
  });
  addLoop(proc, combo, "cv", [cvOp, divisor] {
    auto d = std::make_shared<Two<T>>(divisor);
    return Body([d, cvOp] { cvOp(d->a.mat, d->b.mat, d->out.mat); });
  });
  addMemcpy(proc, combo, 2 * kPixels * sizeof(T), kPixels * sizeof(T));
}

// One input and one output of type T, with the "scalar" parameter (when the processor has one).
template <class T, class Prepare, class CvOp>
void monadic(const char* proc, double scalar, Prepare prepareKernel, CvOp cvOp) {
  const std::string combo = comboName<T>();
  addEntry(proc, combo, [scalar](kxhost::Instance& inst) {
    fillInput<T>(inst.inputs[0], kSide, kSide);
    int s = inst.paramIndex("scalar");
    if (s >= 0) inst.params[static_cast<std::size_t>(s)].dblVal = scalar;
    inst.outputs[0].type = codeOf<T>();
  });
  addLoop(proc, combo, "kernel", [prepareKernel] {
    auto d = std::make_shared<One<T>>();
    auto run = prepareKernel();
    return Body([d, run] { run(d->a.data(), d->out.data(), d->a.size()); });
  });
  addLoop(proc, combo, "cv", [cvOp] {
    auto d = std::make_shared<One<T>>();
    return Body([d, cvOp] { cvOp(d->a.mat, d->out.mat); });
  });
  addMemcpy(proc, combo, kPixels * sizeof(T), kPixels * sizeof(T));
}

// A reference loop that applies an element rule of one operand.
template <class T, class Element>
auto pointLoop(Element element) {
  return [element] { return [element](const T* a, T* o, std::size_t n) { map1(a, o, n, element); }; };
}

template <class T>
void registerType() {
  constexpr bool u8 = std::is_same_v<T, uint8_t>;

  dyadic<T>(
      "_AddImage", [](T a, T b) { return static_cast<T>(a + b); },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::add(a, b, o); });
  dyadic<T>(
      "_SubImage", [](T a, T b) { return static_cast<T>(a - b); },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::subtract(a, b, o); });
  dyadic<T>(
      "_MultImage", [](T a, T b) { return static_cast<T>(a * b); },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::multiply(a, b, o); });
  dyadic<T>(
      "_DivImage", [](T a, T b) { return static_cast<T>(a / b); },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::divide(a, b, o); }, true);
  dyadic<T>(
      "_AbsDiffImage",
      [](T a, T b) {
        if constexpr (u8)
          return static_cast<T>(a > b ? a - b : b - a);
        else
          return a > b ? a - b : b - a;
      },
      [](const cv::Mat& a, const cv::Mat& b, cv::Mat& o) { cv::absdiff(a, b, o); });

  // Addition and subtraction hold the scalar in the input type; multiplication and division in double.
  constexpr double kAdd = 10, kMult = 3, kDiv = 3, kBlend = 0.3;
  monadic<T>("_ScalarAddImage", kAdd, pointLoop<T>([](T a) { return static_cast<T>(a + static_cast<T>(kAdd)); }),
             [](const cv::Mat& a, cv::Mat& o) { cv::add(a, cv::Scalar::all(kAdd), o); });
  monadic<T>("_ScalarSubImage", kAdd, pointLoop<T>([](T a) { return static_cast<T>(a - static_cast<T>(kAdd)); }),
             [](const cv::Mat& a, cv::Mat& o) { cv::subtract(a, cv::Scalar::all(kAdd), o); });
  monadic<T>("_ScalarMultImage", kMult, pointLoop<T>([](T a) { return store<T>(static_cast<double>(a) * kMult); }),
             [](const cv::Mat& a, cv::Mat& o) { cv::multiply(a, cv::Scalar::all(kMult), o); });
  monadic<T>("_ScalarDivImage", kDiv, pointLoop<T>([](T a) { return store<T>(static_cast<double>(a) / kDiv); }),
             [](const cv::Mat& a, cv::Mat& o) { cv::divide(a, cv::Scalar::all(kDiv), o); });

  // Blend: both inputs widened to double, g * b + f * a.
  {
    const std::string combo = comboName<T>();
    addEntry("_BlendImage", combo, [](kxhost::Instance& inst) {
      fillInput<T>(inst.inputs[0], kSide, kSide, 1, 0);
      fillInput<T>(inst.inputs[1], kSide, kSide, 1, 1);
      inst.params[0].dblVal = kBlend;
      inst.outputs[0].type = codeOf<T>();
    });
    addLoop("_BlendImage", combo, "kernel", [] {
      auto d = std::make_shared<Two<T>>(false);
      return Body([d] {
        const double f = kBlend, g = 1.0 - kBlend;
        map2(d->a.data(), d->b.data(), d->out.data(), d->a.size(),
             [f, g](T a, T b) { return store<T>(g * static_cast<double>(b) + f * static_cast<double>(a)); });
      });
    });
    addLoop("_BlendImage", combo, "cv", [] {
      auto d = std::make_shared<Two<T>>(false);
      return Body([d] { cv::addWeighted(d->a.mat, kBlend, d->b.mat, 1.0 - kBlend, 0.0, d->out.mat); });
    });
    addMemcpy("_BlendImage", combo, 2 * kPixels * sizeof(T), kPixels * sizeof(T));
  }

  monadic<T>("_Negate", 0, pointLoop<T>([](T a) { return static_cast<T>(T(255) - a); }),
             [](const cv::Mat& a, cv::Mat& o) { cv::subtract(cv::Scalar::all(255), a, o); });
  monadic<T>("_SquareImage", 0, pointLoop<T>([](T a) { return static_cast<T>(a * a); }),
             [](const cv::Mat& a, cv::Mat& o) { cv::multiply(a, a, o); });
  // Stretch: a pass for minimum and maximum (the host's, in the entry), then (x - min) * factor.
  monadic<T>(
      "_Norm", 0,
      [] {
        return [](const T* a, T* o, std::size_t n) {
          T lo = a[0], hi = a[0];
          for (std::size_t i = 0; i < n; ++i) {
            lo = a[i] < lo ? a[i] : lo;
            hi = a[i] > hi ? a[i] : hi;
          }
          const double min = static_cast<double>(lo), factor = 255.0 / (static_cast<double>(hi) - min);
          map1(a, o, n, [min, factor](T x) { return store<T>((static_cast<double>(x) - min) * factor); });
        };
      },
      [](const cv::Mat& a, cv::Mat& o) { cv::normalize(a, o, 0, 255, cv::NORM_MINMAX); });
  // Noise: one draw of a 15-bit linear congruential generator per element, six bits of it times
  // the scalar added, the result limited to 0..255.
  monadic<T>(
      "_Pertur", 1,
      [] {
        return [](const T* a, T* o, std::size_t n) {
          uint32_t state = 1;
          for (std::size_t i = 0; i < n; ++i) {
            state = state * 214013u + 2531011u;
            const int noise = static_cast<int>((state >> 16) & 0x7fff) >> 9;
            if constexpr (u8) {
              int v = noise + a[i];
              o[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
            } else {
              T v = static_cast<T>(static_cast<double>(noise) + static_cast<double>(a[i]));
              o[i] = v > T(255) ? T(255) : (v < T(0) ? T(0) : v);
            }
          }
        };
      },
      [](const cv::Mat&, cv::Mat& o) { cv::randu(o, cv::Scalar::all(0), cv::Scalar::all(64)); });
}

}  // namespace

void registerArithmetic() {
  registerType<uint8_t>();
  registerType<float>();
}

}  // namespace rkbench
