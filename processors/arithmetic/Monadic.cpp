// Point operations of one image stream: negative, square, stretch to 0..255, seeded noise.
//
// Each result is formed from the input element in the input type (8-bit promoted to 32-bit, 32-bit
// wrapping, float in double) and only the result is converted to the output type.
#include <array>
#include <cmath>
#include <cstdint>

#include "frame/Frame.h"
#include "frame/Streaming.h"

#if RK_AVX2_PATH
#include <immintrin.h>
#endif

namespace rk {
namespace {

constexpr const char* kFlatMatrix = "Objekt %i: Division durch 0; Das Objekt wird kopiert";

// The register forms (vec) serve large outputs of the input's own type, 8-bit or float: an 8-bit
// result is the low byte of the 32-bit one, and a float one rounded from double equals the float
// operation's, since double's 53 bits are at least twice float's 24 plus two.
struct Negate {
  template <class I>
  static Widened<I> apply(I x) {
    return wideSub(Widened<I>(255), widen(x));
  }
#if RK_AVX2_PATH
  [[gnu::target("avx2")]] static __m256i vec(__m256i x) { return _mm256_sub_epi8(_mm256_set1_epi8(char(255)), x); }
  [[gnu::target("avx2")]] static __m256 vec(__m256 x) { return _mm256_sub_ps(_mm256_set1_ps(255.0f), x); }
#endif
};

struct Square {
  template <class I>
  static Widened<I> apply(I x) {
    return wideMul(widen(x), widen(x));
  }
#if RK_AVX2_PATH
  // The low byte of each 16-bit square is that of the even byte; the odd bytes, shifted down, give
  // theirs the same way.
  [[gnu::target("avx2")]] static __m256i vec(__m256i x) {
    const __m256i even = _mm256_and_si256(_mm256_mullo_epi16(x, x), _mm256_set1_epi16(0xff));
    const __m256i high = _mm256_srli_epi16(x, 8);
    return _mm256_or_si256(even, _mm256_slli_epi16(_mm256_mullo_epi16(high, high), 8));
  }
  [[gnu::target("avx2")]] static __m256 vec(__m256 x) { return _mm256_mul_ps(x, x); }
#endif
};

template <class Op, class I, class O>
void pointLoop(const I* __restrict in, O* __restrict out, int32_t n) {
  int32_t k = 0;
  if constexpr (std::is_same_v<I, O> && (std::is_same_v<O, uint8_t> || std::is_same_v<O, float>))
    k = streamMap(in, out, n, Op{});
  mapConverted(out + k, n - k, [=](int32_t j) { return Op::apply(in[k + j]); });
}

template <class Op>
int pointEntry() {
  return dispatch<In<0>, Out<0>>(
      []<class I, class O>() { runMonadic<I, O>([](const I* in, O* out, int32_t n) { pointLoop<Op>(in, out, n); }); });
}

// ---- stretch ------------------------------------------------------------------------------------

// Subtracting before multiplying is what users see: for a range of 25 the maximum lands on
// 25 * (255 / 25), just below 255, and so on 254 in an integer output.
template <class I, class O>
void stretch(const I* __restrict in, O* __restrict out, int32_t n, double min, double factor) {
  mapConverted(out, n, [=](int32_t k) { return (double(in[k]) - min) * factor; });
}

#if RK_AVX2_PATH
// The float stretch of 8-bit input to 8-bit output, 32 elements at a time. The 32 bytes are read as
// 8 dwords and stretched byte field by byte field, so that the results go back into their fields
// with masks and shifts alone: no widening or packing shuffles, which would all queue for one port.
template <int shift>
[[gnu::target("avx2")]] inline __m256i stretchField(__m256i x, __m256 lowest, __m256 g) {
  const __m256i mask = _mm256_set1_epi32(0xff);
  __m256i v = _mm256_srli_epi32(x, shift);
  if constexpr (shift < 24) v = _mm256_and_si256(v, mask);
  __m256i r = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sub_ps(_mm256_cvtepi32_ps(v), lowest), g));
  // The low 8 bits of each result, as the conversion to 8 bits keeps them.
  if constexpr (shift < 24) r = _mm256_and_si256(r, mask);
  return _mm256_slli_epi32(r, shift);
}

template <bool Stream>
[[gnu::target("avx2")]] inline int32_t stretchBytesAvx2(const uint8_t* __restrict in, uint8_t* __restrict out,
                                                        int32_t n, float lowest, float g) {
  const __m256 vl = _mm256_set1_ps(lowest), vg = _mm256_set1_ps(g);
  int32_t k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + k));
    const __m256i r = _mm256_or_si256(_mm256_or_si256(stretchField<0>(x, vl, vg), stretchField<8>(x, vl, vg)),
                                      _mm256_or_si256(stretchField<16>(x, vl, vg), stretchField<24>(x, vl, vg)));
    store32<Stream>(out + k, r);
  }
  if (Stream) streamFence();
  return k;
}
#endif

// An 8-bit input has 256 values, so the stretch of each can be checked in advance. A float product
// (x - min) * g, with x - min exact in float, vectorises at twice the width of the double one; a g
// near the factor for which every one of the 256 values truncates as the double formula does gives
// the same output. Such a g is looked for among the float factor and its neighbours a few steps
// away; false when none fits (or the minimum is no 8-bit value), and the double formula stays.
template <class O>
bool stretchBytes(const uint8_t* __restrict in, O* __restrict out, int32_t n, double min, double factor) {
  if (!(min >= 0.0 && min <= 255.0 && min == double(int32_t(min)) && factor > -256.0 && factor < 256.0)) return false;
  const float lowest = float(min);
  O expected[256];
  mapConverted(expected, 256, [=](int32_t x) { return (double(x) - min) * factor; });
  auto fits = [&](float g) {
    for (int32_t x = 0; x < 256; ++x)
      if (convert<O>(int32_t((float(x) - lowest) * g)) != expected[x]) return false;
    return true;
  };
  constexpr int32_t kSteps = 4;
  const float nearest = float(factor);
  float down = nearest, up = nearest, g = nearest;
  bool found = fits(nearest);
  for (int32_t step = 0; step < kSteps && !found; ++step) {
    down = std::nextafter(down, -INFINITY);
    up = std::nextafter(up, INFINITY);
    g = down;
    found = fits(down);
    if (!found) {
      g = up;
      found = fits(up);
    }
  }
  if (!found) return false;
  int32_t k = 0;
#if RK_AVX2_PATH
  if constexpr (std::is_same_v<O, uint8_t>) {
    if (avx2Path()) {
      const bool stream = std::size_t(n) >= kStreamBytes && headToAlign(out) == 0;
      k = stream ? stretchBytesAvx2<true>(in, out, n, lowest, g) : stretchBytesAvx2<false>(in, out, n, lowest, g);
    }
  }
#endif
  for (; k < n; ++k) out[k] = convert<O>(int32_t((float(in[k]) - lowest) * g));
  return true;
}

template <class I, class O>
void copyConverted(const I* __restrict in, O* __restrict out, int32_t n) {
  mapConverted(out, n, [=](int32_t k) { return widen(in[k]); });
}

template <class I, class O>
void runNorm() {
  runMonadic<I, O>([](const I* in, O* out, int32_t n, int32_t index) {
    double min = 0.0, max = 0.0;
    kxInterface::kxGetMinMax(&min, &max);
    const double range = max - min;
    // A flat matrix (or a NaN range) has no scale; it is passed on unchanged.
    if (!(range < 0.0 || range > 0.0)) {
      kxQMessages::kxSetWarning(kFlatMatrix, index);
      copyConverted(in, out, n);
    } else {
      const double factor = 255.0 / range;
      if constexpr (std::is_same_v<I, uint8_t> && isInteger<O>) {
        if (stretchBytes(in, out, n, min, factor)) return;
      }
      stretch(in, out, n, min, factor);
    }
  });
}

// ---- noise --------------------------------------------------------------------------------------

// The 15-bit generator of the Windows C library's rand(): the noise users of that platform saw, with
// its state kept here so that the process's own rand() is left alone.
constexpr uint32_t kRandMul = 214013u, kRandAdd = 2531011u;
constexpr int kLanes = 16;

// mul[j], add[j]: the state j + 1 steps on is mul[j] * state + add[j] (mod 2^32).
struct RandJump {
  std::array<uint32_t, kLanes> mul{}, add{};
  constexpr RandJump() {
    uint32_t m = 1, a = 0;
    for (int j = 0; j < kLanes; ++j) {
      m = m * kRandMul;
      a = a * kRandMul + kRandAdd;
      mul[j] = m;
      add[j] = a;
    }
  }
};
constexpr RandJump kRandJump{};

class Rand15 {
public:
  explicit Rand15(uint32_t seed) : state_(seed) {}

  // noise[k] = the k-th next draw shifted right by 9 bits (0..63). Draws come in blocks of kLanes,
  // each computed straight from the block's start state, so a block has no serial dependency and
  // vectorises.
  void fillNoise(uint8_t* __restrict noise, int32_t n) {
    int32_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
      const uint32_t s = state_;
      for (int j = 0; j < kLanes; ++j) noise[k + j] = draw(kRandJump.mul[j] * s + kRandJump.add[j]);
      state_ = kRandJump.mul[kLanes - 1] * s + kRandJump.add[kLanes - 1];
    }
    for (; k < n; ++k) {
      state_ = kRandMul * state_ + kRandAdd;
      noise[k] = draw(state_);
    }
  }

private:
  // rand() yields bits 16..30 of the state; the noise keeps the top six of those.
  static uint8_t draw(uint32_t state) { return static_cast<uint8_t>(((state >> 16) & 0x7fffu) >> 9); }

  uint32_t state_;
};

// Results are limited to 0..255 (a NaN to 0) so that no output, 8-bit ones included, wraps. Integer
// outputs limit the value as a 32-bit integer, floating outputs after conversion to their type.
template <class O>
O limit(int32_t c) {
  c = c > 255 ? 255 : c;
  return static_cast<O>(c < 0 ? 0 : c);
}
template <class O>
O limit(double v) {
  O c = convert<O>(v);
  c = c > O(255) ? O(255) : c;
  return c >= O(0) ? c : O(0);
}

constexpr int32_t kNoiseChunk = 4096;

// n is at most kNoiseChunk.
template <class I, class O>
void perturb(const I* __restrict in, const uint8_t* __restrict noise, O* __restrict out, int32_t n,
             Widened<I> amplitude) {
  auto value = [=](int32_t k) { return wideAdd(wideMul(Widened<I>(noise[k]), amplitude), widen(in[k])); };
  if constexpr (std::is_same_v<I, uint8_t> && std::is_same_v<O, uint8_t>) {
    // 63 * 255 + 255 < 2^16: the sums fit 16-bit lanes, twice as many per vector, and are never
    // negative, so only the upper limit applies.
    const auto factor = static_cast<uint16_t>(amplitude);
    for (int32_t k = 0; k < n; ++k) {
      const auto v = static_cast<uint16_t>(static_cast<uint16_t>(noise[k] * factor) + in[k]);
      out[k] = static_cast<uint8_t>(v < 255 ? v : 255);
    }
  } else if constexpr (isFloating<I> && isInteger<O>) {
    // A floating value reaches an integer output as a 32-bit integer first, then is limited.
    int32_t whole[kNoiseChunk];
    mapConverted(whole, n, value);
    for (int32_t k = 0; k < n; ++k) out[k] = limit<O>(whole[k]);
  } else {
    for (int32_t k = 0; k < n; ++k) out[k] = limit<O>(value(k));
  }
}

template <class I, class O>
void runPertur() {
  const Widened<I> amplitude = widen(convert<I>(Parameter::kxGetParameter(0).dblVal));
  // Every run starts the sequence afresh, so equal inputs get equal noise.
  Rand15 rng(1);
  runMonadic<I, O>([&](const I* in, O* out, int32_t n) {
    uint8_t noise[kNoiseChunk];
    for (int32_t k = 0; k < n; k += kNoiseChunk) {
      const int32_t m = n - k < kNoiseChunk ? n - k : kNoiseChunk;
      rng.fillNoise(noise, m);
      perturb(in + k, noise, out + k, m, amplitude);
    }
  });
}

}  // namespace
}  // namespace rk

RK_ENTRY(_Negate) { return rk::pointEntry<rk::Negate>(); }
RK_ENTRY(_SquareImage) { return rk::pointEntry<rk::Square>(); }

RK_ENTRY(_Norm) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::runNorm<I, O>(); });
}

RK_ENTRY(_Pertur) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() { rk::runPertur<I, O>(); });
}
