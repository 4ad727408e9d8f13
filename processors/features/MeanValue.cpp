// Arithmetic means of a stream: one per matrix, one per plane of each matrix, or one mean matrix.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "frame/Frame.h"
#include "processors/features/UnitSums.h"

namespace rk {
namespace {

enum Mode : int32_t { kPerMatrix = 0, kPerPlane = 1, kMeanMatrix = 2 };

// How the sums of an output type are held. Integer outputs add each element converted to a 32-bit
// integer with 32-bit wrap-around (computed unsigned); an 8-bit output keeps those 32-bit sums apart
// from its elements so that 200 + 250 is still 450 when divided. Float sums are rounded to float
// after every addition, double sums stay in double.
template <class O>
using Sum = std::conditional_t<isInteger<O>, int32_t, O>;

template <class S, class I>
S add(S sum, I v) {
  if constexpr (isInteger<S>)
    return low32(static_cast<uint32_t>(sum) + static_cast<uint32_t>(convert<int32_t>(v)));
  else
    return static_cast<S>(static_cast<double>(sum) + static_cast<double>(v));
}

// Integer sums divide truncating toward zero (the divisor is always positive, so no quotient
// overflows); an 8-bit output keeps the quotient's low 8 bits.
template <class O, class S>
O mean(S sum, int32_t divisor) {
  if constexpr (isInteger<S>)
    return convert<O>(sum / divisor);
  else
    return static_cast<O>(static_cast<double>(sum) / static_cast<double>(divisor));
}

// Sum of one contiguous run, from zero, exactly as add() taking the elements in index order gives
// it where that order can be left: 32-bit wrap-around sums are the same in any order (addition
// modulo 2^32 is associative), and double sums of 8-bit elements are exact integers throughout
// (at most 255 * 2^31 < 2^53), so both are formed as integer sums that vectorise. Other double
// sums round at every step; they are added blockwise in units where that gives the same bits. Float
// sums stay serial.
template <class I, class S>
S runSum(const I* __restrict in, int32_t n, [[maybe_unused]] bool wide) {
  if constexpr (std::is_same_v<I, uint8_t> && !std::is_same_v<S, float>) {
    const uint64_t total = units::byteSum(in, n, wide);
    if constexpr (isInteger<S>)
      return low32(static_cast<uint32_t>(total));
    else
      return static_cast<S>(total);
  } else if constexpr (isInteger<S>) {
    uint32_t s = 0;
    for (int32_t k = 0; k < n; ++k) s += static_cast<uint32_t>(convert<int32_t>(in[k]));
    return low32(s);
  } else if constexpr (std::is_same_v<S, double>) {
    return units::sum(in, n, 0.0, wide);
  } else {
    S s = S(0);
    for (int32_t k = 0; k < n; ++k) s = add(s, in[k]);
    return s;
  }
}

// Sums of every plane over the pixels of one matrix, into zeroed sums: sums[c] += in[k + c]. Each
// plane's sum takes its elements in index order, so a single plane is one contiguous run. `wide`:
// the kernel runs on the AVX2 path.
template <class I, class S>
void planeSums(const I* __restrict in, int32_t n, int32_t planes, S* __restrict sums, bool wide) {
  if (planes == 1) {
    sums[0] = runSum<I, S>(in, n, wide);
    return;
  }
  for (int32_t k = 0; k < n; k += planes)
    for (int32_t c = 0; c < planes; ++c) sums[c] = add(sums[c], in[k + c]);
}

template <class I, class S>
void elementSums(const I* __restrict in, int32_t n, S* __restrict sums) {
  for (int32_t k = 0; k < n; ++k) sums[k] = add(sums[k], in[k]);
}

template <class I, class O>
void meanValue() {
  using S = Sum<O>;
  int32_t mode = 0;
  Parameter::kxGetParameter(0, &mode);
  if (mode == kMeanMatrix) kxSafety::kxCompareStreams(0, -1);

  kxMInfo info, outInfo;
  copyMetaInfo(info);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();

  // The mean matrix of mode 2 is created from matrix 0 and completed after the last matrix. Its
  // sums are held in its own elements, except for an 8-bit output, whose 32-bit sums need room of
  // their own.
  O* meanOut = nullptr;
  S* meanSums = nullptr;
  std::vector<S> separateSums;
  int32_t meanLength = 0;

  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetMatrix(i);
    kxInfo::kxGetMInfo(&info);
    const int32_t n = vecLength();
    if (info.Y < 1 || info.X < 1 || info.Planes < 1) fail(msg::kMatricesExpected);

    if (mode == kPerMatrix || mode == kPerPlane) {
      const int32_t q = mode == kPerMatrix ? 1 : info.Planes;
      outInfo.Count = q;
      outInfo.X = 1;
      outInfo.Y = 1;
      outInfo.Planes = q;
      outInfo.Name = info.Name;
      outInfo.UserDatas = info.UserDatas;
    } else if (mode == kMeanMatrix) {
      outInfo = info;
    }

    const I* in = static_cast<const I*>(kxInterface::kxGetIVector());
    if (mode == kMeanMatrix) {
      if (i == 0) {
        meanOut = static_cast<O*>(kxInterface::kxGetOVector(&outInfo));
        meanLength = n;
        if constexpr (std::is_same_v<S, O>) {
          meanSums = meanOut;
          std::fill(meanSums, meanSums + n, S(0));
        } else {
          separateSums.assign(static_cast<std::size_t>(n), S(0));
          meanSums = separateSums.data();
        }
      }
      auto kernel = [](const I* from, int32_t length, S* to) { elementSums(from, length, to); };
      runKernel(kernel, in, meanLength, meanSums);
      continue;
    }
    // An unknown mode still creates one output per matrix, from the information as it stands
    // (empty until a mode sets it), and computes nothing.
    O* out = static_cast<O*>(kxInterface::kxGetOVector(&outInfo));
    if (mode != kPerMatrix && mode != kPerPlane) continue;

    const int32_t q = outInfo.Planes;
    const int32_t divisor = mode == kPerMatrix ? n : info.X * info.Y;
    std::vector<S> sums(static_cast<std::size_t>(q), S(0));
    const bool wide = avx2Path();
    auto kernel = [wide](const I* from, int32_t length, int32_t planes, S* to) {
      planeSums(from, length, planes, to, wide);
    };
    runKernel(kernel, in, n, q, sums.data());
    for (int32_t c = 0; c < q; ++c) out[c] = mean<O>(sums[static_cast<std::size_t>(c)], divisor);
  }

  // An empty stream has no mean matrix: nothing was summed and there is nothing to divide by.
  if (meanOut)
    for (int32_t k = 0; k < meanLength; ++k) meanOut[k] = mean<O>(meanSums[k], count);
}

}  // namespace
}  // namespace rk

RK_ENTRY(_MittelWert) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::meanValue<I, O>(); });
}
