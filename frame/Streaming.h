// Non-temporal (streaming) stores for outputs much larger than the cache, on the AVX2 path.
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

inline void streamFence() {
#if RK_AVX2_PATH
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

// memcpy whose aligned body is streamed.
[[gnu::target("avx2")]] inline void streamCopy(void* dst, const void* src, std::size_t n) {
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  const std::size_t head = std::min(n, headToAlign(d, 64));
  std::memcpy(d, s, head);
  std::size_t k = head;
  for (; k + 128 <= n; k += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k + 64));
    const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k + 96));
    store32<true>(d + k, a);
    store32<true>(d + k + 32, b);
    store32<true>(d + k + 64, c);
    store32<true>(d + k + 96, e);
  }
  for (; k + 32 <= n; k += 32) store32<true>(d + k, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k)));
  std::memcpy(d + k, s + k, n - k);
}

#endif

// For 8-bit kernels simpler than the memory: run(base, block, m) forms the results of elements
// base .. base + m - 1 in a block that stays in the first-level cache, and streamed(out, n, run)
// stores them to out with streaming stores (SSE2, so on every path). False, with nothing done, where
// the output is smaller than kStreamBytes or the target has no SSE2.
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
