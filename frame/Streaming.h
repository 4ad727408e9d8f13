// Streaming stores for 8-bit kernels whose matrices lie far beyond the caches.
#pragma once

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace rk {

// Matrices of 8-bit elements this large are far beyond the caches, and simple 8-bit kernels are
// quicker than the memory: results formed a block at a time in the first-level cache and stored with
// streaming stores spare reading every output line into the cache before it is written.
constexpr int32_t kStreamFrom = 1 << 22;

// run(base, block, m) writes the results of elements base .. base + m - 1 to block; streamed(n, run)
// stores them to out. False (nothing done) where the matrix is smaller or the target has no SSE2.
template <class Run>
bool streamed(uint8_t* __restrict out, int32_t n, Run run) {
#if defined(__SSE2__)
  if (n < kStreamFrom) return false;
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
