// Binarisation of grey-value images against a running mean of the grey values plus an offset.
#include <cstdint>

#include "frame/Frame.h"

namespace rk {
namespace {

constexpr const char* kGreyExpected = "Es werden Grauwertbilder (1 Planes) erwartet.";

struct Settings {
  double rate;    // share by which one element pulls the running mean towards itself
  double consta;  // offset from the running mean to the threshold
  bool typeB;     // only elements not above the threshold adapt the mean
};

// Type B decides whether an element adapts the mean by comparing it, in its own type, with the
// threshold brought into that type: an 8-bit input sees the truncated threshold modulo 256 as an
// unsigned byte, a 32-bit input the truncated signed value. Floating inputs compare in double. A NaN
// element never satisfies the test and so never moves the mean.
template <class I>
bool adapts(I v, double threshold) {
  if constexpr (isInteger<I>)
    return v <= convert<I>(threshold);
  else
    return static_cast<double>(v) <= threshold;
}

// One row; the running mean m carries over from the previous row and matrix, so the rows of a
// stream are a single scan and cannot be processed independently.
template <class I, class O>
void adaptRow(const I* __restrict in, O* __restrict out, int32_t x, double& m, const Settings& s, O above, O below) {
  double mean = m;
  for (int32_t k = 0; k < x; ++k) {
    const I raw = in[k];
    const double v = static_cast<double>(raw);
    const double previous = mean;
    if (!s.typeB || adapts(raw, mean + s.consta)) mean = previous + (v - previous) * s.rate;
    // Strict test; a NaN element or threshold takes the lower value.
    out[k] = v >= mean + s.consta ? above : below;
  }
  m = mean;
}

template <class I, class O>
void adaptiveThreshold() {
  // The kernel takes the members the catalogue types name, whatever variant type the host stored.
  const O above = convert<O>(Parameter::kxGetParameter(0).dblVal);
  const O below = convert<O>(Parameter::kxGetParameter(1).dblVal);
  Settings s;
  s.consta = Parameter::kxGetParameter(2).dblVal;
  s.rate = Parameter::kxGetParameter(3).dblVal;
  s.typeB = Parameter::kxGetParameter(4).lVal == 1;

  kxMInfo info;
  copyMetaInfo(info);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  // An empty stream has no matrix 0 to check and gives an empty output stream.
  if (count == 0) return;
  kxInfo::kxGetMInfo(&info);
  if (info.Planes != 1 || info.X < 1 || info.Y < 1) fail(kGreyExpected);

  double m = 128.0;
  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetMatrix(i);
    kxInfo::kxGetMInfo(&info);
    // Later matrices are not held to the size test, but one with other than one plane is refused:
    // its output would be laid out for its planes while the scan yields one value per pixel.
    if (info.Planes != 1) fail(kGreyExpected);
    void** in = kxInterface::kxGetIMatrix();
    void** out = kxInterface::kxGetOMatrix(&info);
    for (int32_t y = 0; y < info.Y; ++y)
      adaptRow(static_cast<const I*>(in[y]), static_cast<O*>(out[y]), info.X, m, s, above, below);
  }
}

}  // namespace
}  // namespace rk

RK_ENTRY(_BinAdaptThreshImage) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::adaptiveThreshold<I, O>(); });
}
