// Per-plane mean and mean squared deviation of every matrix, computed in the output element type.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "frame/Frame.h"
#include "processors/features/UnitSums.h"

namespace rk {
namespace {

// The sums live in the output type, so the output type decides the precision: integer outputs add
// each element converted to their own width and wrap (an 8-bit output sums modulo 256, so [200 250]
// has the sum 194), float sums are rounded to float after every addition, double sums stay double.
template <class O, class I>
O addElement(O sum, I v) {
  if constexpr (isInteger<O>)
    return wrap<O>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(convert<O>(v)));
  else
    return static_cast<O>(static_cast<double>(sum) + static_cast<double>(v));
}

// What one element adds to the spread sum. Integer outputs of integer inputs square the 32-bit
// difference with wrap-around; of floating inputs they square in double and truncate the product to
// their own width. Floating outputs square in double.
template <class O>
using Square = std::conditional_t<isInteger<O>, uint32_t, double>;

template <class O, class I>
Square<O> square(I v, O mean) {
  if constexpr (isInteger<O> && isInteger<I>) {
    const uint32_t d = static_cast<uint32_t>(convert<int32_t>(v)) - static_cast<uint32_t>(static_cast<int32_t>(mean));
    return d * d;
  } else {
    const double d = static_cast<double>(v) - static_cast<double>(mean);
    if constexpr (isInteger<O>)
      return static_cast<uint32_t>(convert<O>(d * d));
    else
      return d * d;
  }
}

template <class O>
O addSquare(O sum, Square<O> s) {
  if constexpr (isInteger<O>)
    return wrap<O>(static_cast<uint32_t>(sum) + s);
  else
    return static_cast<O>(static_cast<double>(sum) + s);
}

// Division by the pixel count N in the output type. An 8-bit output divides by N modulo 256, which
// is 0 when N is a multiple of 256 (a 16 x 16 image): its mean and spread are then written as 0
// rather than divided by zero.
template <class O>
O divide(O sum, int32_t pixels) {
  if constexpr (std::is_same_v<O, uint8_t>) {
    const auto n = static_cast<uint8_t>(pixels);
    return n == 0 ? uint8_t(0) : static_cast<uint8_t>(sum / n);
  } else if constexpr (isInteger<O>) {
    return sum / pixels;
  } else {
    return static_cast<O>(static_cast<double>(sum) / static_cast<double>(pixels));
  }
}

// 8-bit elements summed into a double are whole numbers below 2^53 at every step, so the serial
// double sum equals the integer sum exactly; summing in 64-bit integers gives the same bits and lets
// the loop run in vector lanes.
template <class I, class O>
constexpr bool kExactIntegerSum = std::is_same_v<I, uint8_t>&& std::is_same_v<O, double>;

template <class I, class O>
O singlePlaneSum(const I* __restrict in, int32_t n, [[maybe_unused]] bool wide) {
  if constexpr (kExactIntegerSum<I, O>) {
    return static_cast<O>(units::byteSum(in, n, wide));
  } else if constexpr (std::is_same_v<O, double>) {
    return units::sum(in, n, 0.0, wide);
  } else {
    O s = 0;
    for (int32_t k = 0; k < n; ++k) s = addElement(s, in[k]);
    return s;
  }
}

// The serial double sum of the squared deviations, in blocks whose sum needs no serial chain.
//
// While the sum s lies in the binade [2^(e-1), 2^e), its representable values are the multiples of
// u = 2^(e-53), so s + t rounds to s plus t rounded to a multiple of u, whatever s is, as long as
// the exact sum stays below 2^e and t is not a tie (halfway between two multiples, where the even
// neighbour depends on s). The squares are non-negative, so the sum only grows: a block whose
// terms, rounded to whole numbers of units, are all ties-free and bring s to at most 2^e - u keeps
// every step inside the binade, and those whole numbers add up exactly in any order. Blocks that
// cross into the next binade, hold a tie, a NaN or an infinity, or start from s = 0 are summed
// serially.
struct Units {
  double toUnits = 0.0, unit = 0.0;
  uint64_t start = 0;  // s in units: a whole number in [2^52, 2^53)

  // False when s is 0, or so small or large that the scaling would leave the normal range.
  bool set(double s) {
    if (!(s > 0x1p-900 && s < 0x1p900)) return false;
    int e = 0;
    std::frexp(s, &e);
    toUnits = std::ldexp(1.0, 53 - e);  // powers of two: scaling by them is exact
    unit = std::ldexp(1.0, e - 53);
    start = static_cast<uint64_t>(s * toUnits);
    return true;
  }
  // The sum after adding `total` units, or false when the block leaves the binade.
  bool add(uint64_t total, double* s) {
    if (total > (uint64_t(1) << 53) - 1 - start) return false;
    start += total;
    *s = static_cast<double>(start) * unit;
    return true;
  }
};

constexpr int32_t kSquaresBlock = 2048;
constexpr double k2p52 = 0x1p52;
// For 0 <= r < 2^52, r + 2^52 rounds r to a whole number (ties to even) and holds that number in the
// low 52 bits of its representation.
constexpr uint64_t k2p52Bits = 0x4330000000000000u;

inline double serialSum(const double* __restrict t, int32_t m, double s) {
  for (int32_t k = 0; k < m; ++k) s = s + t[k];
  return s;
}

// table[p[0]] + ... + table[p[m - 1]]: eight bytes per load, four independent sums. The entries are
// at most 2^52 and m at most kSquaresBlock, so no sum wraps, and whole numbers add up in any order.
inline uint64_t tableSum(const uint8_t* __restrict p, int32_t m, const uint64_t* __restrict table) {
  uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int32_t k = 0;
  for (; k + 8 <= m; k += 8) {
    uint64_t w = 0;
    std::memcpy(&w, p + k, 8);
    s0 += table[w & 0xff];
    s1 += table[(w >> 8) & 0xff];
    s2 += table[(w >> 16) & 0xff];
    s3 += table[(w >> 24) & 0xff];
    s0 += table[(w >> 32) & 0xff];
    s1 += table[(w >> 40) & 0xff];
    s2 += table[(w >> 48) & 0xff];
    s3 += table[w >> 56];
  }
  for (; k < m; ++k) s0 += table[p[k]];
  return s0 + s1 + s2 + s3;
}

// 8-bit inputs have 256 distinct squares: each binade's units are tabled once, and a block's total
// is a sum of table entries. A square that may not be added in units gets 2^52, which makes every
// block holding it fail the binade test.
template <class I>
double squaresSum(const I* __restrict in, int32_t n, double mean, [[maybe_unused]] bool wide) {
  double terms[kSquaresBlock];
  double s = 0.0;
  if constexpr (std::is_same_v<I, uint8_t>) {
    double square256[256];
    for (int32_t v = 0; v < 256; ++v) square256[v] = square(uint8_t(v), mean);
    uint64_t units256[256];
    Units u;
    bool tabled = false;
    for (int32_t base = 0; base < n; base += kSquaresBlock) {
      const int32_t m = n - base < kSquaresBlock ? n - base : kSquaresBlock;
      if (!tabled && u.set(s)) {
        for (int32_t v = 0; v < 256; ++v) {
          const double r = square256[v] * u.toUnits;
          const double big = r + k2p52;
          const bool fine = r < k2p52 && std::fabs(r - (big - k2p52)) != 0.5;
          units256[v] = fine ? std::bit_cast<uint64_t>(big) - k2p52Bits : uint64_t(1) << 52;
        }
        tabled = true;
      }
      if (tabled && u.add(tableSum(in + base, m, units256), &s)) continue;
      for (int32_t k = 0; k < m; ++k) terms[k] = square256[in[base + k]];
      s = serialSum(terms, m, s);
      tabled = false;
    }
  } else {
    for (int32_t base = 0; base < n; base += kSquaresBlock) {
      const int32_t m = n - base < kSquaresBlock ? n - base : kSquaresBlock;
      if (units::addSquaresBlock(in + base, m, mean, &s, wide)) continue;
      for (int32_t k = 0; k < m; ++k) s = s + square(in[base + k], mean);
    }
  }
  return s;
}

template <class I, class O>
O singlePlaneSquares(const I* __restrict in, int32_t n, O mean, bool wide) {
  if constexpr (std::is_same_v<O, double>) {
    return squaresSum(in, n, mean, wide);
  } else {
    O s = 0;
    for (int32_t k = 0; k < n; ++k) s = addSquare(s, square(in[k], mean));
    return s;
  }
}

// out[p] = mean of plane p, out[planes + p] = mean squared deviation of plane p. Each plane's sums
// take its elements in index order; the sums of different planes are independent.
template <class I, class O>
void meanSigma(const I* __restrict in, O* __restrict out, int32_t pixels, int32_t planes, bool wide) {
  const int32_t n = pixels * planes;
  std::fill(out, out + 2 * planes, O(0));
  if (planes == 1) {
    out[0] = divide(singlePlaneSum<I, O>(in, n, wide), pixels);
    out[1] = divide(singlePlaneSquares(in, n, out[0], wide), pixels);
    return;
  }
  O* mean = out;
  O* spread = out + planes;
  for (int32_t k = 0; k < n; k += planes)
    for (int32_t p = 0; p < planes; ++p) mean[p] = addElement(mean[p], in[k + p]);
  for (int32_t p = 0; p < planes; ++p) mean[p] = divide(mean[p], pixels);
  for (int32_t k = 0; k < n; k += planes)
    for (int32_t p = 0; p < planes; ++p) spread[p] = addSquare(spread[p], square(in[k + p], mean[p]));
  for (int32_t p = 0; p < planes; ++p) spread[p] = divide(spread[p], pixels);
}

template <class I, class O>
void meanSigmaStream() {
  kxMInfo info, outInfo;
  copyMetaInfo(info);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  // An empty stream has no matrix 0 to check and gives an empty output stream.
  if (count == 0) return;
  kxInfo::kxGetMInfo(&info);
  const int32_t planes = info.Planes;
  outInfo.Count = 2 * planes;
  outInfo.X = 2;
  outInfo.Y = 1;
  outInfo.Planes = planes;
  if (info.Y < 1 || info.X < 1 || planes < 1) fail(msg::kMatricesExpected);

  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetMatrix(i);
    kxInfo::kxGetMInfo(&info);
    // The output is laid out for the planes of matrix 0, and a matrix without pixels has no mean:
    // such a later matrix is refused like an empty matrix 0 instead of being divided by zero or
    // written beyond its output.
    if (info.Y < 1 || info.X < 1 || info.Planes != planes) fail(msg::kMatricesExpected);
    outInfo.Name = info.Name;
    outInfo.UserDatas = info.UserDatas;
    const I* in = static_cast<const I*>(kxInterface::kxGetIVector());
    O* out = static_cast<O*>(kxInterface::kxGetOVector(&outInfo));
    const bool wide = avx2Path();
    auto kernel = [wide](const I* in, O* out, int32_t pixels, int32_t planes) {
      meanSigma(in, out, pixels, planes, wide);
    };
    runKernel(kernel, in, out, info.X * info.Y, planes);
  }
}

}  // namespace
}  // namespace rk

RK_ENTRY(_MittelSigma) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::meanSigmaStream<I, O>(); });
}
