// Byte-to-byte tables: out[k] = table[in[k]], for processors whose 8-bit result depends on the
// input byte alone and costs more to compute per element than to look up.
#pragma once

#include <cstdint>

#include "frame/Paths.h"

#if RK_AVX2_PATH
#include <immintrin.h>
#endif

namespace rk {

using ByteTable = uint8_t[256];

inline void lookupBytesRun(const uint8_t* __restrict in, uint8_t* __restrict out, int32_t n, const ByteTable& table) {
  for (int32_t k = 0; k < n; ++k) out[k] = table[in[k]];
}

#if RK_AVX2_PATH
// 32 lookups at a time: each 16-entry row of the table is looked up by the low nibble (a byte
// shuffle), and the high nibble picks among the 16 rows in a tree of byte blends, one level per
// bit. A blend follows the top bit of each mask byte, so shifting the input left by 3, 2, 1 and 0
// bits makes bits 4 to 7 the masks; the bits a 16-bit shift carries across bytes stay below it.
[[gnu::target("avx2")]] inline void lookupBytesAvx2(const uint8_t* __restrict in, uint8_t* __restrict out, int32_t n,
                                                    const ByteTable& table) {
  __m256i rows[16];
  for (int h = 0; h < 16; ++h)
    rows[h] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * h)));
  const __m256i lowNibble = _mm256_set1_epi8(0x0f);
  int32_t k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + k));
    const __m256i lo = _mm256_and_si256(x, lowNibble);
    const __m256i bit4 = _mm256_slli_epi16(x, 3), bit5 = _mm256_slli_epi16(x, 2), bit6 = _mm256_slli_epi16(x, 1);
    __m256i pairs[8];
    for (int j = 0; j < 8; ++j)
      pairs[j] =
          _mm256_blendv_epi8(_mm256_shuffle_epi8(rows[2 * j], lo), _mm256_shuffle_epi8(rows[2 * j + 1], lo), bit4);
    __m256i quads[4];
    for (int j = 0; j < 4; ++j) quads[j] = _mm256_blendv_epi8(pairs[2 * j], pairs[2 * j + 1], bit5);
    const __m256i low = _mm256_blendv_epi8(quads[0], quads[1], bit6);
    const __m256i high = _mm256_blendv_epi8(quads[2], quads[3], bit6);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_blendv_epi8(low, high, x));
  }
  lookupBytesRun(in + k, out + k, n - k, table);
}
#endif

// out[k] = table[in[k]] for k from 0 to n-1, on the fastest path the processor has.
inline void lookupBytes(const uint8_t* __restrict in, uint8_t* __restrict out, int32_t n, const ByteTable& table) {
#if RK_AVX2_PATH
  if (avx2Path()) {
    lookupBytesAvx2(in, out, n, table);
    return;
  }
#endif
  lookupBytesRun(in, out, n, table);
}

}  // namespace rk
