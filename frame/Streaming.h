// Non-temporal (streaming) stores for outputs much larger than the cache.
//
// An ordinary store first reads the line it writes into; an output that cannot stay in cache gains
// nothing from that read, and skipping it frees a third of the memory traffic of a plain move.
// Streamed stores are weakly ordered, so a kernel that used them ends with streamFence() before the
// host may read its output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "frame/Paths.h"

#if RK_AVX2_PATH || defined(__SSE2__)
#include <immintrin.h>
#endif

namespace rk {

// Outputs of at least this many bytes are streamed: a matrix and its output of that size no longer
// stay in a last-level cache shared with other work between one run and the next, and measured,
// streamed stores already win there.
constexpr std::size_t kStreamBytes = std::size_t(16) << 20;

// Reads the line `distance` bytes past p into the cache, ahead of the hardware's prefetchers, which
// alone leave a loop that also computes waiting on memory. The address is formed as an integer: it
// may lie past the end of the data, where a prefetch is harmless but pointer arithmetic is not
// allowed.
template <int distance>
inline void prefetchAhead(const void* p) {
#if defined(__SSE2__)
  _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) + distance), _MM_HINT_T0);
#else
  (void)p;
#endif
}

inline void streamFence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// Elements to write one by one before p reaches a boundary of `align` bytes, a power of two (p
// aligned to its element).
template <class T>
inline std::size_t headToAlign(const T* p, std::uintptr_t align = 32) {
  return ((align - (reinterpret_cast<std::uintptr_t>(p) & (align - 1))) & (align - 1)) / sizeof(T);
}

#if RK_AVX2_PATH

template <bool Stream>
[[gnu::target("avx2"), gnu::always_inline]] inline void store32(void* p, __m256i v) {
  if constexpr (Stream)
    _mm256_stream_si256(static_cast<__m256i*>(p), v);
  else
    _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

#endif

// memcpy whose 16-byte-aligned body is streamed (SSE2, so on every path); a plain memcpy where the
// target has no SSE2. Ends without a fence.
inline void streamCopy(void* dst, const void* src, std::size_t n) {
#if defined(__SSE2__)
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  const std::size_t head = std::min(n, headToAlign(d, 16));
  std::memcpy(d, s, head);
  std::size_t k = head;
  for (; k + 64 <= n; k += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 32));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 48), e);
  }
  for (; k + 16 <= n; k += 16)
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)));
  std::memcpy(d + k, s + k, n - k);
#else
  std::memcpy(dst, src, n);
#endif
}

// std::fill_n whose 16-byte-aligned body is streamed, as streamCopy. out is aligned to its element.
template <class T>
void streamFill(T* out, std::size_t n, T value) {
#if defined(__SSE2__)
  const std::size_t head = std::min(n, headToAlign(out, 16));
  std::fill_n(out, head, value);
  T pattern[16 / sizeof(T)];
  std::fill_n(pattern, 16 / sizeof(T), value);
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pattern));
  std::size_t k = head;
  for (; k + 16 / sizeof(T) <= n; k += 16 / sizeof(T)) _mm_stream_si128(reinterpret_cast<__m128i*>(out + k), v);
  std::fill_n(out + k, n - k, value);
#else
  std::fill_n(out, n, value);
#endif
}

#if RK_AVX2_PATH
// The AVX2 register of 32 bytes or 8 floats: loaded unaligned, stored streamed.
template <class T>
struct Lanes;
template <>
struct Lanes<uint8_t> {
  using V = __m256i;
  [[gnu::target("avx2")]] static V load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  [[gnu::target("avx2")]] static void stream(uint8_t* p, V v) { _mm256_stream_si256(reinterpret_cast<V*>(p), v); }
};
template <>
struct Lanes<float> {
  using V = __m256;
  [[gnu::target("avx2")]] static V load(const float* p) { return _mm256_loadu_ps(p); }
  [[gnu::target("avx2")]] static void stream(float* p, V v) { _mm256_stream_ps(p, v); }
};

// Two-input kernels of one element type (8-bit or float) on outputs of at least kStreamBytes:
// op.vec(a, b) forms a register of results, which goes straight to streamed stores, and the
// operands are prefetched 4 KiB ahead. Measured against forming blocks in the cache and streaming those (streamed()
// below), or against ordinary stores, this runs some 30 to 40% faster, near memcpy.
template <class T, class Op>
[[gnu::target("avx2")]] inline int32_t streamPairsAvx2(const T* __restrict a, const T* __restrict b, T* __restrict out,
                                                       int32_t n, const Op& op) {
  constexpr int32_t kStep = 32 / sizeof(T);
  int32_t k = 0;
  for (; k + kStep <= n; k += kStep) {
    prefetchAhead<4096>(a + k);
    prefetchAhead<4096>(b + k);
    Lanes<T>::stream(out + k, op.vec(Lanes<T>::load(a + k), Lanes<T>::load(b + k)));
  }
  _mm_sfence();
  return k;
}

// The one-input form: op.vec(x) forms a register of results from a register of inputs.
template <class T, class Op>
[[gnu::target("avx2")]] inline int32_t streamMapAvx2(const T* __restrict in, T* __restrict out, int32_t n,
                                                     const Op& op) {
  constexpr int32_t kStep = 32 / sizeof(T);
  int32_t k = 0;
  for (; k + kStep <= n; k += kStep) {
    prefetchAhead<4096>(in + k);
    Lanes<T>::stream(out + k, op.vec(Lanes<T>::load(in + k)));
  }
  _mm_sfence();
  return k;
}
#endif

// Returns how many leading elements streamPairsAvx2 wrote, a whole number of registers; 0 where it
// does not apply (a small or unaligned output, or no AVX2), and the caller forms the rest.
template <class T, class Op>
int32_t streamPairs(const T* __restrict a, const T* __restrict b, T* __restrict out, int32_t n, const Op& op) {
#if RK_AVX2_PATH
  if (n >= 0 && static_cast<std::size_t>(n) * sizeof(T) >= kStreamBytes && headToAlign(out) == 0 && avx2Path())
    return streamPairsAvx2(a, b, out, n, op);
#else
  (void)a;
  (void)b;
  (void)out;
  (void)n;
  (void)op;
#endif
  return 0;
}

// Returns how many leading elements streamMapAvx2 wrote, as streamPairs.
template <class T, class Op>
int32_t streamMap(const T* __restrict in, T* __restrict out, int32_t n, const Op& op) {
#if RK_AVX2_PATH
  if (n >= 0 && static_cast<std::size_t>(n) * sizeof(T) >= kStreamBytes && headToAlign(out) == 0 && avx2Path())
    return streamMapAvx2(in, out, n, op);
#else
  (void)in;
  (void)out;
  (void)n;
  (void)op;
#endif
  return 0;
}

// For 8-bit kernels simpler than the memory, where streamPairs does not apply (the baseline path):
// run(base, block, m) forms the results of elements base .. base + m - 1 in a block that stays in
// the first-level cache, and streamed(out, n, run) stores them to out with streaming stores (SSE2). False, with nothing
// done, where the output is smaller than kStreamBytes or the target has no SSE2.
template <class Run>
bool streamed(uint8_t* __restrict out, int32_t n, Run run) {
#if defined(__SSE2__)
  if (n < 0 || static_cast<std::size_t>(n) < kStreamBytes) return false;
  constexpr int32_t kBlock = 4096;
  uint8_t block[kBlock];
  for (int32_t base = 0; base < n; base += kBlock) {
    const int32_t m = std::min(kBlock, n - base);
    run(base, block, m);
    uint8_t* dst = out + base;
    int32_t k = 0;
    for (; k < m && (reinterpret_cast<uintptr_t>(dst + k) & 15) != 0; ++k) dst[k] = block[k];
    for (; k + 16 <= m; k += 16)
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k)));
    for (; k < m; ++k) dst[k] = block[k];
  }
  _mm_sfence();
  return true;
#else
  (void)out;
  (void)n;
  (void)run;
  return false;
#endif
}

}  // namespace rk
