// Colour: splitting three-plane images into three single-plane streams and joining three streams into one.
//
// Both processors serve 4^4 type combinations. Only the row loops are instantiated per combination;
// the host calls of a run live in one driver per processor that receives the row loop as a function
// pointer, so 256 instances cost a few hundred bytes each rather than a whole driver each.
//
// When input and output types agree the move is a pure (de)interleave of bits, which the AVX2 path
// does with byte shuffles (8-bit elements) or dword permutes (32-bit elements), streaming the
// output of matrices too large for the cache.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "frame/Frame.h"
#include "frame/Streaming.h"

namespace rk {
namespace {

constexpr const char* kNotRgb = "Es liegen keine RGB - Bilder an (Planes = 3).";
constexpr const char* kMultiPlane =
    "Es liegen mehrbandige Daten an (Planes > 1). Nur der 1. Plane wird ber\xfc"
    "cksichtigt.";

// Element count of an x * y * planes matrix as the host stores it: formed without overflow and cut to
// 32 bits, since later matrices of a stream are not checked and may carry any size.
int32_t elementCount(int32_t x, int32_t y, uint32_t planes) {
  return low32(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x) * y) * planes));
}

// Host failures inside the matrix loop end the run quietly: what is written so far stays on the
// outputs. A host exception is a heap object that becomes ours when caught, so it is deleted here.
template <class Body>
void swallowHostFailures(Body&& body) {
  try {
    body();
  } catch (kxEx* e) {
    delete e;
  } catch (...) {
  }
}

// ---- same-type moves on the AVX2 path -----------------------------------------------------------

#if RK_AVX2_PATH

// Byte shuffles between 16 pixels of three planes (48 bytes in chunks k = 0, 1, 2) and their
// planes (16 bytes each): for split, mask [k][c] gathers from chunk k the bytes of plane c into
// their places in plane c; for join, mask [k][c] places bytes of plane c into chunk k. The other
// bytes are 0x80, which pshufb clears, so each result is the OR of three shuffles.
struct ByteMasks {
  uint8_t split[3][3][16];
  uint8_t join[3][3][16];
};

constexpr ByteMasks byteMasks() {
  ByteMasks m{};
  for (int k = 0; k < 3; ++k) {
    for (int c = 0; c < 3; ++c) {
      for (int i = 0; i < 16; ++i) {
        const int from = 3 * i + c - 16 * k;  // byte of chunk k holding pixel i of plane c
        m.split[k][c][i] = static_cast<uint8_t>(from >= 0 && from < 16 ? from : 0x80);
        const int e = 16 * k + i;  // element e of the interleaved pixels
        m.join[k][c][i] = static_cast<uint8_t>(e % 3 == c ? e / 3 : 0x80);
      }
    }
  }
  return m;
}
constexpr ByteMasks kByteMasks = byteMasks();

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load16x2(const uint8_t* lo, const uint8_t* hi) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i mask(const uint8_t (&m)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m)));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load32(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Dword lanes of three vectors of eight pixels (24 elements): plane c of the pixels lies in three
// disjoint sets of lanes, {0, 3, 6}, {1, 4, 7} and {2, 5}, one set per vector. Two blends gather
// a plane into one vector, a permute puts it in order; join runs the same steps backwards.
constexpr int kLanes036 = 0x49, kLanes147 = 0x92, kLanes25 = 0x24;

// Planes 0, 1 and 2 of one block of pixels (32 bytes or 8 dwords of each plane) starting at p.
struct Planes {
  __m256i v[3];
};

template <class T>
[[gnu::target("avx2"), gnu::always_inline]] inline Planes splitBlock(const T* p, const __m256i (&m)[3][3]) {
  Planes out;
  if constexpr (sizeof(T) == 1) {
    // Lane 0 takes the block's first sixteen pixels, lane 1 the next sixteen.
    const auto* q = reinterpret_cast<const uint8_t*>(p);
    const __m256i a0 = load16x2(q, q + 48), a1 = load16x2(q + 16, q + 64), a2 = load16x2(q + 32, q + 80);
    for (int c = 0; c < 3; ++c)
      out.v[c] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a0, m[0][c]), _mm256_shuffle_epi8(a1, m[1][c])),
                                 _mm256_shuffle_epi8(a2, m[2][c]));
  } else {
    // m[0] holds the permutes that put each plane's gathered lanes in order.
    const __m256i a0 = load32(p), a1 = load32(p + 8), a2 = load32(p + 16);
    const __m256i tr = _mm256_blend_epi32(_mm256_blend_epi32(a0, a1, kLanes147), a2, kLanes25);
    const __m256i tg = _mm256_blend_epi32(_mm256_blend_epi32(a0, a1, kLanes25), a2, kLanes036);
    const __m256i tb = _mm256_blend_epi32(_mm256_blend_epi32(a0, a1, kLanes036), a2, kLanes147);
    out.v[0] = _mm256_permutevar8x32_epi32(tr, m[0][0]);
    out.v[1] = _mm256_permutevar8x32_epi32(tg, m[0][1]);
    out.v[2] = _mm256_permutevar8x32_epi32(tb, m[0][2]);
  }
  return out;
}

// Pixels [x, end) of a row in whole blocks; returns end. Two blocks at a time, so that each plane
// receives a whole 64-byte line in consecutive stores: streamed stores then fill their
// write-combining buffers one line after another rather than three lines by halves.
template <bool Stream, class T>
[[gnu::target("avx2")]] std::size_t splitBlocks(const T* in, T* r, T* g, T* b, std::size_t x, std::size_t width) {
  constexpr std::size_t n = 32 / sizeof(T);
  __m256i m[3][3];
  if constexpr (sizeof(T) == 1) {
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) m[k][c] = mask(kByteMasks.split[k][c]);
  } else {
    m[0][0] = _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5);
    m[0][1] = _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6);
    m[0][2] = _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7);
  }
  T* out[3] = {r, g, b};
  for (; x + 2 * n <= width; x += 2 * n) {
    const Planes first = splitBlock(in + 3 * x, m);
    const Planes second = splitBlock(in + 3 * (x + n), m);
    for (int c = 0; c < 3; ++c) {
      store32<Stream>(out[c] + x, first.v[c]);
      store32<Stream>(out[c] + x + n, second.v[c]);
    }
  }
  for (; x + n <= width; x += n) {
    const Planes last = splitBlock(in + 3 * x, m);
    for (int c = 0; c < 3; ++c) store32<Stream>(out[c] + x, last.v[c]);
  }
  return x;
}

template <bool Stream, class T>
[[gnu::target("avx2")]] std::size_t joinBlocks(const T* r, const T* g, const T* b, T* out, std::size_t x,
                                               std::size_t width) {
  if constexpr (sizeof(T) == 1) {
    __m256i m[3][3];
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) m[k][c] = mask(kByteMasks.join[k][c]);
    for (; x + 32 <= width; x += 32) {
      const __m256i v[3] = {load32(r + x), load32(g + x), load32(b + x)};
      __m256i chunk[3];
      for (int k = 0; k < 3; ++k)
        chunk[k] =
            _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(v[0], m[k][0]), _mm256_shuffle_epi8(v[1], m[k][1])),
                            _mm256_shuffle_epi8(v[2], m[k][2]));
      // Lane 0 of the chunks holds bytes 0..47 of the output, lane 1 bytes 48..95.
      T* o = out + 3 * x;
      store32<Stream>(o, _mm256_permute2x128_si256(chunk[0], chunk[1], 0x20));
      store32<Stream>(o + 32, _mm256_permute2x128_si256(chunk[2], chunk[0], 0x30));
      store32<Stream>(o + 64, _mm256_permute2x128_si256(chunk[1], chunk[2], 0x31));
    }
  } else {
    const __m256i pr = _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5);
    const __m256i pg = _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2);
    const __m256i pb = _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7);
    for (; x + 8 <= width; x += 8) {
      const __m256i tr = _mm256_permutevar8x32_epi32(load32(r + x), pr);
      const __m256i tg = _mm256_permutevar8x32_epi32(load32(g + x), pg);
      const __m256i tb = _mm256_permutevar8x32_epi32(load32(b + x), pb);
      T* o = out + 3 * x;
      store32<Stream>(o, _mm256_blend_epi32(_mm256_blend_epi32(tr, tg, kLanes147), tb, kLanes25));
      store32<Stream>(o + 8, _mm256_blend_epi32(_mm256_blend_epi32(tr, tg, kLanes25), tb, kLanes036));
      store32<Stream>(o + 16, _mm256_blend_epi32(_mm256_blend_epi32(tr, tg, kLanes036), tb, kLanes147));
    }
  }
  return x;
}

// A whole row: the blocks, streamed from the first pixel whose outputs all start a 64-byte line
// when they can be (the same misalignment on all three), with the pixels before and after moved
// one by one.
template <class T>
[[gnu::target("avx2")]] void splitSame(const T* in, T* r, T* g, T* b, std::size_t width, bool stream) {
  const std::size_t head = std::min(width, headToAlign(r, 64));
  std::size_t x = 0;
  if (stream && headToAlign(g, 64) == headToAlign(r, 64) && headToAlign(b, 64) == headToAlign(r, 64)) {
    for (; x < head; ++x) {
      r[x] = in[3 * x];
      g[x] = in[3 * x + 1];
      b[x] = in[3 * x + 2];
    }
    x = splitBlocks<true>(in, r, g, b, x, width);
  } else {
    x = splitBlocks<false>(in, r, g, b, x, width);
  }
  for (; x < width; ++x) {
    r[x] = in[3 * x];
    g[x] = in[3 * x + 1];
    b[x] = in[3 * x + 2];
  }
}

template <class T>
[[gnu::target("avx2")]] void joinSame(const T* r, const T* g, const T* b, T* out, std::size_t width, bool stream) {
  std::size_t x = 0;
  if (stream) {
    // 3 * head elements reach the boundary: 3 is inverted modulo the 32 / sizeof(T) elements of a
    // block (11 * 3 = 33 for bytes, 3 * 3 = 9 for dwords).
    constexpr std::size_t block = 32 / sizeof(T), inverse = sizeof(T) == 1 ? 11 : 3;
    const std::size_t head = std::min(width, headToAlign(out) * inverse % block);
    for (; x < head; ++x) {
      out[3 * x] = r[x];
      out[3 * x + 1] = g[x];
      out[3 * x + 2] = b[x];
    }
    x = joinBlocks<true>(r, g, b, out, x, width);
  } else {
    x = joinBlocks<false>(r, g, b, out, x, width);
  }
  for (; x < width; ++x) {
    out[3 * x] = r[x];
    out[3 * x + 1] = g[x];
    out[3 * x + 2] = b[x];
  }
}

#endif

// Whether the AVX2 same-type moves serve these types: bytes and 32-bit elements, all four alike.
template <class A, class... T>
constexpr bool kAllSame = (std::is_same_v<A, T> && ...);
template <class A, class B, class C, class D>
constexpr bool kSameMove = (RK_AVX2_PATH != 0) && kAllSame<A, B, C, D> && (sizeof(A) == 1 || sizeof(A) == 4);

// ---- split --------------------------------------------------------------------------------------

// One row: out[n][x] = in[3x + n] for each connected output n (null rows stand for unconnected ones).
// `pixels` is the matrix's pixel count, `wide` whether the AVX2 path is taken.
using SplitRow = void (*)(const void* in, void* const* out, std::size_t width, std::size_t pixels, bool wide);

template <class I, class O>
void splitPlane(const I* __restrict in, O* __restrict out, std::size_t width, std::size_t plane) {
  for (std::size_t x = 0; x < width; ++x) out[x] = convert<O>(in[3 * x + plane]);
}

template <class I, class R, class G, class B>
void splitRow(const void* inRow, void* const* outRows, std::size_t width, [[maybe_unused]] std::size_t pixels,
              [[maybe_unused]] bool wide) {
  const I* __restrict in = static_cast<const I*>(inRow);
  R* __restrict r = static_cast<R*>(outRows[0]);
  G* __restrict g = static_cast<G*>(outRows[1]);
  B* __restrict b = static_cast<B*>(outRows[2]);
#if RK_AVX2_PATH
  if constexpr (kSameMove<I, R, G, B>) {
    if (wide && r && g && b) {
      splitSame<I>(in, r, g, b, width, pixels * 3 * sizeof(I) >= kStreamBytes);
      return;
    }
  }
#endif
  if (r && g && b) {
    // The usual case: one pass over the input row.
    for (std::size_t x = 0; x < width; ++x) {
      r[x] = convert<R>(in[3 * x]);
      g[x] = convert<G>(in[3 * x + 1]);
      b[x] = convert<B>(in[3 * x + 2]);
    }
    return;
  }
  if (r) splitPlane(in, r, width, 0);
  if (g) splitPlane(in, g, width, 1);
  if (b) splitPlane(in, b, width, 2);
}

void runSplit(SplitRow row) {
  bool connected[3];
  bool any = false;
  for (int32_t n = 0; n < 3; ++n) {
    kxInterface::kxSetPin(n);
    connected[n] = kxPin::kxGetOPinOccupied() != 0;
    any = any || connected[n];
  }
  if (!any) return;

  kxMInfo in;
  kxMInfo out;
  kxInterface::kxSetPin(0);
  kxInfo::kxGetMetaInfo(&in);
  for (int32_t n = 0; n < 3; ++n) {
    if (!connected[n]) continue;
    kxInterface::kxSetPin(n);
    kxInfo::kxSetMetaInfo(&in);
  }
  kxInterface::kxSetPin(0);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  vecLength();

  // The checks are the processor's own and must reach the host, so they leave the guarded loop as a
  // message and are thrown after it.
  const char* failure = nullptr;
  swallowHostFailures([&] {
    for (int32_t i = 0; i < count; ++i) {
      kxInterface::kxSetPin(0);
      kxInterface::kxSetMatrix(i);
      kxInfo::kxGetMInfo(&in);
      if (in.Y < 1 || in.X < 1 || in.Planes < 1) {
        failure = msg::kMatricesExpected;
        return;
      }
      if (in.Planes != 3) {
        failure = kNotRgb;
        return;
      }
      out.Name = in.Name;
      out.UserDatas = in.UserDatas;
      out.X = in.X;
      out.Y = in.Y;
      out.Planes = 1;
      out.Count = elementCount(in.X, in.Y, 1);
      void* const* inRows = kxInterface::kxGetIMatrix();
      void* const* outRows[3] = {nullptr, nullptr, nullptr};
      for (int32_t n = 0; n < 3; ++n) {
        if (!connected[n]) continue;
        kxInterface::kxSetPin(n);
        outRows[n] = kxInterface::kxGetOMatrix(&out);
      }
      const auto width = static_cast<std::size_t>(in.X);
      const std::size_t pixels = width * static_cast<std::size_t>(in.Y);
      const bool wide = avx2Path();
      for (int32_t y = 0; y < in.Y; ++y) {
        void* rows[3];
        for (int n = 0; n < 3; ++n) rows[n] = outRows[n] ? outRows[n][y] : nullptr;
        row(inRows[y], rows, width, pixels, wide);
      }
      if (wide) streamFence();
    }
  });
  if (failure) fail(failure);
}

// ---- join ---------------------------------------------------------------------------------------

// One row: out[3x + n] = plane 0 of input n at pixel x, the inputs' pixels `stride` elements apart.
// `pixels` is the matrix's pixel count, `wide` whether the AVX2 path is taken.
using JoinRow = void (*)(const void* r, const void* g, const void* b, void* out, std::size_t width, std::size_t stride,
                         std::size_t pixels, bool wide);

template <class R, class G, class B, class O>
void joinRow(const void* rRow, const void* gRow, const void* bRow, void* outRow, std::size_t width, std::size_t stride,
             [[maybe_unused]] std::size_t pixels, [[maybe_unused]] bool wide) {
  const R* __restrict r = static_cast<const R*>(rRow);
  const G* __restrict g = static_cast<const G*>(gRow);
  const B* __restrict b = static_cast<const B*>(bRow);
  O* __restrict out = static_cast<O*>(outRow);
#if RK_AVX2_PATH
  if constexpr (kSameMove<R, G, B, O>) {
    if (wide && stride == 1) {
      joinSame<O>(r, g, b, out, width, pixels * 3 * sizeof(O) >= kStreamBytes);
      return;
    }
  }
#endif
  if (stride == 1) {
    // Single-plane inputs, the usual case: a constant stride lets the loop vectorise.
    for (std::size_t x = 0; x < width; ++x) {
      out[3 * x] = convert<O>(r[x]);
      out[3 * x + 1] = convert<O>(g[x]);
      out[3 * x + 2] = convert<O>(b[x]);
    }
    return;
  }
  for (std::size_t x = 0; x < width; ++x) {
    out[3 * x] = convert<O>(r[x * stride]);
    out[3 * x + 1] = convert<O>(g[x * stride]);
    out[3 * x + 2] = convert<O>(b[x * stride]);
  }
}

void runJoin(JoinRow row) {
  kxMInfo in;
  kxMInfo out;
  kxSafety::kxCompareMCount(0, 1, 2, -1);
  kxSafety::kxCompareStreams(0, 1, 2, -1);
  copyMetaInfo(in);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  vecLength();
  // An empty stream reads as a matrix 0 of size 0 and so fails here too.
  kxInfo::kxGetMInfo(&in);
  if (in.Y < 1 || in.X < 1 || in.Planes < 1) fail(msg::kMatricesExpected);
  if (in.Planes > 1) kxQMessages::kxSetWarning("%s", kMultiPlane);

  swallowHostFailures([&] {
    for (int32_t i = 0; i < count; ++i) {
      kxInterface::kxSetPin(0);
      kxInterface::kxSetMatrix(i);
      kxInfo::kxGetMInfo(&in);
      out.Name = in.Name;
      out.UserDatas = in.UserDatas;
      out.X = in.X;
      out.Y = in.Y;
      out.Planes = 3;
      out.Count = elementCount(in.X, in.Y, 3);
      void* const* r = kxInterface::kxGetIMatrix();
      void* const* o = kxInterface::kxGetOMatrix(&out);
      kxInterface::kxSetPin(1);
      void* const* g = kxInterface::kxGetIMatrix();
      kxInterface::kxSetPin(2);
      void* const* b = kxInterface::kxGetIMatrix();
      // Only matrix 0 is checked. A later matrix without planes has no elements to read, so its
      // output keeps the zeros the host filled it with.
      if (in.X < 1 || in.Planes < 1) continue;
      const auto width = static_cast<std::size_t>(in.X);
      const auto stride = static_cast<std::size_t>(in.Planes);
      const std::size_t pixels = width * static_cast<std::size_t>(in.Y);
      const bool wide = avx2Path();
      for (int32_t y = 0; y < in.Y; ++y) row(r[y], g[y], b[y], o[y], width, stride, pixels, wide);
      if (wide) streamFence();
    }
  });
}

}  // namespace
}  // namespace rk

RK_ENTRY(_RGBSplitt) {
  return rk::dispatch<rk::In<0>, rk::Out<0>, rk::Out<1>, rk::Out<2>>(
      []<class I, class R, class G, class B>() { rk::runSplit(&rk::splitRow<I, R, G, B>); });
}

RK_ENTRY(_RGBJoin) {
  return rk::dispatch<rk::In<0>, rk::In<1>, rk::In<2>, rk::Out<0>>(
      []<class R, class G, class B, class O>() { rk::runJoin(&rk::joinRow<R, G, B, O>); });
}
