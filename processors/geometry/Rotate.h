// The rotation engine: packed 8-bit-per-channel images rotated by any angle through three shears.
//
// PixelRotator holds the algorithms and reaches image storage through its five operations. The
// algorithms are templates over the engine type: given an engine of a final class, every
// getPixel/setPixel is a direct call the compiler inlines, so the shear loops pay no virtual call
// per pixel; given a PixelRotator& they still work, through the virtual operations. An engine that
// also hands out its pixels (PixelAccess) gets whole-line paths instead, bit for bit the same:
// 16-bit fixed-point shares wherever they equal the double ones for all 256 channel values, SSE2
// lines, and the steps fused (rotateRows) so that one working image is allocated, not three.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/Types.h"

namespace rk {

// Channel 0 in bits 0-7, channel 1 in bits 8-15, channel 2 in bits 16-23; bits 24-31 stay 0.
using PackedPixel = uint32_t;

class PixelRotator;

// An engine that also hands out its images' pixels directly, pixel (x, y) at index y * width + x.
// The algorithms then move whole lines at once instead of pixel by pixel.
template <class Engine>
concept PixelAccess = requires(Engine& engine, void* image) {
  { engine.pixels(image) } -> std::same_as<PackedPixel*>;
};

class PixelRotator {
public:
  // Opaque to the algorithms; only the five operations know what an image is.
  using Image = void*;

  virtual ~PixelRotator() = default;
  virtual PackedPixel getPixel(Image image, int32_t width, int32_t height, int32_t x, int32_t y) = 0;
  virtual void setPixel(Image image, int32_t width, int32_t height, int32_t x, int32_t y, PackedPixel value) = 0;
  // A new image of width * height pixels, contents undefined; null when memory is short.
  virtual Image allocImage(int32_t width, int32_t height) = 0;
  // A new image with the contents of `image`; null when memory is short.
  virtual Image copyImage(Image image, int32_t width, int32_t height) = 0;
  virtual void destroyImage(Image image, int32_t width, int32_t height) = 0;

  // Rotates `source` (width x height) by `degrees` through three shears with sub-pixel blending,
  // growing the image to hold the result and filling the uncovered area with `background`. Returns
  // the new image and its size, or null when an image cannot be allocated, in which case every
  // working image is already released. The source stays with the caller.
  template <class Engine>
  static Image rotate(Engine& engine, Image source, int32_t width, int32_t height, double degrees,
                      PackedPixel background, int32_t& outWidth, int32_t& outHeight);

  // rotate() on whole lines, with the first and last images left out: row u of the source is read
  // from sourceRow(u) (a pointer to its pixels, valid until the next call), the first shear's rows
  // go straight into the second shear, whose image is the one image allocated, and each row of the
  // result is handed to resultRow(u, pixels) as it is made, after begin(width, height) has been
  // called once with the result's size. Returns false when memory is short or begin() does; what
  // the rotation allocated is released on every way out.
  // Px is PackedPixel, or uint8_t for grey images (one byte per pixel, the value of all three
  // channels): the result is then channel 0 of the packed rotation.
  template <class Px, PixelAccess Engine, class SourceRow, class Begin, class ResultRow>
  static bool rotateRows(Engine& engine, int32_t width, int32_t height, double degrees, Px background,
                         SourceRow sourceRow, Begin begin, ResultRow resultRow);

private:
  friend struct PixelRotatorProbe;
  template <class Engine>
  struct Held;

  // Channels scaled by w in [0, 1], each truncated toward zero. Formed in int32_t, which holds
  // every channel, so that the conversions vectorise.
  static PackedPixel scaled(PackedPixel p, double w) {
    return channel(static_cast<int32_t>(p & 0xffu) * w) | channel(static_cast<int32_t>(p >> 8 & 0xffu) * w) << 8 |
           channel(static_cast<int32_t>(p >> 16 & 0xffu) * w) << 16;
  }
  static PackedPixel channel(double v) { return static_cast<PackedPixel>(static_cast<int32_t>(v)); }

  // p - left + carry, channel by channel, each modulo 256; no borrow crosses into the next channel.
  static PackedPixel blended(PackedPixel p, PackedPixel left, PackedPixel carry) {
    return lane(p, left, carry, 0) | lane(p, left, carry, 8) | lane(p, left, carry, 16);
  }
  // Bits above a channel do not reach its low 8 bits in a sum or difference, so they need no mask.
  static PackedPixel lane(PackedPixel p, PackedPixel left, PackedPixel carry, int shift) {
    return (((p >> shift) - (left >> shift) + (carry >> shift)) & 0xffu) << shift;
  }

  // A fractional shift split into whole pixels k = floor(d) and the fraction w = d - k.
  struct Shift {
    int64_t k;
    double w;
  };
  static Shift shiftOf(double d) {
    const int64_t k = truncToInt64(std::floor(d));
    double w = d - static_cast<double>(k);
    // Only a NaN angle gets here with w outside [0, 1]; its products truncate to 0 as w = 0 does.
    if (!(w >= 0.0 && w <= 1.0)) w = 0.0;
    return {k, w};
  }

  // Moves a line of n source pixels into a destination line of m pixels with the fractional shift d:
  // source position i lands on i + k and hands w of itself on to the next position, the carry, so
  // destination i + k holds p(i) - left(i) + left(i - 1), left = p scaled by w. Positions outside the
  // moved line hold the background. Every destination position 0..m-1 is written exactly once.
  // `get(i)` reads source position i, `put(j, v)` writes destination position j.
  template <class Get, class Put>
  static void skew(Get get, Put put, int32_t n, int32_t m, double d, PackedPixel background) {
    const auto [k, w] = shiftOf(d);
    // The ranges below are formed in 64 bits, where k may lie far outside the line, and each ends
    // within 0..max(n, m), so the loops run on 32-bit positions.
    const auto lead = static_cast<int32_t>(std::clamp<int64_t>(k, 0, m));
    const auto first = static_cast<int32_t>(std::clamp<int64_t>(-k, 0, n));
    const auto last = static_cast<int32_t>(std::clamp<int64_t>(m - k, 0, n));  // exclusive
    const int64_t end = n + k;
    for (int32_t j = 0; j < lead; ++j) put(j, background);
    if (first < last) {
      const auto shift = static_cast<int32_t>(k);
      const PackedPixel carry = first > 0 ? scaled(get(first - 1), w) : background;
      const PackedPixel p = get(first);
      put(first + shift, blended(p, scaled(p, w), carry));
      // The carry is the previous pixel's share; recomputing it rather than handing it over leaves
      // the iterations independent, so the loop vectorises.
      for (int32_t i = first + 1; i < last; ++i) {
        const PackedPixel q = get(i);
        put(i + shift, blended(q, scaled(q, w), scaled(get(i - 1), w)));
      }
    }
    if (end >= 0 && end < m) put(static_cast<int32_t>(end), n > 0 ? scaled(get(n - 1), w) : background);
    const auto tail = static_cast<int32_t>(std::clamp<int64_t>(end + 1, 0, m));
    for (int32_t j = tail; j < m; ++j) put(j, background);
  }

  // The skew of columns 0..width-1 of `source` (height n) into those of `dest` (height m), column u
  // shifted by d - u * s formed by repeated subtraction; the result is that of skew() applied to
  // each column in turn. Columns go in blocks of a cache line's width and are walked along the
  // rows, so that neither image is read down its columns: per source row, the block's new values
  // are formed together (a loop that vectorises), then stored where each column lands.
  template <class Engine>
  static void skewColumns(Engine& engine, Image source, int32_t width, int32_t n, Image dest, int32_t m, double d,
                          double s, PackedPixel background) {
    constexpr int32_t kBlock = 16;
    for (int32_t u0 = 0; u0 < width; u0 += kBlock) {
      const int32_t columns = std::min(kBlock, width - u0);
      int64_t k[kBlock];
      double w[kBlock];
      PackedPixel carry[kBlock];
      PackedPixel moved[kBlock];
      int32_t lead[kBlock];  // rows [0, lead) above the moved pixels
      int32_t tail[kBlock];  // rows [tail, m) below them and the last carry
      int32_t leadRows = 0, tailRow = m;
      for (int32_t b = 0; b < columns; ++b) {
        const Shift shift = shiftOf(d);
        k[b] = shift.k;
        w[b] = shift.w;
        carry[b] = background;
        lead[b] = static_cast<int32_t>(std::clamp<int64_t>(shift.k, 0, m));
        tail[b] = static_cast<int32_t>(std::clamp<int64_t>(n + shift.k + 1, 0, m));
        leadRows = std::max(leadRows, lead[b]);
        tailRow = std::min(tailRow, tail[b]);
        d = d - s;
      }
      for (int32_t j = 0; j < leadRows; ++j) {
        for (int32_t b = 0; b < columns; ++b) {
          if (j < lead[b]) engine.setPixel(dest, width, m, u0 + b, j, background);
        }
      }
      for (int32_t i = 0; i < n; ++i) {
        for (int32_t b = 0; b < columns; ++b) {
          const PackedPixel p = engine.getPixel(source, width, n, u0 + b, i);
          const PackedPixel left = scaled(p, w[b]);
          moved[b] = blended(p, left, carry[b]);
          carry[b] = left;
        }
        for (int32_t b = 0; b < columns; ++b) {
          const int64_t j = i + k[b];
          if (j >= 0 && j < m) engine.setPixel(dest, width, m, u0 + b, static_cast<int32_t>(j), moved[b]);
        }
      }
      for (int32_t b = 0; b < columns; ++b) {
        const int64_t end = n + k[b];
        if (end >= 0 && end < m) engine.setPixel(dest, width, m, u0 + b, static_cast<int32_t>(end), carry[b]);
      }
      for (int32_t j = tailRow; j < m; ++j) {
        for (int32_t b = 0; b < columns; ++b) {
          if (j >= tail[b]) engine.setPixel(dest, width, m, u0 + b, j, background);
        }
      }
    }
  }

  // ---- whole lines, for engines with PixelAccess ------------------------------------------------

  // The 16-bit weight f with (v * f) >> 16 == trunc(v * w) for every channel value v, or -1 when
  // there is none (w = 1 needs 65536). The channels below 256 pin f to an interval between two
  // fractions of denominator 255 at most, wider than 1 / 65536, which holds w: so w * 65536
  // rounded up or down is the weight unless the rounding of v * w in double itself breaks the
  // pattern, which the check over all 256 values catches.
  static int32_t fixedWeight(double w) {
    const auto up = static_cast<int32_t>(std::ceil(w * 65536.0));  // w lies in [0, 1]
    for (const int32_t f : {up, up - 1}) {
      if (f < 0 || f > 65535) continue;
      int32_t wrong = 0;
      for (int32_t v = 1; v < 256; ++v) wrong |= ((v * f) >> 16) ^ static_cast<int32_t>(v * w);
      if (wrong == 0) return f;
    }
    return -1;
  }
  static PackedPixel scaledFixed(PackedPixel p, uint32_t f) {
    return ((p & 0xffu) * f >> 16) | ((p >> 8 & 0xffu) * f >> 16) << 8 | ((p >> 16 & 0xffu) * f >> 16) << 16;
  }

#if defined(__SSE2__)
  // Sixteen bytes at once: the shares (channels times the 16-bit weights, one weight per byte of
  // the lower and upper eight), and p - share + carry byte by byte, with byte 3 of packed pixels
  // cleared as blended() has it.
  static __m128i shares16(__m128i p, __m128i fLow, __m128i fHigh) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_packus_epi16(_mm_mulhi_epu16(_mm_unpacklo_epi8(p, zero), fLow),
                            _mm_mulhi_epu16(_mm_unpackhi_epi8(p, zero), fHigh));
  }
  template <class Px>
  static __m128i blended16(__m128i p, __m128i share, __m128i carry) {
    const __m128i sum = _mm_add_epi8(_mm_sub_epi8(p, share), carry);
    if constexpr (sizeof(Px) == 1)
      return sum;
    else
      return _mm_and_si128(sum, _mm_set1_epi32(0x00ffffff));
  }
  template <class Px>
  static __m128i splat(Px v) {
    if constexpr (sizeof(Px) == 1)
      return _mm_set1_epi8(static_cast<char>(v));
    else
      return _mm_set1_epi32(static_cast<int32_t>(v));
  }
#endif

  // The whole-line paths take packed pixels or grey ones: one byte, the one channel of a grey
  // image, whose three packed channels are always equal. A grey pixel goes through the packed
  // arithmetic as a pixel with its value in channel 0 and zero in the others, which stay zero.
  template <class Px>
  static constexpr int32_t kPerVector = 16 / static_cast<int32_t>(sizeof(Px));

  // skew() of one row of n pixels at src into the row of m pixels at dst, with the same result.
  template <class Px>
  static void skewRow(const Px* __restrict src, int32_t n, Px* __restrict dst, int32_t m, double d, Px background) {
    const auto [k, w] = shiftOf(d);
    const int32_t fixed = fixedWeight(w);
    if (fixed < 0) {
      skew([src](int32_t i) { return PackedPixel{src[i]}; },
           [dst](int32_t j, PackedPixel v) { dst[j] = static_cast<Px>(v); }, n, m, d, background);
      return;
    }
    const auto f = static_cast<uint32_t>(fixed);
    const auto lead = static_cast<int32_t>(std::clamp<int64_t>(k, 0, m));
    const auto first = static_cast<int32_t>(std::clamp<int64_t>(-k, 0, n));
    const auto last = static_cast<int32_t>(std::clamp<int64_t>(m - k, 0, n));
    const int64_t end = n + k;
    std::fill(dst, dst + lead, background);
    if (first < last) {
      const auto shift = static_cast<int32_t>(k);
      const PackedPixel carry = first > 0 ? scaledFixed(src[first - 1], f) : background;
      dst[first + shift] = static_cast<Px>(blended(src[first], scaledFixed(src[first], f), carry));
      int32_t i = first + 1;
#if defined(__SSE2__)
      const __m128i weight = _mm_set1_epi16(static_cast<int16_t>(f));
      for (; i + kPerVector<Px> <= last; i += kPerVector<Px>) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i - 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + shift),
                         blended16<Px>(p, shares16(p, weight, weight), shares16(q, weight, weight)));
      }
#endif
      for (; i < last; ++i)
        dst[i + shift] = static_cast<Px>(blended(src[i], scaledFixed(src[i], f), scaledFixed(src[i - 1], f)));
    }
    if (end >= 0 && end < m) dst[end] = n > 0 ? static_cast<Px>(scaledFixed(src[n - 1], f)) : background;
    const auto tail = static_cast<int32_t>(std::clamp<int64_t>(end + 1, 0, m));
    std::fill(dst + tail, dst + m, background);
  }

  // The second shear's step for source row i over all columns: each pixel of `row` blended with
  // the share of the pixel above it (`above`, null for the first row, whose carry is the
  // background), into `moved`. Four columns at a time where their weights have a fixed form; the
  // rest, listed in `inexact`, in double as skewColumns() has it.
  // `weight` holds each column's fixed weight once per byte of its pixel.
  template <class Px>
  static void shearStep(const Px* __restrict row, const Px* __restrict above, Px* __restrict moved, int32_t width,
                        const uint16_t* weight, const double* w, const int32_t* inexact, int32_t inexactCount,
                        Px background) {
    constexpr std::size_t lanes = sizeof(Px);
    int32_t u = 0;
#if defined(__SSE2__)
    const __m128i first = splat(background);
    for (; u + kPerVector<Px> <= width; u += kPerVector<Px>) {
      const __m128i fLow = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weight + lanes * std::size_t(u)));
      const __m128i fHigh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weight + lanes * std::size_t(u) + 8));
      const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + u));
      const __m128i carry =
          above ? shares16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(above + u)), fLow, fHigh) : first;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(moved + u), blended16<Px>(p, shares16(p, fLow, fHigh), carry));
    }
#endif
    for (; u < width; ++u) {
      const uint32_t f = weight[lanes * std::size_t(u)];
      moved[u] = static_cast<Px>(
          blended(row[u], scaledFixed(row[u], f), above ? scaledFixed(above[u], f) : PackedPixel{background}));
    }
    for (int32_t x = 0; x < inexactCount; ++x) {
      const int32_t c = inexact[x];
      moved[c] = static_cast<Px>(
          blended(row[c], scaled(row[c], w[c]), above ? scaled(above[c], w[c]) : PackedPixel{background}));
    }
  }

  // Stores the background in row[u] for the columns u where `inside(u)` holds. Where the columns'
  // shifts run one way (`end` 1: the set starts at column 0; -1: it ends at the last column), it
  // is one run from that end and no other column is looked at.
  template <class Px, class Inside>
  static void fillRun(Px* row, int32_t width, int end, Inside inside, Px background) {
    if (end > 0) {
      for (int32_t u = 0; u < width && inside(u); ++u) row[u] = background;
    } else if (end < 0) {
      for (int32_t u = width; u > 0 && inside(u - 1); --u) row[u - 1] = background;
    } else {
      for (int32_t u = 0; u < width; ++u)
        if (inside(u)) row[u] = background;
    }
  }

  // A size the operations can take: positive and within 32 bits.
  static bool fits(int64_t size) { return size > 0 && size <= std::numeric_limits<int32_t>::max(); }
};

template <class Engine>
PixelRotator::Image PixelRotator::rotate(Engine& engine, Image source, int32_t width, int32_t height, double degrees,
                                         PackedPixel background, int32_t& outWidth, int32_t& outHeight) {
  static_assert(std::derived_from<Engine, PixelRotator>, "the algorithms reach storage through the five operations");
  if constexpr (PixelAccess<Engine>) {
    // Whole lines: the result image is allocated when its size is known and filled row by row.
    const PackedPixel* const pixels = engine.pixels(source);
    Image result = nullptr;
    const bool done = rotateRows(
        engine, width, height, degrees, background,
        [&](int32_t u) { return pixels + static_cast<std::size_t>(u) * static_cast<std::size_t>(width); },
        [&](int32_t w, int32_t h) {
          result = engine.allocImage(w, h);
          outWidth = w;
          outHeight = h;
          return result != nullptr;
        },
        [&](int32_t u, const PackedPixel* row) {
          std::memcpy(engine.pixels(result) + static_cast<std::size_t>(u) * static_cast<std::size_t>(outWidth), row,
                      static_cast<std::size_t>(outWidth) * sizeof(PackedPixel));
        });
    if (done) return result;
    if (result) engine.destroyImage(result, outWidth, outHeight);
    return nullptr;
  }
  if (degrees == 0.0) {
    outWidth = width;
    outHeight = height;
    return engine.copyImage(source, width, height);
  }
  const double theta = degrees * 0.017453292519943295;
  const double s = std::sin(theta);
  const double t = std::tan(theta / 2);
  const double c = std::cos(theta);

  // First shear, horizontal: rows move by (u + 1/2) * t.
  const int64_t w1 = width + truncToInt64(std::fabs(t) * height);
  if (!fits(w1)) return nullptr;
  const auto width1 = static_cast<int32_t>(w1);
  Image d1 = engine.allocImage(width1, height);
  if (!d1) return nullptr;
  // The accessors capture by value: copies the stores cannot alias, which lets the skew loop vectorise.
  for (int32_t u = 0; u < height; ++u) {
    const double d = t >= 0 ? (u + 0.5) * t : ((u - height) + 0.5) * t;
    skew([=, &engine](int32_t i) { return engine.getPixel(source, width, height, i, u); },
         [=, &engine](int32_t j, PackedPixel v) { engine.setPixel(d1, width1, height, j, u, v); }, width, width1, d,
         background);
  }

  // Second shear, vertical: each column moves by s less than the one before.
  const int64_t h2 = truncToInt64(width * std::fabs(s) + height * c) + 1;
  Image d2 = fits(h2) ? engine.allocImage(width1, static_cast<int32_t>(h2)) : nullptr;
  if (!d2) {
    engine.destroyImage(d1, width1, height);
    return nullptr;
  }
  const auto height2 = static_cast<int32_t>(h2);
  skewColumns(engine, d1, width1, height, d2, height2, s > 0 ? (width - 1) * s : (w1 - width) * s, s, background);
  engine.destroyImage(d1, width1, height);

  // Third shear, horizontal again: each row moves by t more than the one before.
  const int64_t w3 = truncToInt64(width * c + height * std::fabs(s)) + 1;
  Image d3 = fits(w3) ? engine.allocImage(static_cast<int32_t>(w3), height2) : nullptr;
  if (!d3) {
    engine.destroyImage(d2, width1, height2);
    return nullptr;
  }
  const auto width3 = static_cast<int32_t>(w3);
  double d = s >= 0 ? -(width - 1) * s * t : ((1 - h2) - (width - 1) * s) * t;
  for (int32_t u = 0; u < height2; ++u) {
    skew([=, &engine](int32_t i) { return engine.getPixel(d2, width1, height2, i, u); },
         [=, &engine](int32_t j, PackedPixel v) { engine.setPixel(d3, width3, height2, j, u, v); }, width1, width3, d,
         background);
    d = d + t;
  }
  engine.destroyImage(d2, width1, height2);

  outWidth = width3;
  outHeight = height2;
  return d3;
}

// Owns what rotateRows() allocates, released on every way out, host exceptions included.
template <class Engine>
struct PixelRotator::Held {
  Engine& engine;
  Image image = nullptr;
  int32_t width = 0, height = 0;
  ~Held() {
    if (image) engine.destroyImage(image, width, height);
  }
  // An image of w x h pixels of type Px, in as many of the engine's packed pixels as it takes.
  template <class Px>
  Px* take(int32_t w, int32_t h) {
    width = static_cast<int32_t>((static_cast<int64_t>(w) * int64_t(sizeof(Px)) + 3) / 4);
    height = h;
    image = engine.allocImage(width, height);
    return image ? reinterpret_cast<Px*>(engine.pixels(image)) : nullptr;
  }
};

template <class Px, PixelAccess Engine, class SourceRow, class Begin, class ResultRow>
bool PixelRotator::rotateRows(Engine& engine, int32_t width, int32_t height, double degrees, Px background,
                              SourceRow sourceRow, Begin begin, ResultRow resultRow) {
  constexpr std::size_t lanes = sizeof(Px);
  if (degrees == 0.0) {
    if (!begin(width, height)) return false;
    for (int32_t u = 0; u < height; ++u) resultRow(u, sourceRow(u));
    return true;
  }
  const double theta = degrees * 0.017453292519943295;
  const double s = std::sin(theta);
  const double t = std::tan(theta / 2);
  const double c = std::cos(theta);
  const int64_t w1 = width + truncToInt64(std::fabs(t) * height);
  const int64_t h2 = truncToInt64(width * std::fabs(s) + height * c) + 1;
  const int64_t w3 = truncToInt64(width * c + height * std::fabs(s)) + 1;
  if (!fits(w1) || !fits(h2) || !fits(w3)) return false;
  const auto width1 = static_cast<int32_t>(w1), height2 = static_cast<int32_t>(h2), width3 = static_cast<int32_t>(w3);
  const auto stride = static_cast<std::size_t>(width1);

  // The columns' shifts of the second shear, formed by repeated subtraction as skewColumns() does.
  std::unique_ptr<int64_t[]> k(new (std::nothrow) int64_t[stride]);
  std::unique_ptr<double[]> w(new (std::nothrow) double[stride]);
  std::unique_ptr<uint16_t[]> weight(new (std::nothrow) uint16_t[lanes * stride]);
  std::unique_ptr<int32_t[]> inexact(new (std::nothrow) int32_t[stride]);
  std::unique_ptr<uint64_t[]> place(new (std::nothrow) uint64_t[stride]);  // k * width1 + u, modulo 2^64
  // The second shear's new pixels are kept for kSteps source rows and then stored a few columns
  // at a time: the pixels of neighbouring columns land on the same few rows, so each destination
  // cache line is then written whole at once rather than a pixel or two per source row.
  constexpr int32_t kSteps = 32;
  Held<Engine> lines{engine}, d2{engine};
  // Rows 0 and 1: the first shear's current and previous row; 2: the third shear's row; then the
  // second shear's pixels of kSteps source rows.
  Px* const line = lines.template take<Px>(std::max(width1, width3), 3 + kSteps);
  Px* const dest = d2.template take<Px>(width1, height2);
  if (!k || !w || !weight || !inexact || !place || !line || !dest) return false;
  const auto lineStride = static_cast<std::size_t>(std::max(width1, width3));
  Px* const result = line + 2 * lineStride;
  Px* const steps = line + 3 * lineStride;

  int32_t inexactCount = 0;
  int64_t leadRows = 0, tailRow = height2;
  bool falling = true, rising = true;
  double d = s > 0 ? (width - 1) * s : (w1 - width) * s;
  for (int32_t u = 0; u < width1; ++u) {
    const Shift shift = shiftOf(d);
    k[u] = shift.k;
    w[u] = shift.w;
    place[u] = static_cast<uint64_t>(shift.k) * static_cast<uint64_t>(stride) + static_cast<uint64_t>(u);
    const int32_t fixed = fixedWeight(shift.w);
    if (fixed < 0) inexact[inexactCount++] = u;
    std::fill(&weight[lanes * std::size_t(u)], &weight[lanes * std::size_t(u) + lanes],
              static_cast<uint16_t>(std::max(fixed, 0)));
    leadRows = std::max(leadRows, std::clamp<int64_t>(shift.k, 0, h2));
    tailRow = std::min(tailRow, std::clamp<int64_t>(height + shift.k + 1, 0, h2));
    if (u > 0) {
      falling = falling && k[u] <= k[u - 1];
      rising = rising && k[u] >= k[u - 1];
    }
    d = d - s;
  }
  // The background above and below each column's moved pixels: row by row, one run per row when
  // the shifts run one way (the run then starts where the shifts are largest, or smallest).
  const int leadEnd = falling ? 1 : rising ? -1 : 0;
  for (int32_t j = 0; j < leadRows; ++j) {
    fillRun(
        dest + std::size_t(j) * stride, width1, leadEnd, [&](int32_t u) { return j < k[u]; }, background);
  }

  // First and second shear together: each row of the first goes straight into the second's step.
  for (int32_t i = 0; i < height; ++i) {
    Px* const row = line + std::size_t(i & 1) * lineStride;
    const double shift = t >= 0 ? (i + 0.5) * t : ((i - height) + 0.5) * t;
    skewRow(sourceRow(i), width, row, width1, shift, background);
    const int32_t step = i % kSteps;
    shearStep(row, i > 0 ? line + std::size_t(~i & 1) * lineStride : nullptr, steps + std::size_t(step) * lineStride,
              width1, weight.get(), w.get(), inexact.get(), inexactCount, background);
    if (step + 1 < kSteps && i + 1 < height) continue;
    // Source row r of column u lands at index r * width1 + place[u], which lies in the image
    // exactly when the row it lands on does (0 <= u < width1).
    constexpr int32_t kColumns = 16;
    const auto size = static_cast<uint64_t>(h2) * static_cast<uint64_t>(stride);
    for (int32_t u0 = 0; u0 < width1; u0 += kColumns) {
      const int32_t u1 = std::min(width1, u0 + kColumns);
      for (int32_t x = 0; x <= step; ++x) {
        const Px* const moved = steps + std::size_t(x) * lineStride;
        const auto first = static_cast<uint64_t>(i - step + x) * static_cast<uint64_t>(stride);
        for (int32_t u = u0; u < u1; ++u) {
          const uint64_t index = first + place[u];
          if (index < size) dest[index] = moved[u];
        }
      }
    }
  }
  // Each column's last carry, below its moved pixels.
  const Px* const last = height > 0 ? line + std::size_t((height - 1) & 1) * lineStride : nullptr;
  bool isInexact = false;
  for (int32_t u = 0, x = 0; u < width1; ++u) {
    isInexact = x < inexactCount && inexact[x] == u;
    if (isInexact) ++x;
    const int64_t end = height + k[u];
    if (end < 0 || end >= h2) continue;
    PackedPixel carry = background;
    if (last) carry = isInexact ? scaled(last[u], w[u]) : scaledFixed(last[u], weight[lanes * std::size_t(u)]);
    dest[static_cast<std::size_t>(end) * stride + static_cast<std::size_t>(u)] = static_cast<Px>(carry);
  }
  const int tailEnd = falling ? -1 : rising ? 1 : 0;
  for (auto j = static_cast<int32_t>(tailRow); j < height2; ++j) {
    fillRun(
        dest + std::size_t(j) * stride, width1, tailEnd, [&](int32_t u) { return j >= height + k[u] + 1; }, background);
  }

  // Third shear, row by row into resultRow.
  if (!begin(width3, height2)) return false;
  d = s >= 0 ? -(width - 1) * s * t : ((1 - h2) - (width - 1) * s) * t;
  for (int32_t u = 0; u < height2; ++u) {
    skewRow(dest + std::size_t(u) * stride, width1, result, width3, d, background);
    resultRow(u, static_cast<const Px*>(result));
    d = d + t;
  }
  return true;
}

// Packed images in plain heap memory: pixel (x, y) at index y * width + x.
class PackedPixelRotator final : public PixelRotator {
public:
  PackedPixel getPixel(Image image, int32_t width, int32_t, int32_t x, int32_t y) override {
    return static_cast<const PackedPixel*>(image)[index(width, x, y)];
  }
  void setPixel(Image image, int32_t width, int32_t, int32_t x, int32_t y, PackedPixel value) override {
    static_cast<PackedPixel*>(image)[index(width, x, y)] = value;
  }
  Image allocImage(int32_t width, int32_t height) override {
    const std::size_t size = bytes(width, height);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Each working image is written once, read once and released, so first-touch page faults
    // would cost more than the shears themselves; large ones ask for huge pages instead.
    if (size >= kHugePage) {
      const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
      void* image = std::aligned_alloc(kHugePage, rounded);
      if (image) madvise(image, rounded, MADV_HUGEPAGE);
      return image;
    }
#endif
    return std::malloc(size);
  }
  Image copyImage(Image image, int32_t width, int32_t height) override {
    Image copy = allocImage(width, height);
    if (copy) std::memcpy(copy, image, bytes(width, height));
    return copy;
  }
  void destroyImage(Image image, int32_t, int32_t) override { std::free(image); }
  // Not one of the five operations: the algorithms' whole-line paths (PixelAccess) go through it.
  static PackedPixel* pixels(Image image) { return static_cast<PackedPixel*>(image); }

private:
  static constexpr std::size_t kHugePage = std::size_t(2) << 20;

  static std::size_t index(int32_t width, int32_t x, int32_t y) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
  }
  // At least one pixel, so that an empty image is not mistaken for a failed allocation.
  static std::size_t bytes(int32_t width, int32_t height) {
    const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
    const std::size_t h = height > 0 ? static_cast<std::size_t>(height) : 0;
    return std::max<std::size_t>(w * h, 1) * sizeof(PackedPixel);
  }
};

}  // namespace rk
