// Pseudo-random operands for the tests of large matrices, the same on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "support/Harness.h"

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

// n bytes, the high bits of the draws.
inline std::vector<uint8_t> randomBytes(std::size_t n, uint32_t seed) {
  Draws draws(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& e : v) e = static_cast<uint8_t>(draws.next() >> 24);
  return v;
}

// The output row of one run of inst on the rows a and b with an output of type O; empty, with the
// failure reported, when the run does not complete.
template <class O, class A, class B>
std::vector<O> runOnRows(kxhost::Instance& inst, const std::vector<A>& a, const std::vector<B>& b) {
  addRow<A>(inst.inputs[0], a);
  addRow<B>(inst.inputs[1], b);
  inst.outputs[0].type = code<O>();
  const kxhost::RunResult r = inst.run();
  EXPECT_TRUE(r.completed) << r.error;
  return r.completed ? output<O>(inst, 0, 0) : std::vector<O>{};
}

}  // namespace rktest
