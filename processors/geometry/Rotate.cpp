// Geometry: mirroring, exact quarter and half turns, and rotation by any angle through the shear engine.
//
// Mirrors and the turns by 0, +-90 and +-180 degrees move elements and convert their type, nothing
// else. Every other angle packs the matrix into 8-bit channels, rotates it with the engine of
// Rotate.h and unpacks the result, so it serves one- and three-plane matrices only. Packing, the
// engine's whole-line paths and unpacking run on the kernel paths of frame/Paths.h.
#include "processors/geometry/Rotate.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "frame/Frame.h"
#include "frame/Paths.h"
#include "frame/Streaming.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rk {
namespace {

constexpr const char* kPlanesForRotation =
    "Beliebige Drehungen k\xf6nnen nur f\xfcr ein- und dreibandige Bilder ausgef\xfchrt werden";

enum TransType : int32_t { kMirrorColumns = 0, kMirrorRows = 1, kRotate = 2 };

// ---- element moves ------------------------------------------------------------------------------

// Moves one pixel of `planes` elements; K > 0 fixes the plane count at compile time.
template <int K, class I, class O>
inline void movePixel(const I* __restrict in, O* __restrict out, std::size_t planes) {
  if constexpr (K > 0) {
    for (int c = 0; c < K; ++c) out[c] = convert<O>(in[c]);
  } else {
    for (std::size_t c = 0; c < planes; ++c) out[c] = convert<O>(in[c]);
  }
}

// Calls fn.template operator()<K>() with K = 1 or 3 for those plane counts, so their pixel moves
// unroll, and K = 0 (plane count read at run time) for the rest.
template <class Fn>
void withPlanes(int32_t planes, Fn&& fn) {
  if (planes == 1)
    fn.template operator()<1>();
  else if (planes == 3)
    fn.template operator()<3>();
  else
    fn.template operator()<0>();
}

// The general rotation's plane counts, fixed at compile time.
template <class Fn>
void oneOrThree(int32_t planes, Fn&& fn) {
  if (planes == 3)
    fn.template operator()<3>();
  else
    fn.template operator()<1>();
}

// One row moved whole, elements converted; a plain copy when the types agree.
template <class I, class O>
inline void copyRow(const I* __restrict src, O* __restrict dst, std::size_t n) {
  if constexpr (std::is_same_v<I, O>) {
    std::memcpy(dst, src, n * sizeof(O));
  } else {
    for (std::size_t k = 0; k < n; ++k) dst[k] = convert<O>(src[k]);
  }
}

// One row with its pixels in reverse order, the planes of each pixel kept together. Single-plane
// rows vectorise with a lane reversal: bytes measure faster walking the output forwards, wider
// elements walking the input forwards.
template <int K, class I, class O>
inline void mirrorRow(const I* __restrict src, O* __restrict dst, std::size_t width, std::size_t planes) {
  if constexpr (K == 1 && sizeof(O) > 1) {
    for (std::size_t x = 0; x < width; ++x) dst[width - 1 - x] = convert<O>(src[x]);
  } else if constexpr (K == 1) {
    const I* __restrict last = src + (width - 1);
    for (std::size_t x = 0; x < width; ++x) dst[x] = convert<O>(*(last - x));
  } else {
    const std::size_t p = K > 0 ? std::size_t(K) : planes;
    for (std::size_t x = 0; x < width; ++x) movePixel<K>(src + (width - 1 - x) * p, dst + x * p, p);
  }
}

#if RK_AVX2_PATH
// One single-plane row of bytes, dwords or qwords in reverse order, from the AVX2 path: 32 bytes
// at a time, reversed in register and stored to the output walked forwards, streamed from the
// first 32-byte boundary when `Stream`.
template <bool Stream, class T>
[[gnu::target("avx2")]] void mirrorRowWide(const T* src, T* dst, std::size_t width) {
  constexpr std::size_t n = 32 / sizeof(T);
  std::size_t x = 0;
  if constexpr (Stream) {
    for (const std::size_t head = std::min(width, headToAlign(dst, 64)); x < head; ++x) dst[x] = src[width - 1 - x];
  }
  const __m256i bytes = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10,
                                         9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m256i dwords = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  for (; x + n <= width; x += n) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + (width - x - n)));
    if constexpr (sizeof(T) == 1)
      v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, bytes), 0x4e);
    else if constexpr (sizeof(T) == 4)
      v = _mm256_permutevar8x32_epi32(v, dwords);
    else
      v = _mm256_permute4x64_epi64(v, 0x1b);
    store32<Stream>(dst + x, v);
  }
  for (; x < width; ++x) dst[x] = src[width - 1 - x];
}

// Mirrors and half turns that move bits unchanged (input and output types alike): rows copied, or
// single-plane rows reversed; outputs too large for the cache are streamed. False for the moves it
// leaves to the general loops (mirrored rows of several planes).
template <class T>
[[gnu::target("avx2")]] bool flipSame(void* const* in, void* const* out, int32_t h, std::size_t width,
                                      std::size_t planes, bool rows, bool columns) {
  if (columns && planes != 1) return false;
  const bool stream = width * planes * static_cast<std::size_t>(h) * sizeof(T) >= kStreamBytes;
  for (int32_t y = 0; y < h; ++y) {
    const T* src = static_cast<const T*>(in[y]);
    T* dst = static_cast<T*>(out[rows ? h - 1 - y : y]);
    if (!columns && stream)
      streamCopy(dst, src, width * planes * sizeof(T));
    else if (!columns)
      std::memcpy(dst, src, width * planes * sizeof(T));
    else if (stream)
      mirrorRowWide<true>(src, dst, width);
    else
      mirrorRowWide<false>(src, dst, width);
  }
  if (stream) streamFence();
  return true;
}
#endif

// Output rows mirrored or not, pixels within a row mirrored or not: the mirrors and the turns by
// 0 and 180 degrees.
template <class I, class O>
void flip(void* const* in, void* const* out, int32_t w, int32_t h, int32_t planes, bool rows, bool columns) {
  if (w < 1 || h < 1 || planes < 1) return;  // a matrix without elements
  const auto p = static_cast<std::size_t>(planes);
  const auto width = static_cast<std::size_t>(w);
#if RK_AVX2_PATH
  if constexpr (std::is_same_v<I, O> && (sizeof(I) == 1 || sizeof(I) == 4 || sizeof(I) == 8)) {
    if (avx2Path() && flipSame<I>(in, out, h, width, p, rows, columns)) return;
  }
#endif
  auto kernel = [&] {
    if (!columns) {
      for (int32_t y = 0; y < h; ++y)
        copyRow(static_cast<const I*>(in[y]), static_cast<O*>(out[rows ? h - 1 - y : y]), width * p);
      return;
    }
    withPlanes(planes, [&]<int K>() {
      for (int32_t y = 0; y < h; ++y)
        mirrorRow<K>(static_cast<const I*>(in[y]), static_cast<O*>(out[rows ? h - 1 - y : y]), width, p);
    });
  };
  runKernel(kernel);
}

#if defined(__SSE2__)
// Transposes n x n elements of a 16-byte register each row (n = 16 bytes or 4 dwords): each round
// interleaves row i with row i + n/2, which rotates an element's (row, column) bit index by one
// place; log2(n) rounds swap the row and column bits.
// Generic in both element types only so that callers may name it under a condition that rules out
// unequal types (clang checks such calls before it discards them); it is only called with T = U.
template <class T, class U>
inline void transposeBlock(const T* const* src, std::size_t x, U* const* dst, std::size_t column) {
  constexpr int n = 16 / sizeof(T);
  __m128i v[n];
  for (int i = 0; i < n; ++i) v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src[i] + x));
  for (int round = 1; round < n; round *= 2) {
    __m128i next[n];
    for (int i = 0; i < n / 2; ++i) {
      if constexpr (sizeof(T) == 1) {
        next[2 * i] = _mm_unpacklo_epi8(v[i], v[i + n / 2]);
        next[2 * i + 1] = _mm_unpackhi_epi8(v[i], v[i + n / 2]);
      } else {
        next[2 * i] = _mm_unpacklo_epi32(v[i], v[i + n / 2]);
        next[2 * i + 1] = _mm_unpackhi_epi32(v[i], v[i + n / 2]);
      }
    }
    for (int i = 0; i < n; ++i) v[i] = next[i];
  }
  for (int i = 0; i < n; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[i] + column), v[i]);
}
#endif

// The quarter turns: out(h-1-y, x) = in(x, y) for +90, out(y, w-1-x) = in(x, y) for -90. The
// output has h columns and w rows. Tiles keep both sides of the transposition in cache; the
// tile's row addresses are read once into a local table, since stores of 8-bit elements could
// otherwise alias the host's row table and force a reload per element. Single-plane bytes and
// 32-bit elements moved unchanged go through register transposes of 16-byte blocks.
template <class I, class O>
void quarterTurn(void* const* in, void* const* out, int32_t w, int32_t h, int32_t planes, bool clockwise) {
  if (w < 1 || h < 1 || planes < 1) return;  // a matrix without elements
  constexpr int32_t kTile = 64;
  const auto p = static_cast<std::size_t>(planes);
  auto kernel = [&] {
    withPlanes(planes, [&]<int K>() {
      const std::size_t stride = K > 0 ? std::size_t(K) : p;
      const I* src[kTile];
      O* dst[kTile];
      for (int32_t y0 = 0; y0 < h; y0 += kTile) {
        const int32_t rowsInTile = std::min(kTile, h - y0);
        // Clockwise, input row y lands at output column h-1-y: the table runs backwards so that the
        // output is written forwards either way.
        for (int32_t t = 0; t < rowsInTile; ++t)
          src[t] = static_cast<const I*>(in[clockwise ? y0 + rowsInTile - 1 - t : y0 + t]);
        const std::size_t column = clockwise ? std::size_t(h - y0 - rowsInTile) : std::size_t(y0);
        for (int32_t x0 = 0; x0 < w; x0 += kTile) {
          const int32_t x1 = std::min(w, x0 + kTile);
          for (int32_t x = x0; x < x1; ++x) dst[x - x0] = static_cast<O*>(out[clockwise ? x : w - 1 - x]);
          int32_t t0 = 0;
#if defined(__SSE2__)
          if constexpr (K == 1 && std::is_same_v<I, O> && (sizeof(I) == 1 || sizeof(I) == 4)) {
            constexpr int32_t n = 16 / sizeof(I);
            for (; t0 + n <= rowsInTile; t0 += n) {
              int32_t x = x0;
              for (; x + n <= x1; x += n)
                transposeBlock(src + t0, std::size_t(x), dst + (x - x0), column + std::size_t(t0));
              for (; x < x1; ++x) {
                O* __restrict d = dst[x - x0] + column;
                for (int32_t t = t0; t < t0 + n; ++t) d[t] = src[t][x];
              }
            }
          }
#endif
          if (t0 == rowsInTile) continue;
          for (int32_t x = x0; x < x1; ++x) {
            O* __restrict d = dst[x - x0] + column * stride;
            const std::size_t offset = static_cast<std::size_t>(x) * stride;
            for (int32_t t = t0; t < rowsInTile; ++t) movePixel<K>(src[t] + offset, d + std::size_t(t) * stride, p);
          }
        }
      }
    });
  };
  runKernel(kernel);
}

// ---- general rotation ---------------------------------------------------------------------------

// Releases an engine image on every way out of the kernel, host exceptions included.
class ImageOwner {
public:
  ImageOwner(PackedPixelRotator& engine, PixelRotator::Image image, int32_t width, int32_t height)
      : engine_(engine), image_(image), width_(width), height_(height) {}
  ImageOwner(const ImageOwner&) = delete;
  ImageOwner& operator=(const ImageOwner&) = delete;
  ~ImageOwner() {
    if (image_) engine_.destroyImage(image_, width_, height_);
  }
  PixelRotator::Image get() const { return image_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }

private:
  PackedPixelRotator& engine_;
  PixelRotator::Image image_;
  int32_t width_;
  int32_t height_;
};

// The engine has no message of its own for exhausted memory; the run ends as a host failure would.
[[noreturn]] void outOfMemory(int32_t width, int32_t height) {
  char text[160];
  std::snprintf(text, sizeof text, "_TransformImage: not enough memory to rotate a %d x %d image", width, height);
  throw new kxEx(text);
}

// The engine's angle: the negated rotation in [0, 360). fmod gives exactly what repeated steps of
// 360 give for every angle below 2^55 degrees, where those steps are exact, and ends for larger ones
// and infinities too (which become NaN and fall through every band below).
double engineAngle(double degrees) {
  double a = -degrees;
  if (a >= 360.0) a = std::fmod(a, 360.0);
  if (a < 0.0) {
    a = std::fmod(a, 360.0);
    if (a < 0.0) a += 360.0;
  }
  return a;
}

// The quarter or half turn of a packed w x h image: mid(y, w-1-x) = src(x, y) for 90, mid(w-1-x,
// h-1-y) for 180, mid(h-1-y, x) for 270. The quarter turns go in tiles, so that both images stay in
// cache while one is read across and the other down.
template <class Px>
void preTurn(const Px* __restrict src, int32_t w, int32_t h, Px* __restrict mid, int32_t turn) {
  const auto width = static_cast<std::size_t>(w), height = static_cast<std::size_t>(h);
  if (turn == 180) {
    for (std::size_t y = 0; y < height; ++y) {
      const Px* __restrict row = src + y * width;
      Px* __restrict out = mid + (height - 1 - y) * width;
      for (std::size_t x = 0; x < width; ++x) out[width - 1 - x] = row[x];
    }
    return;
  }
  constexpr std::size_t kTile = 32;
  for (std::size_t y0 = 0; y0 < height; y0 += kTile) {
    const std::size_t y1 = std::min(height, y0 + kTile);
    for (std::size_t x0 = 0; x0 < width; x0 += kTile) {
      const std::size_t x1 = std::min(width, x0 + kTile);
      for (std::size_t x = x0; x < x1; ++x) {
        // Turned by 90, column x becomes row w-1-x read top down; by 270, row x read bottom up.
        if (turn == 90) {
          Px* __restrict out = mid + (width - 1 - x) * height;
          for (std::size_t y = y0; y < y1; ++y) out[y] = src[y * width + x];
        } else {
          Px* __restrict out = mid + x * height + (height - 1);
          for (std::size_t y = y0; y < y1; ++y) *(out - y) = src[y * width + x];
        }
      }
    }
  }
}

// The engine's pixels for K planes: grey images go as one byte per pixel, the value of all three
// channels, which the engine's whole-line paths take as they are.
template <int K>
using PixelOf = std::conditional_t<K == 1, uint8_t, PackedPixel>;

// One input row of w pixels packed, reduced to bytes in one vectorised conversion first.
template <int K, class I>
void packRow(const I* src, PixelOf<K>* row, int32_t w) {
  if constexpr (K == 1) {
    convertRun(src, row, w);
  } else {
    constexpr int32_t kRun = 4096;
    uint8_t bytes[kRun * K];
    for (int32_t x0 = 0; x0 < w; x0 += kRun) {
      const int32_t n = std::min(kRun, w - x0);
      convertRun(src + static_cast<std::size_t>(x0) * K, bytes, n * K);
      PackedPixel* __restrict dst = row + x0;
      for (int32_t x = 0; x < n; ++x)
        dst[x] = PackedPixel{bytes[3 * x]} | PackedPixel{bytes[3 * x + 1]} << 8 | PackedPixel{bytes[3 * x + 2]} << 16;
    }
  }
}

template <int K, class O>
void unpackRow(const PixelOf<K>* __restrict src, O* __restrict row, int32_t w) {
  for (std::size_t x = 0; x < static_cast<std::size_t>(w); ++x)
    for (int c = 0; c < K; ++c) row[x * K + c] = convert<O>(static_cast<uint8_t>(src[x] >> (8 * c)));
}

// An engine image able to hold w x h pixels of K planes: grey ones take four to a packed pixel.
template <int K>
ImageOwner allocPixels(PackedPixelRotator& engine, int32_t w, int32_t h) {
  const auto units = K == 1 ? static_cast<int32_t>((static_cast<int64_t>(w) + 3) / 4) : w;
  return ImageOwner(engine, engine.allocImage(units, h), units, h);
}

// The general rotation's rows as the engine sees them: source rows packed, result rows unpacked
// into the output. The engine reaches them a row at a time through these virtual calls, so that it
// and its shears are compiled once per pixel format rather than once per pair of element types (16
// pairs on two kernel paths made this file the slowest of the build); the rows' own conversions
// still run on the kernel path of the run.
template <int K>
class RotationRows {
public:
  using Px = PixelOf<K>;
  virtual const Px* source(int32_t u) = 0;
  virtual bool begin(int32_t width, int32_t height) = 0;
  virtual void result(int32_t u, const Px* row) = 0;

protected:
  ~RotationRows() = default;
};

// The shears of a midW x midH packed image by `a` degrees, on the kernel path of the run.
template <int K>
void shearRows(PackedPixelRotator& engine, int32_t midW, int32_t midH, double a, RotationRows<K>& rows, int32_t w,
               int32_t h) {
  using Px = PixelOf<K>;
  auto run = [&]() {
    auto sourceRow = [&](int32_t u) { return rows.source(u); };
    auto begin = [&](int32_t outW, int32_t outH) { return rows.begin(outW, outH); };
    auto resultRow = [&](int32_t u, const Px* row) { rows.result(u, row); };
    if (!PixelRotator::rotateRows(engine, midW, midH, a, Px{0}, sourceRow, begin, resultRow)) outOfMemory(w, h);
  };
  runKernel(run);
}

// Rows of an input of element type I packed as the engine asks for them, or rows of the image the
// input was turned into (`turnedWidth` pixels apart), and result rows unpacked to O in the matrix
// create(outInfo) makes.
template <int K, class I, class O, class Create>
class TypedRows final : public RotationRows<K> {
public:
  using Px = PixelOf<K>;
  TypedRows(void* const* in, int32_t w, Px* pixels, int32_t turnedWidth, kxMInfo& outInfo, Create& create, bool wide)
      : in_(in), w_(w), pixels_(pixels), turnedWidth_(turnedWidth), outInfo_(outInfo), create_(create), wide_(wide) {}

  const Px* source(int32_t u) override {
    if (turnedWidth_ > 0) return pixels_ + static_cast<std::size_t>(u) * static_cast<std::size_t>(turnedWidth_);
    auto pack = [&]() { packRow<K>(static_cast<const I*>(in_[u]), pixels_, w_); };
    runKernelOn(wide_, pack);
    return pixels_;
  }
  bool begin(int32_t width, int32_t height) override {
    outInfo_.X = width;
    outInfo_.Y = height;
    out_ = create_(outInfo_);
    return true;
  }
  void result(int32_t u, const Px* row) override {
    auto unpack = [&]() { unpackRow<K>(row, static_cast<O*>(out_[u]), outInfo_.X); };
    runKernelOn(wide_, unpack);
  }

private:
  void* const* in_;
  int32_t w_;
  Px* pixels_;
  int32_t turnedWidth_;
  kxMInfo& outInfo_;
  Create& create_;
  bool wide_;
  void* const* out_ = nullptr;
};

// create(outInfo) makes the output matrix and returns its rows. The angle is brought within 45
// degrees of zero by an exact quarter-turn multiple first, so the shears stay small. Without that
// turn no packed image is made: the engine asks for the source rows one at a time and they are
// packed as it does; the result rows are unpacked into the output as they come.
template <class I, class O, class Create>
void rotateGeneral(const kxMInfo& info, void* const* in, double degrees, Create&& create) {
  const int32_t w = info.X, h = info.Y, planes = info.Planes;
  if (planes != 1 && planes != 3) {
    kxQMessages::kxSetWarning("%s", kPlanesForRotation);
    return;
  }
  kxMInfo outInfo;
  outInfo = info;
  if (w < 1 || h < 1) {
    // Nothing to rotate: the output is as empty as the input.
    create(outInfo);
    return;
  }
  double a = engineAngle(degrees);
  int32_t turn = 0;
  if (45 < a && a <= 135)
    turn = 90;
  else if (135 < a && a <= 225)
    turn = 180;
  else if (225 < a && a <= 315)
    turn = 270;
  a = a - turn;
  const int32_t midW = turn == 90 || turn == 270 ? h : w, midH = turn == 90 || turn == 270 ? w : h;
  const bool wide = avx2Path();

  oneOrThree(planes, [&]<int K>() {
    using Px = PixelOf<K>;
    PackedPixelRotator engine;
    // The turned image, or the one row that the source rows are packed into in turn.
    const ImageOwner source = turn ? allocPixels<K>(engine, midW, midH) : allocPixels<K>(engine, w, 1);
    if (!source.get()) outOfMemory(w, h);
    Px* const pixels = reinterpret_cast<Px*>(engine.pixels(source.get()));
    if (turn) {
      const ImageOwner packed = allocPixels<K>(engine, w, h);
      if (!packed.get()) outOfMemory(w, h);
      Px* const all = reinterpret_cast<Px*>(engine.pixels(packed.get()));
      auto packAll = [&]() {
        for (int32_t y = 0; y < h; ++y)
          packRow<K>(static_cast<const I*>(in[y]), all + static_cast<std::size_t>(y) * static_cast<std::size_t>(w), w);
        preTurn(all, w, h, pixels, turn);
      };
      runKernelOn(wide, packAll);
    }
    TypedRows<K, I, O, std::remove_reference_t<Create>> rows(in, w, pixels, turn ? midW : 0, outInfo, create, wide);
    shearRows<K>(engine, midW, midH, a, rows, w, h);
  });
}

// ---- the kernel ---------------------------------------------------------------------------------

template <class I, class O>
void transformKernel() {
  int32_t type = 0;
  double degrees = 0;
  Parameter::kxGetParameter(0, &type);
  Parameter::kxGetParameter(1, &degrees);
  kxMInfo info;
  copyMetaInfo(info);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  int32_t produced = 0;
  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetMatrix(i);
    kxInfo::kxGetMInfo(&info);
    void* const* in = kxInterface::kxGetIMatrix();
    const int32_t w = info.X, h = info.Y, planes = info.Planes;
    // Output matrices follow one another without gaps: a matrix that yields none (a general
    // rotation of a matrix with other than 1 or 3 planes) leaves no hole in the output stream,
    // and the next output takes the index it would have had.
    auto create = [&](const kxMInfo& outInfo) {
      if (produced != i) kxInterface::kxSetMatrix(produced);
      void* const* rows = kxInterface::kxGetOMatrix(&outInfo);
      ++produced;
      return rows;
    };
    // An output of the input's size (swapped for the quarter turns), name, user data and planes.
    auto output = [&](bool swapped) {
      kxMInfo outInfo;
      outInfo = info;
      outInfo.X = swapped ? h : w;
      outInfo.Y = swapped ? w : h;
      return create(outInfo);
    };
    if (type == kMirrorColumns) {
      flip<I, O>(in, output(false), w, h, planes, false, true);
    } else if (type == kMirrorRows) {
      flip<I, O>(in, output(false), w, h, planes, true, false);
    } else if (type != kRotate) {
      continue;
    } else if (degrees == 0) {
      flip<I, O>(in, output(false), w, h, planes, false, false);
    } else if (degrees == -180 || degrees == 180) {
      flip<I, O>(in, output(false), w, h, planes, true, true);
    } else if (degrees == 90 || degrees == -90) {
      quarterTurn<I, O>(in, output(true), w, h, planes, degrees == 90);
    } else {
      rotateGeneral<I, O>(info, in, degrees, create);
    }
  }
}

}  // namespace
}  // namespace rk

RK_ENTRY(_TransformImage) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::transformKernel<I, O>(); });
}
