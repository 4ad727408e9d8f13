// Binarisation of grey-value images against a running mean of the grey values plus an offset.
#include <algorithm>
#include <bit>
#include <cmath>
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

// One run of elements; the running mean m carries over from the previous run and matrix, so the
// rows of a stream are a single scan.
template <class I, class O>
[[gnu::noinline]] double adaptSerial(const I* __restrict in, O* __restrict out, int32_t n, double mean,
                                     const Settings s, O above, O below) {
  for (int32_t k = 0; k < n; ++k) {
    const I raw = in[k];
    const double v = static_cast<double>(raw);
    const double previous = mean;
    if (!s.typeB || adapts(raw, mean + s.consta)) mean = previous + (v - previous) * s.rate;
    // Strict test; a NaN element or threshold takes the lower value.
    out[k] = v >= mean + s.consta ? above : below;
  }
  return mean;
}

// The scan of type A is one chain of dependent roundings, but a chain of rate r forgets where it
// started: two means that see the same elements approach each other by the factor 1 - r per
// element until they meet bit for bit, and from there on they are the same mean. So a run is cut
// into kLanes segments scanned side by side (the lanes vectorise): lane 0 starts from the true mean,
// every other lane from a guess that it carries through the `warm` elements before its segment.
// When the true mean at the start of a segment (lane j - 1's final mean, once that is known to be
// true) equals lane j's mean there, lane j's outputs and final mean are the serial scan's; otherwise
// the segment is scanned again serially from the true mean.
constexpr int32_t kLanes = 16, kSegment = 2048, kTile = 32;

// Elements to warm a guessed mean up with: enough for any gap within +-2^20 to shrink below 2^-60
// of the data, else 0 (the chain forgets too slowly, or the rate is not a contraction).
inline int32_t warmLength(double rate) {
  if (!(rate > 0.0 && rate <= 1.0)) return 0;
  const double steps = 80.0 * 0.6931471805599453 / -std::log1p(-std::min(rate, 0.5));
  if (!(steps < kSegment / 2)) return 0;
  return (static_cast<int32_t>(steps) / kTile + 1) * kTile;
}

// The kTile elements of every lane from its own position, as doubles, lane index innermost.
template <class I>
void loadTile(const I* const* from, int32_t k0, double (*tile)[kLanes]) {
  for (int32_t j = 0; j < kLanes; ++j)
    for (int32_t k = 0; k < kTile; ++k) tile[k][j] = static_cast<double>(from[j][k0 + k]);
}

template <class I, class O>
double adaptTypeA(const I* __restrict in, O* __restrict out, int32_t n, double mean, const Settings s, O above,
                  O below) {
  const int32_t warm = warmLength(s.rate);
  constexpr int32_t kGroup = kLanes * kSegment;
  int32_t base = 0;
  int32_t misses = 0;
  if (warm > 0) {
    alignas(64) double tile[kTile][kLanes];
    alignas(64) uint8_t upper[kTile][kLanes];
    // Many missed segments mean data the guesses do not survive (long flat stretches): the rest
    // is left to the serial scan.
    for (; base + kGroup <= n && misses < 64; base += kGroup) {
      const I* from[kLanes];
      double m[kLanes];
      // Lane 0 warms up beside lane 1 and is then given the true mean.
      for (int32_t j = 1; j < kLanes; ++j) from[j] = in + base + j * kSegment - warm;
      from[0] = from[1];
      for (int32_t j = 0; j < kLanes; ++j) m[j] = mean;
      for (int32_t k0 = 0; k0 < warm; k0 += kTile) {
        loadTile(from, k0, tile);
        for (int32_t k = 0; k < kTile; ++k)
          for (int32_t j = 0; j < kLanes; ++j) m[j] = m[j] + (tile[k][j] - m[j]) * s.rate;
      }
      m[0] = mean;
      double first[kLanes];
      for (int32_t j = 0; j < kLanes; ++j) {
        first[j] = m[j];
        from[j] = in + base + j * kSegment;
      }
      for (int32_t k0 = 0; k0 < kSegment; k0 += kTile) {
        loadTile(from, k0, tile);
        for (int32_t k = 0; k < kTile; ++k)
          for (int32_t j = 0; j < kLanes; ++j) {
            const double v = tile[k][j];
            m[j] = m[j] + (v - m[j]) * s.rate;
            upper[k][j] = v >= m[j] + s.consta;
          }
        for (int32_t j = 0; j < kLanes; ++j) {
          O* to = out + base + j * kSegment + k0;
          for (int32_t k = 0; k < kTile; ++k) to[k] = upper[k][j] ? above : below;
        }
      }
      mean = m[0];
      for (int32_t j = 1; j < kLanes; ++j) {
        if (std::bit_cast<uint64_t>(first[j]) == std::bit_cast<uint64_t>(mean)) {
          mean = m[j];
        } else {
          ++misses;
          mean = adaptSerial(in + base + j * kSegment, out + base + j * kSegment, kSegment, mean, s, above, below);
        }
      }
    }
  }
  return adaptSerial(in + base, out + base, n - base, mean, s, above, below);
}

template <class I, class O>
double adaptRun(const I* in, O* out, int32_t n, double mean, const Settings& s, O above, O below) {
  return s.typeB ? adaptSerial(in, out, n, mean, s, above, below) : adaptTypeA(in, out, n, mean, s, above, below);
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
    auto row = [&](int32_t y) { return static_cast<const I*>(in[y]); };
    auto outRow = [&](int32_t y) { return static_cast<O*>(out[y]); };
    auto kernel = [&](const I* from, O* to, int32_t n) { m = adaptRun(from, to, n, m, s, above, below); };
    // Rows laid out one after the other are scanned as one run.
    bool joined = info.Y > 0 && int64_t(info.X) * info.Y <= INT32_MAX;
    for (int32_t y = 1; y < info.Y && joined; ++y)
      joined = row(y) == row(0) + int64_t(y) * info.X && outRow(y) == outRow(0) + int64_t(y) * info.X;
    if (joined) {
      runKernel(kernel, row(0), outRow(0), info.X * info.Y);
    } else {
      for (int32_t y = 0; y < info.Y; ++y) runKernel(kernel, row(y), outRow(y), info.X);
    }
  }
}

}  // namespace
}  // namespace rk

RK_ENTRY(_BinAdaptThreshImage) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::adaptiveThreshold<I, O>(); });
}
