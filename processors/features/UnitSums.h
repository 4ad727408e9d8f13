// Serial double sums s = s + double(t[k]), k in index order, formed blockwise where that provably
// gives the same bits.
//
// While the sum s lies in the binade [2^(e-1), 2^e) (or its negative), its representable values
// are the multiples of the unit u = 2^(e-53). Adding t to a multiple of u gives one of two things
// without any dependence on s:
//
//  - t a multiple of u itself, and the exact sum below 2^e in magnitude: the sum is representable,
//    so the addition is exact, in any binade it lands in;
//  - t of the sign of s, the exact sum still inside the binade, and t not halfway between two
//    multiples of u: the sum is s plus t rounded to a whole number of units.
//
// A block whose every term is of the first kind, with |s| plus every |t| below 2^e, or of the
// second kind, with the final sum still inside the binade (the partial sums only grow), is added as
// one integer sum of units, which vectorises. Other blocks (NaN, infinities, ties, terms of either
// sign with fractions of a unit, binade changes, s = 0 or extreme) are added serially.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "frame/Paths.h"
#include "frame/Streaming.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if RK_AVX2_PATH
#include <immintrin.h>
#endif

namespace rk {
namespace units {

constexpr int32_t kBlock = 2048;

template <class T>
double serialAdd(const T* __restrict t, int32_t n, double s) {
  for (int32_t k = 0; k < n; ++k) s = s + static_cast<double>(t[k]);
  return s;
}

// What one pass over a block finds.
struct BlockScan {
  uint64_t units;   // sum of the terms rounded to units, modulo 2^64
  double lo, hi;    // least and greatest term, NaNs skipped
  double fraction;  // 0 when every term was a whole number of units
};

// magic = 0.75 * 2^e: for |t| < 2^(e-2), magic + t lies in [2^(e-1), 2^e), whose spacing is u, so
// the addition rounds t to units (ties to even) and the bits of the sum, less those of magic, are
// t in units as a signed integer. `fraction` collects the bits of every t - rounded t, so it is
// nonzero when any term had a fraction of a unit (or was -0, NaN or infinite).
template <class T>
BlockScan scanBlock(const T* __restrict t, int32_t m, double magic) {
  const uint64_t magicBits = std::bit_cast<uint64_t>(magic);
  uint64_t units = 0, fraction = 0;
  double lo = static_cast<double>(t[0]), hi = lo;
  for (int32_t k = 0; k < m; ++k) {
    const double x = static_cast<double>(t[k]);
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
    const double big = x + magic;
    units += std::bit_cast<uint64_t>(big) - magicBits;
    fraction |= std::bit_cast<uint64_t>(x - (big - magic));
  }
  return {units, lo, hi, fraction != 0 ? 1.0 : 0.0};
}

#if defined(__SSE2__)
// The scans read 1 KiB ahead of the hardware's prefetchers (prefetchAhead).
constexpr int kAhead = 1024;

// The same scan in vector registers. minpd and maxpd return their second operand when either is
// NaN, which keeps NaNs out of lo and hi as the scalar comparisons do.
inline __m128d loadPair(const float* p) {
  return _mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(p))));
}
inline __m128d loadPair(const double* p) { return _mm_loadu_pd(p); }
inline __m128d loadPair(const int32_t* p) {
  return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

template <class T>
BlockScan scanBlockSse2(const T* __restrict t, int32_t m, double magic) {
  const __m128d vmagic = _mm_set1_pd(magic);
  const __m128i magicBits = _mm_castpd_si128(vmagic);
  __m128d lo0 = _mm_set1_pd(static_cast<double>(t[0])), hi0 = lo0, lo1 = lo0, hi1 = lo0;
  __m128i units0 = _mm_setzero_si128(), units1 = units0, frac0 = units0, frac1 = units0;
  int32_t k = 0;
  for (; k + 4 <= m; k += 4) {
    prefetchAhead<kAhead>(t + k);
    const __m128d x0 = loadPair(t + k), x1 = loadPair(t + k + 2);
    lo0 = _mm_min_pd(x0, lo0);
    lo1 = _mm_min_pd(x1, lo1);
    hi0 = _mm_max_pd(x0, hi0);
    hi1 = _mm_max_pd(x1, hi1);
    const __m128d big0 = _mm_add_pd(x0, vmagic), big1 = _mm_add_pd(x1, vmagic);
    units0 = _mm_add_epi64(units0, _mm_sub_epi64(_mm_castpd_si128(big0), magicBits));
    units1 = _mm_add_epi64(units1, _mm_sub_epi64(_mm_castpd_si128(big1), magicBits));
    frac0 = _mm_or_si128(frac0, _mm_castpd_si128(_mm_sub_pd(x0, _mm_sub_pd(big0, vmagic))));
    frac1 = _mm_or_si128(frac1, _mm_castpd_si128(_mm_sub_pd(x1, _mm_sub_pd(big1, vmagic))));
  }
  alignas(16) double l[2], h[2];
  alignas(16) uint64_t u[2], f[2];
  _mm_store_pd(l, _mm_min_pd(lo0, lo1));
  _mm_store_pd(h, _mm_max_pd(hi0, hi1));
  _mm_store_si128(reinterpret_cast<__m128i*>(u), _mm_add_epi64(units0, units1));
  _mm_store_si128(reinterpret_cast<__m128i*>(f), _mm_or_si128(frac0, frac1));
  BlockScan r{u[0] + u[1], l[0] < l[1] ? l[0] : l[1], h[0] > h[1] ? h[0] : h[1], (f[0] | f[1]) != 0 ? 1.0 : 0.0};
  if (k < m) {
    const BlockScan rest = scanBlock(t + k, m - k, magic);
    r.units += rest.units;
    r.lo = rest.lo < r.lo ? rest.lo : r.lo;
    r.hi = rest.hi > r.hi ? rest.hi : r.hi;
    r.fraction = rest.fraction != 0.0 ? 1.0 : r.fraction;
  }
  return r;
}
#endif

#if RK_AVX2_PATH
template <class T>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d loadQuad(const T* p) {
  if constexpr (std::is_same_v<T, float>)
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
  else if constexpr (std::is_same_v<T, double>)
    return _mm256_loadu_pd(p);
  else
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

template <class T>
[[gnu::target("avx2")]] BlockScan scanBlockAvx2(const T* __restrict t, int32_t m, double magic) {
  const __m256d vmagic = _mm256_set1_pd(magic);
  const __m256i magicBits = _mm256_castpd_si256(vmagic);
  __m256d lo0 = _mm256_set1_pd(static_cast<double>(t[0])), hi0 = lo0, lo1 = lo0, hi1 = lo0;
  __m256i units0 = _mm256_setzero_si256(), units1 = units0, frac0 = units0, frac1 = units0;
  int32_t k = 0;
  for (; k + 8 <= m; k += 8) {
    prefetchAhead<kAhead>(t + k);
    const __m256d x0 = loadQuad(t + k), x1 = loadQuad(t + k + 4);
    lo0 = _mm256_min_pd(x0, lo0);
    lo1 = _mm256_min_pd(x1, lo1);
    hi0 = _mm256_max_pd(x0, hi0);
    hi1 = _mm256_max_pd(x1, hi1);
    const __m256d big0 = _mm256_add_pd(x0, vmagic), big1 = _mm256_add_pd(x1, vmagic);
    units0 = _mm256_add_epi64(units0, _mm256_sub_epi64(_mm256_castpd_si256(big0), magicBits));
    units1 = _mm256_add_epi64(units1, _mm256_sub_epi64(_mm256_castpd_si256(big1), magicBits));
    frac0 = _mm256_or_si256(frac0, _mm256_castpd_si256(_mm256_sub_pd(x0, _mm256_sub_pd(big0, vmagic))));
    frac1 = _mm256_or_si256(frac1, _mm256_castpd_si256(_mm256_sub_pd(x1, _mm256_sub_pd(big1, vmagic))));
  }
  alignas(32) double l[4], h[4];
  alignas(32) uint64_t u[4], f[4];
  _mm256_store_pd(l, _mm256_min_pd(lo0, lo1));
  _mm256_store_pd(h, _mm256_max_pd(hi0, hi1));
  _mm256_store_si256(reinterpret_cast<__m256i*>(u), _mm256_add_epi64(units0, units1));
  _mm256_store_si256(reinterpret_cast<__m256i*>(f), _mm256_or_si256(frac0, frac1));
  BlockScan r{u[0] + u[1] + u[2] + u[3], l[0], h[0], (f[0] | f[1] | f[2] | f[3]) != 0 ? 1.0 : 0.0};
  for (int j = 1; j < 4; ++j) {
    r.lo = l[j] < r.lo ? l[j] : r.lo;
    r.hi = h[j] > r.hi ? h[j] : r.hi;
  }
  if (k < m) {
    const BlockScan rest = scanBlock(t + k, m - k, magic);
    r.units += rest.units;
    r.lo = rest.lo < r.lo ? rest.lo : r.lo;
    r.hi = rest.hi > r.hi ? rest.hi : r.hi;
    r.fraction = rest.fraction != 0.0 ? 1.0 : r.fraction;
  }
  return r;
}
#endif

// Whether a term of the block lies halfway between two multiples of u (or is NaN).
template <class T>
bool holdsTie(const T* __restrict t, int32_t m, double magic, double half) {
  int32_t ties = 0;
  for (int32_t k = 0; k < m; ++k) {
    const double x = static_cast<double>(t[k]);
    const double d = std::fabs(x - ((x + magic) - magic));
    ties += !(d != half && d == d);
  }
  return ties != 0;
}

// The block t[0..m) added to *s in units; false (and *s unchanged) when that may differ from the
// serial sum.
template <class T>
bool addBlock(const T* __restrict t, int32_t m, double* s, bool wide) {
  const double a = std::fabs(*s);
  if (!(a > 0x1p-900 && a < 0x1p900)) return false;
  int e = 0;
  std::frexp(a, &e);
  const double toUnits = std::ldexp(1.0, 53 - e);  // powers of two: scaling by them is exact
  const double magic = std::ldexp(0.75, e);
  const auto start = static_cast<int64_t>(*s * toUnits);  // whole, 2^52 <= |start| < 2^53
#if RK_AVX2_PATH
  const BlockScan scan = wide ? scanBlockAvx2(t, m, magic) : scanBlockSse2(t, m, magic);
#elif defined(__SSE2__)
  (void)wide;
  const BlockScan scan = scanBlockSse2(t, m, magic);
#else
  (void)wide;
  const BlockScan scan = scanBlock(t, m, magic);
#endif
  // Beyond 2^(e-2) the rounding above leaves the binade; this also refuses infinities.
  const double range = std::ldexp(1.0, e - 2);
  if (!(scan.hi < range && scan.lo > -range)) return false;
  const auto total = static_cast<int64_t>(scan.units);  // |units| < 2^51 each: no wrap
  constexpr int64_t kTop = (int64_t(1) << 53) - 1;
  int64_t sum = 0;
  if (scan.fraction == 0.0) {
    // Whole units: every partial sum stays within |start| + m * max|t|.
    const double largest = scan.hi > -scan.lo ? scan.hi : -scan.lo;
    const auto most = static_cast<int64_t>(largest * toUnits);
    const int64_t absStart = start < 0 ? -start : start;
    if (absStart + int64_t(m) * most > kTop) return false;
    sum = start + total;
  } else {
    // Fractions of a unit: the terms must move the sum away from zero, and not by a tie.
    if (start > 0 ? !(scan.lo >= 0.0) : !(scan.hi <= 0.0)) return false;
    if (holdsTie(t, m, magic, std::ldexp(1.0, e - 54))) return false;
    sum = start + total;
    if (sum > kTop || sum < -kTop) return false;
  }
  *s = static_cast<double>(sum) / toUnits;
  return true;
}

// s + t[0] + ... + t[n-1], each addition rounded to double in index order. `wide` says that the
// kernel runs on the AVX2 path (see runKernel), where the scan may use AVX2 instructions.
template <class T>
double sum(const T* __restrict t, int32_t n, double s, bool wide) {
  for (int32_t base = 0; base < n; base += kBlock) {
    const int32_t m = n - base < kBlock ? n - base : kBlock;
    if (!addBlock(t + base, m, &s, wide)) s = serialAdd(t + base, m, s);
  }
  return s;
}

// Squared deviations (t[k] - mean)^2, each formed in double, scanned for one block onto a positive
// sum in the binade of magic = 0.75 * 2^e: their sum in units, and whether any square is out of
// range (at least 2^(e-2), or NaN) or halfway between two units, which the blockwise sum may not
// take. Squares are never negative, so the partial sums only grow.
struct SquaresScan {
  uint64_t units;
  bool refused;
};

template <class T>
SquaresScan scanSquaresPlain(const T* __restrict t, int32_t m, double mean, double magic) {
  const uint64_t magicBits = std::bit_cast<uint64_t>(magic);
  const double range = magic / 3.0, half = magic * 0x1p-52 / 3.0;  // 2^(e-2) and u / 2, exactly
  uint64_t units = 0;
  int32_t refused = 0;
  for (int32_t k = 0; k < m; ++k) {
    const double d = static_cast<double>(t[k]) - mean;
    const double sq = d * d;
    const double big = sq + magic;
    units += std::bit_cast<uint64_t>(big) - magicBits;
    refused += !(sq < range) | (std::fabs(sq - (big - magic)) == half);
  }
  return {units, refused != 0};
}

#if RK_AVX2_PATH
template <class T>
[[gnu::target("avx2")]] SquaresScan scanSquaresAvx2(const T* __restrict t, int32_t m, double mean, double magic) {
  const __m256d vmagic = _mm256_set1_pd(magic), vmean = _mm256_set1_pd(mean);
  const __m256d range = _mm256_set1_pd(magic / 3.0), half = _mm256_set1_pd(magic * 0x1p-52 / 3.0);
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
  const __m256i magicBits = _mm256_castpd_si256(vmagic);
  __m256i units0 = _mm256_setzero_si256(), units1 = units0;
  __m256d bad0 = _mm256_setzero_pd(), bad1 = bad0;
  int32_t k = 0;
  for (; k + 8 <= m; k += 8) {
    prefetchAhead<kAhead>(t + k);
    const __m256d d0 = _mm256_sub_pd(loadQuad(t + k), vmean), d1 = _mm256_sub_pd(loadQuad(t + k + 4), vmean);
    const __m256d sq0 = _mm256_mul_pd(d0, d0), sq1 = _mm256_mul_pd(d1, d1);
    const __m256d big0 = _mm256_add_pd(sq0, vmagic), big1 = _mm256_add_pd(sq1, vmagic);
    units0 = _mm256_add_epi64(units0, _mm256_sub_epi64(_mm256_castpd_si256(big0), magicBits));
    units1 = _mm256_add_epi64(units1, _mm256_sub_epi64(_mm256_castpd_si256(big1), magicBits));
    const __m256d f0 = _mm256_and_pd(_mm256_sub_pd(sq0, _mm256_sub_pd(big0, vmagic)), absMask);
    const __m256d f1 = _mm256_and_pd(_mm256_sub_pd(sq1, _mm256_sub_pd(big1, vmagic)), absMask);
    bad0 =
        _mm256_or_pd(bad0, _mm256_or_pd(_mm256_cmp_pd(sq0, range, _CMP_NLT_UQ), _mm256_cmp_pd(f0, half, _CMP_EQ_OQ)));
    bad1 =
        _mm256_or_pd(bad1, _mm256_or_pd(_mm256_cmp_pd(sq1, range, _CMP_NLT_UQ), _mm256_cmp_pd(f1, half, _CMP_EQ_OQ)));
  }
  alignas(32) uint64_t u[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(u), _mm256_add_epi64(units0, units1));
  const bool refused = _mm256_movemask_pd(_mm256_or_pd(bad0, bad1)) != 0;
  const SquaresScan rest = scanSquaresPlain(t + k, m - k, mean, magic);
  return {u[0] + u[1] + u[2] + u[3] + rest.units, refused || rest.refused};
}
#endif

// The serial double sum s + (t[0] - mean)^2 + ... of a block, or false (and *s unchanged) when the
// block may not be added in units; see the top of this file.
template <class T>
bool addSquaresBlock(const T* __restrict t, int32_t m, double mean, double* s, [[maybe_unused]] bool wide) {
  if (!(*s > 0x1p-900 && *s < 0x1p900)) return false;
  int e = 0;
  std::frexp(*s, &e);
  const double toUnits = std::ldexp(1.0, 53 - e);
  const double magic = std::ldexp(0.75, e);
  const auto start = static_cast<int64_t>(*s * toUnits);
#if RK_AVX2_PATH
  const SquaresScan scan = wide ? scanSquaresAvx2(t, m, mean, magic) : scanSquaresPlain(t, m, mean, magic);
#else
  const SquaresScan scan = scanSquaresPlain(t, m, mean, magic);
#endif
  if (scan.refused) return false;
  const int64_t sum = start + static_cast<int64_t>(scan.units);  // at most 2048 terms below 2^51
  if (sum > (int64_t(1) << 53) - 1) return false;
  *s = static_cast<double>(sum) / toUnits;
  return true;
}

// The exact sum of n bytes (n < 2^31, so it fits 64 bits), eight bytes at a time by psadbw.
inline uint64_t byteSumPlain(const uint8_t* __restrict p, int32_t n) {
  uint64_t total = 0;
  for (int32_t k = 0; k < n; ++k) total += p[k];
  return total;
}

#if defined(__SSE2__)
inline uint64_t byteSumSse2(const uint8_t* __restrict p, int32_t n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a0 = zero, a1 = zero;
  int32_t k = 0;
  for (; k + 32 <= n; k += 32) {
    prefetchAhead<kAhead>(p + k);
    a0 = _mm_add_epi64(a0, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)), zero));
    a1 = _mm_add_epi64(a1, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 16)), zero));
  }
  alignas(16) uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(a0, a1));
  return lanes[0] + lanes[1] + byteSumPlain(p + k, n - k);
}
#endif

#if RK_AVX2_PATH
[[gnu::target("avx2")]] inline uint64_t byteSumAvx2(const uint8_t* __restrict p, int32_t n) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i a0 = zero, a1 = zero;
  int32_t k = 0;
  for (; k + 64 <= n; k += 64) {
    prefetchAhead<kAhead>(p + k);
    a0 = _mm256_add_epi64(a0, _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k)), zero));
    a1 = _mm256_add_epi64(a1, _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k + 32)), zero));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(a0, a1));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] + byteSumPlain(p + k, n - k);
}
#endif

inline uint64_t byteSum(const uint8_t* __restrict p, int32_t n, [[maybe_unused]] bool wide) {
#if RK_AVX2_PATH
  if (wide) return byteSumAvx2(p, n);
#endif
#if defined(__SSE2__)
  return byteSumSse2(p, n);
#else
  return byteSumPlain(p, n);
#endif
}

}  // namespace units
}  // namespace rk
