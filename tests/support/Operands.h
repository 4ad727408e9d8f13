// Pseudo-random operands for the tests of large matrices, the same on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace rktest {

// A linear congruential sequence of 32-bit states.
class Draws {
public:
  explicit Draws(uint32_t seed) : state_(seed) {}
  uint32_t next() { return state_ = state_ * 1664525u + 1013904223u; }

private:
  uint32_t state_;
};

// n floats: 3 in 16 picked from `specials`, the others odd signed 32-bit draws times `scale`, so
// never zero.
inline std::vector<float> randomFloats(std::size_t n, uint32_t seed, std::initializer_list<float> specials,
                                       float scale) {
  const std::vector<float> pool(specials);
  Draws draws(seed);
  std::vector<float> v(n);
  for (float& e : v) {
    const uint32_t d = draws.next();
    e = (d >> 28) < 3 ? pool[(d >> 8) % pool.size()] : static_cast<float>(static_cast<int32_t>(d | 1u)) * scale;
  }
  return v;
}

}  // namespace rktest
