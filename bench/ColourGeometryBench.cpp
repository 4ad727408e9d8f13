// RGB split and join, mirroring, quarter and half turns and the general rotation: entry, reference
// loop, OpenCV and memcpy per row.
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "CvSupport.h"

namespace rkbench {
namespace {

constexpr int32_t kRotSide = 2048;
constexpr int64_t kRotPixels = int64_t(kRotSide) * kRotSide;

template <class T>
void registerColour() {
  const std::string combo = comboName<T>();
  struct Data {
    Image<T> rgb{kSide, 3, 0}, r{kSide, 1, 1}, g{kSide, 1, 2}, b{kSide, 1, 3};
    cv::Mat planes[3];
    Data() : planes{r.mat, g.mat, b.mat} {}
  };

  addEntry("_RGBSplitt", combo, [](kxhost::Instance& inst) {
    fillInput<T>(inst.inputs[0], kSide, kSide, 3);
    for (auto& pin : inst.outputs) {
      pin.type = codeOf<T>();
      pin.connected = true;
    }
  });
  addLoop("_RGBSplitt", combo, "kernel", [] {
    auto d = std::make_shared<Data>();
    return Body([d] {
      const T* __restrict in = d->rgb.data();
      T* __restrict r = d->r.data();
      T* __restrict g = d->g.data();
      T* __restrict b = d->b.data();
      for (std::size_t k = 0; k < d->r.size(); ++k) {
        r[k] = in[3 * k];
        g[k] = in[3 * k + 1];
        b[k] = in[3 * k + 2];
      }
    });
  });
  addLoop("_RGBSplitt", combo, "cv", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { cv::split(d->rgb.mat, d->planes); });
  });
  addMemcpy("_RGBSplitt", combo, 3 * kPixels * sizeof(T), 3 * kPixels * sizeof(T));

  addEntry("_RGBJoin", combo, [](kxhost::Instance& inst) {
    for (unsigned c = 0; c < 3; ++c) fillInput<T>(inst.inputs[c], kSide, kSide, 1, c + 1);
    inst.outputs[0].type = codeOf<T>();
  });
  addLoop("_RGBJoin", combo, "kernel", [] {
    auto d = std::make_shared<Data>();
    return Body([d] {
      T* __restrict out = d->rgb.data();
      const T* __restrict r = d->r.data();
      const T* __restrict g = d->g.data();
      const T* __restrict b = d->b.data();
      for (std::size_t k = 0; k < d->r.size(); ++k) {
        out[3 * k] = r[k];
        out[3 * k + 1] = g[k];
        out[3 * k + 2] = b[k];
      }
    });
  });
  addLoop("_RGBJoin", combo, "cv", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { cv::merge(d->planes, 3, d->rgb.mat); });
  });
  addMemcpy("_RGBJoin", combo, 3 * kPixels * sizeof(T), 3 * kPixels * sizeof(T));
}

// One transform of a side x side image of type T and `planes` planes. Rows are named
// _TransformImage/OPERATION.TYPE/KIND.
template <class T>
void transformEntry(const std::string& combo, int side, int planes, int32_t transType, double degrees) {
  addEntry(
      "_TransformImage", combo,
      [side, planes, transType, degrees](kxhost::Instance& inst) {
        fillInput<T>(inst.inputs[0], side, side, planes);
        inst.outputs[0].type = codeOf<T>();
        inst.params[0].lVal = transType;
        inst.params[1].dblVal = degrees;
      },
      int64_t(side) * side);
}

// Quarter turn clockwise in 32 x 32 tiles, so that neither side of the copy strides a whole image
// per element.
template <class T>
void turn90(const T* __restrict in, T* __restrict out, int32_t w, int32_t h) {
  constexpr int32_t kTile = 32;
  for (int32_t y0 = 0; y0 < h; y0 += kTile) {
    for (int32_t x0 = 0; x0 < w; x0 += kTile) {
      for (int32_t y = y0; y < y0 + kTile && y < h; ++y) {
        for (int32_t x = x0; x < x0 + kTile && x < w; ++x) {
          out[std::size_t(x) * std::size_t(h) + std::size_t(h - 1 - y)] =
              in[std::size_t(y) * std::size_t(w) + std::size_t(x)];
        }
      }
    }
  }
}

template <class T>
void registerGeometry() {
  const std::string type = comboName<T>();
  struct Data {
    Image<T> a{kSide, 1, 0}, out{kSide, 1, -1};
  };
  const std::size_t bytes = std::size_t(kPixels) * sizeof(T);

  transformEntry<T>("flipH." + type, kSide, 1, 0, 0);
  addLoop("_TransformImage", "flipH." + type, "kernel", [] {
    auto d = std::make_shared<Data>();
    return Body([d] {
      for (int32_t y = 0; y < kSide; ++y) {
        const T* __restrict in = d->a.data() + std::size_t(y) * kSide;
        T* __restrict out = d->out.data() + std::size_t(y) * kSide;
        for (int32_t x = 0; x < kSide; ++x) out[x] = in[kSide - 1 - x];
      }
    });
  });
  addLoop("_TransformImage", "flipH." + type, "cv", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { cv::flip(d->a.mat, d->out.mat, 1); });
  });
  addMemcpy("_TransformImage", "flipH." + type, bytes, bytes);

  transformEntry<T>("flipV." + type, kSide, 1, 1, 0);
  addLoop("_TransformImage", "flipV." + type, "kernel", [] {
    auto d = std::make_shared<Data>();
    return Body([d] {
      for (int32_t y = 0; y < kSide; ++y) {
        std::memcpy(d->out.data() + std::size_t(y) * kSide, d->a.data() + std::size_t(kSide - 1 - y) * kSide,
                    kSide * sizeof(T));
      }
    });
  });
  addLoop("_TransformImage", "flipV." + type, "cv", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { cv::flip(d->a.mat, d->out.mat, 0); });
  });
  addMemcpy("_TransformImage", "flipV." + type, bytes, bytes);

  transformEntry<T>("rot90." + type, kSide, 1, 2, 90);
  addLoop("_TransformImage", "rot90." + type, "kernel", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { turn90(d->a.data(), d->out.data(), kSide, kSide); });
  });
  addLoop("_TransformImage", "rot90." + type, "cv", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { cv::rotate(d->a.mat, d->out.mat, cv::ROTATE_90_CLOCKWISE); });
  });
  addMemcpy("_TransformImage", "rot90." + type, bytes, bytes);

  transformEntry<T>("rot180." + type, kSide, 1, 2, 180);
  addLoop("_TransformImage", "rot180." + type, "kernel", [] {
    auto d = std::make_shared<Data>();
    return Body([d] {
      const T* __restrict in = d->a.data();
      T* __restrict out = d->out.data();
      const std::size_t n = d->a.size();
      for (std::size_t k = 0; k < n; ++k) out[k] = in[n - 1 - k];
    });
  });
  addLoop("_TransformImage", "rot180." + type, "cv", [] {
    auto d = std::make_shared<Data>();
    return Body([d] { cv::rotate(d->a.mat, d->out.mat, cv::ROTATE_180); });
  });
  addMemcpy("_TransformImage", "rot180." + type, bytes, bytes);
}

// Rotation by 30 degrees of a 2048 x 2048 image into the enclosing image (the three-shear engine
// against OpenCV's bilinear warp to the same output size). No reference loop: the engine is the
// kernel, and a copy of it here would measure nothing new.
template <class T>
void registerRotation(int planes) {
  const std::string combo = std::string("rot30.") + comboName<T>() + (planes == 3 ? "x3" : "");
  transformEntry<T>(combo, kRotSide, planes, 2, 30);
  const double rad = 30.0 * 3.14159265358979323846 / 180.0;
  const int outSide = static_cast<int>(kRotSide * (std::cos(rad) + std::sin(rad))) + 1;
  struct Data {
    Image<T> a, out;
    cv::Mat rotation;
    Data(int planes, int outSide) : a(kRotSide, planes, 0), out(outSide, planes, -1) {
      cv::Point2f centre(kRotSide / 2.0f, kRotSide / 2.0f);
      rotation = cv::getRotationMatrix2D(centre, -30.0, 1.0);
      rotation.at<double>(0, 2) += (outSide - kRotSide) / 2.0;
      rotation.at<double>(1, 2) += (outSide - kRotSide) / 2.0;
    }
  };
  addLoop(
      "_TransformImage", combo, "cv",
      [planes, outSide] {
        auto d = std::make_shared<Data>(planes, outSide);
        return Body([d] {
          cv::warpAffine(d->a.mat, d->out.mat, d->rotation, d->out.mat.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                         cv::Scalar::all(0));
        });
      },
      kRotPixels);
  const std::size_t in = std::size_t(kRotPixels) * std::size_t(planes) * sizeof(T);
  const std::size_t out = std::size_t(outSide) * std::size_t(outSide) * std::size_t(planes) * sizeof(T);
  addMemcpy("_TransformImage", combo, in, out, kRotPixels);
}

}  // namespace

void registerColourGeometry() {
  registerColour<uint8_t>();
  registerColour<float>();
  registerGeometry<uint8_t>();
  registerGeometry<float>();
  registerRotation<uint8_t>(1);
  registerRotation<uint8_t>(3);
  registerRotation<float>(1);
}

}  // namespace rkbench
