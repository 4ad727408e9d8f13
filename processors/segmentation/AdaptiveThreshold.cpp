// Binarisation of grey-value images against a running mean of the grey values plus an offset.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

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
constexpr int32_t kLanes = 16, kSegment = 8192;

// Elements to warm a guessed mean up with: enough for the gap to the true mean to shrink by 2^-64,
// far below the last bit of a mean within 2^10 of the data's range, else 0 (the chain forgets too
// slowly, or the rate is not a contraction).
inline int32_t warmLength(double rate) {
  if (!(rate > 0.0 && rate <= 1.0)) return 0;
  const double steps = 64.0 * 0.6931471805599453 / -std::log1p(-std::min(rate, 0.5));
  if (!(steps < kSegment / 2)) return 0;
  return (static_cast<int32_t>(steps) / 4 + 1) * 4;
}

// Values of 32 bytes are passed differently with and without AVX; they never cross a call here
// (the compiler reports it at the end of the file, so the warning stays off to the end).
#pragma GCC diagnostic ignored "-Wpsabi"

// Four lanes in one value. Everything here is inlined into the kernel, so the compiler keeps the
// sixteen means in vector registers on either path (two halves each on the baseline path), and no
// such value crosses a call.
using Lanes4 = double __attribute__((vector_size(32)));
using Mask4 = int64_t __attribute__((vector_size(32)));
constexpr int32_t kQuads = kLanes / 4;

// Four elements of each image type in one value.
template <class T>
struct Four;
template <>
struct Four<uint8_t> {
  using type = uint8_t __attribute__((vector_size(4)));
};
template <>
struct Four<int32_t> {
  using type = int32_t __attribute__((vector_size(16)));
};
template <>
struct Four<float> {
  using type = float __attribute__((vector_size(16)));
};
template <>
struct Four<double> {
  using type = double __attribute__((vector_size(32)));
};

// Four consecutive elements of one lane as doubles.
template <class I>
[[gnu::always_inline]] inline Lanes4 loadFour(const I* p) {
  typename Four<I>::type v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::is_same_v<I, uint8_t>) {
    const Four<int32_t>::type w = {v[0], v[1], v[2], v[3]};
    return __builtin_convertvector(w, Lanes4);
  } else
    return __builtin_convertvector(v, Lanes4);
}

// Rows of four become columns of four: r[j][k] -> c[k][j].
template <class V>
[[gnu::always_inline]] inline void transpose(const V* r, V* c) {
  const V t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 2, 6), t1 = __builtin_shufflevector(r[0], r[1], 1, 5, 3, 7);
  const V t2 = __builtin_shufflevector(r[2], r[3], 0, 4, 2, 6), t3 = __builtin_shufflevector(r[2], r[3], 1, 5, 3, 7);
  c[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  c[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  c[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  c[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Four steps of the four lanes of quad q, each reading from[j] + k; with `out`, the elements of
// every lane are classified and written to to[j] + k.
template <class I, class O, bool kWrite>
[[gnu::always_inline]] inline void stepFour(const I* const* from, O* const* to, int32_t k, Lanes4& m, double rate,
                                            double consta, const Lanes4& above, const Lanes4& below) {
  Lanes4 rows[4], steps[4];
  for (int32_t j = 0; j < 4; ++j) rows[j] = loadFour(from[j] + k);
  transpose(rows, steps);
  Mask4 upper[4];
  for (int32_t i = 0; i < 4; ++i) {
    m = m + (steps[i] - m) * rate;
    upper[i] = steps[i] >= m + consta;
  }
  if constexpr (kWrite) {
    const O a = static_cast<O>(above[0]), b = static_cast<O>(below[0]);
    [[maybe_unused]] const typename Four<O>::type aboveBytes = {a, a, a, a}, belowBytes = {b, b, b, b};
    Mask4 byLane[4];
    transpose(upper, byLane);
    for (int32_t j = 0; j < 4; ++j) {
      const Lanes4 chosen = byLane[j] != 0 ? above : below;
      typename Four<O>::type v;
      if constexpr (std::is_same_v<O, uint8_t>) {
        // The low byte of each lane's mask, then the bits of the upper or the lower value.
        using Bytes32 = uint8_t __attribute__((vector_size(32)));
        const auto bytes = reinterpret_cast<const Bytes32&>(byLane[j]);
        const typename Four<O>::type pick = __builtin_shufflevector(bytes, bytes, 0, 8, 16, 24);
        v = (pick & aboveBytes) | (~pick & belowBytes);
      } else {
        v = __builtin_convertvector(chosen, typename Four<O>::type);
      }
      std::memcpy(to[j] + k, &v, sizeof v);
    }
  }
}

template <class I, class O>
double adaptTypeA(const I* __restrict in, O* __restrict out, int32_t n, double mean, const Settings s, O above,
                  O below) {
  const int32_t warm = warmLength(s.rate);
  constexpr int32_t kGroup = kLanes * kSegment;
  const double a = static_cast<double>(above), b = static_cast<double>(below);
  const Lanes4 above4 = {a, a, a, a}, below4 = {b, b, b, b};
  int32_t base = 0;
  int32_t misses = 0;
  if (warm > 0) {
    // Many missed segments mean data the guesses do not survive (long flat stretches): the rest
    // is left to the serial scan.
    for (; base + kGroup <= n && misses < 64; base += kGroup) {
      const I* from[kLanes];
      O* to[kLanes];
      // Lane 0 warms up beside lane 1 and is then given the true mean.
      for (int32_t j = 1; j < kLanes; ++j) from[j] = in + base + j * kSegment - warm;
      from[0] = from[1];
      Lanes4 m[kQuads];
      for (int32_t q = 0; q < kQuads; ++q) m[q] = Lanes4{mean, mean, mean, mean};
      for (int32_t k = 0; k < warm; k += 4)
        for (int32_t q = 0; q < kQuads; ++q)
          stepFour<I, O, false>(from + 4 * q, to + 4 * q, k, m[q], s.rate, s.consta, above4, below4);
      m[0][0] = mean;
      double first[kLanes];
      std::memcpy(first, m, sizeof first);
      for (int32_t j = 0; j < kLanes; ++j) {
        from[j] = in + base + j * kSegment;
        to[j] = out + base + j * kSegment;
      }
      for (int32_t k = 0; k < kSegment; k += 4)
        for (int32_t q = 0; q < kQuads; ++q)
          stepFour<I, O, true>(from + 4 * q, to + 4 * q, k, m[q], s.rate, s.consta, above4, below4);
      double last[kLanes];
      std::memcpy(last, m, sizeof last);
      mean = last[0];
      for (int32_t j = 1; j < kLanes; ++j) {
        if (std::bit_cast<uint64_t>(first[j]) == std::bit_cast<uint64_t>(mean)) {
          mean = last[j];
        } else {
          ++misses;
          mean = adaptSerial(in + base + j * kSegment, out + base + j * kSegment, kSegment, mean, s, above, below);
        }
      }
    }
  }
  return adaptSerial(in + base, out + base, n - base, mean, s, above, below);
}

// The side-by-side scan needs AVX2's shuffles to pay: on the baseline path the serial scan is faster.
template <class I, class O>
double adaptRun(const I* in, O* out, int32_t n, double mean, const Settings& s, O above, O below, bool wide) {
  if (s.typeB || !wide) return adaptSerial(in, out, n, mean, s, above, below);
  return adaptTypeA(in, out, n, mean, s, above, below);
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
    const bool wide = avx2Path();
    auto kernel = [&](const I* from, O* to, int32_t n) { m = adaptRun(from, to, n, m, s, above, below, wide); };
    // Rows laid out one after the other are scanned as one run.
    // Addresses are compared as integers: rows elsewhere must not be reached by pointer arithmetic.
    auto follows = [&](const void* first, const void* later, int32_t y, std::size_t size) {
      return reinterpret_cast<uintptr_t>(later) - reinterpret_cast<uintptr_t>(first) == uintptr_t(y) * info.X * size;
    };
    bool joined = info.Y > 0 && int64_t(info.X) * info.Y <= INT32_MAX;
    for (int32_t y = 1; y < info.Y && joined; ++y)
      joined = follows(row(0), row(y), y, sizeof(I)) && follows(outRow(0), outRow(y), y, sizeof(O));
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
