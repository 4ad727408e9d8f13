// Binarisation, adaptive threshold, means and mean/sigma features: entry, reference loop, OpenCV
// and memcpy per row.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "CvSupport.h"

namespace rkbench {
namespace {

template <class T>
struct One {
  Image<T> a{kSide, 1, 0}, out{kSide, 1, -1};
};

// The sum of an image's elements: exact in 64-bit integers for 8-bit elements (what a kernel may
// do, since the sum of 2^24 bytes fits), in double for floating ones.
template <class T>
double sumOf(const T* a, std::size_t n) {
  if constexpr (std::is_same_v<T, uint8_t>) {
    uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i];
    return static_cast<double>(sum);
  } else {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(a[i]);
    return sum;
  }
}

template <class T>
void oneInput(const char* proc, kxType outType) {
  addEntry(proc, comboName<T>(), [outType](kxhost::Instance& inst) {
    fillInput<T>(inst.inputs[0], kSide, kSide);
    inst.outputs[0].type = outType;
  });
}

template <class T>
void registerType() {
  const std::string combo = comboName<T>();

  // Fixed threshold 128 with the default values 255 and 0; OpenCV's binary threshold above 127.5.
  oneInput<T>("_BinImage", codeOf<T>());
  addLoop("_BinImage", combo, "kernel", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] {
      const T above = T(255), below = T(0);
      map1(d->a.data(), d->out.data(), d->a.size(),
           [above, below](T x) { return static_cast<double>(x) < 128.0 ? below : above; });
    });
  });
  addLoop("_BinImage", combo, "cv", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] { cv::threshold(d->a.mat, d->out.mat, 127.5, 255, cv::THRESH_BINARY); });
  });
  addMemcpy("_BinImage", combo, kPixels * sizeof(T), kPixels * sizeof(T));

  // Running-mean threshold with the defaults (rate 0.1, offset 10, type A): one dependent chain
  // through the whole image. OpenCV's nearest, a local-mean threshold, takes 8-bit images only, so
  // both rows compare with it on an 8-bit image of the same size.
  oneInput<T>("_BinAdaptThreshImage", codeOf<T>());
  addLoop("_BinAdaptThreshImage", combo, "kernel", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] {
      const T* a = d->a.data();
      T* o = d->out.data();
      double m = 128.0;
      for (std::size_t i = 0; i < d->a.size(); ++i) {
        const double v = static_cast<double>(a[i]);
        m = m + (v - m) * 0.1;
        o[i] = v < m + 10.0 ? T(0) : T(255);
      }
    });
  });
  addLoop("_BinAdaptThreshImage", combo, "cv", [] {
    auto d = std::make_shared<One<uint8_t>>();
    return Body([d] {
      cv::adaptiveThreshold(d->a.mat, d->out.mat, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 11, -10);
    });
  });
  addMemcpy("_BinAdaptThreshImage", combo, kPixels * sizeof(T), kPixels * sizeof(T));

  // Mean per plane (mode 1, the default) into a double feature: one pass of sums.
  oneInput<T>("_MittelWert", 4);
  addLoop("_MittelWert", combo, "kernel", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] {
      const T* a = d->a.data();
      benchmark::DoNotOptimize(sumOf(a, d->a.size()) / static_cast<double>(d->a.size()));
    });
  });
  addLoop("_MittelWert", combo, "cv", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] { benchmark::DoNotOptimize(cv::mean(d->a.mat)); });
  });
  addMemcpy("_MittelWert", combo, kPixels * sizeof(T), 0);

  // Mean and mean squared deviation per plane into double features: a pass of sums, then one of
  // squared deviations from the mean.
  oneInput<T>("_MittelSigma", 4);
  addLoop("_MittelSigma", combo, "kernel", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] {
      const T* a = d->a.data();
      const std::size_t n = d->a.size();
      double dev = 0;
      const double mean = sumOf(a, n) / static_cast<double>(n);
      for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(a[i]) - mean;
        dev += x * x;
      }
      benchmark::DoNotOptimize(mean);
      benchmark::DoNotOptimize(dev / static_cast<double>(n));
    });
  });
  addLoop("_MittelSigma", combo, "cv", [] {
    auto d = std::make_shared<One<T>>();
    return Body([d] {
      cv::Scalar mean, sigma;
      cv::meanStdDev(d->a.mat, mean, sigma);
      benchmark::DoNotOptimize(sigma);
    });
  });
  addMemcpy("_MittelSigma", combo, kPixels * sizeof(T), 0);
}

}  // namespace

void registerSegmentationFeatures() {
  registerType<uint8_t>();
  registerType<float>();
}

}  // namespace rkbench
