// The sweeps' kit: sample values per type, large pseudo-random operands, values put on pins and read
// back as doubles, and runs compared across the kernel paths.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <initializer_list>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/Harness.h"

namespace rktest {

// Sample values as doubles (each exact in its type): ordinary ones, extremes that leave the 32-bit
// range (or are no numbers), finite values at the 32-bit limits, none of which forces a run to be
// converted element by element on its own: a slightly looser range test would let -2147483649
// through to the hardware truncation, and values below the 32-bit range only, whose low bits are not
// 0, for a run with no operand inside it.
enum class Samples { Ordinary, Extreme, Boundary, Below, All };
inline std::vector<double> samplesOf(kxType t, Samples s) {
  const double inf = INFINITY, nan = NAN;
  std::vector<double> v;
  if (s == Samples::Ordinary || s == Samples::All) {
    if (t == 0)
      v = {0, 1, 3, 7, 16, 100, 127, 128, 200, 250, 255};
    else if (t == 2)
      v = {0, 1, -1, -3, 7, 50, 255, 256, 300, -256, 65539, 46341, 16777217, 100000007};
    else
      v = {0, -0.0, 0.5, -0.5, 0.9, 1.6, 2.6, -1.5, 2.9, 7.9, 127.5, 255.5, 256, 300.7, -300.7, double(0.7f)};
    if (t == 3)
      for (double& x : v) x = double(float(x));
  }
  if (s == Samples::Extreme || s == Samples::All) {
    if (t == 0)
      v.insert(v.end(), {255});
    else if (t == 2)
      v.insert(v.end(), {2147483647, -2147483648.0, -2147483647});
    else if (t == 3)
      v.insert(v.end(), {1e10, -3e9, 2147483520.0, 2147483648.0, -2147483648.0, FLT_MAX, double(1e-40f), 16777216, inf,
                         -inf, nan});
    else
      v.insert(v.end(), {3e9, -3e9, 2147483647.9, -2147483648.9, 2147483648.0, 4294967301.0, 1e10, 9.3e18, -9.3e18,
                         9223372036854774784.0, 1e300, inf, -inf, nan, -2147483649.0});
  }
  if (s == Samples::Boundary) {
    if (t == 3)
      v = {2147483392.0, -2147483520.0, -2147483648.0, 1.5};
    else if (t == 4)
      v = {-2147483649.0, -2147483648.9, -2147483583.5, 2147483583.5, 2147483392.0, -2147483392.5, 1.5};
    else
      v = samplesOf(t, Samples::Ordinary);
  }
  if (s == Samples::Below)
    v = t == 4   ? std::vector<double>{-2147483649.0, -2147483905.0, -10000000007.0}
        : t == 3 ? std::vector<double>{-2147483904.0, -3e9}
                 : samplesOf(t, Samples::Ordinary);
  return v;
}

// Large pseudo-random operands, the same on every run: a linear congruential sequence of states.
class Draws {
public:
  explicit Draws(uint32_t seed) : state_(seed) {}
  uint32_t next() { return state_ = state_ * 1664525u + 1013904223u; }

private:
  uint32_t state_;
};

// n floats: 3 in 16 picked from `specials`, the others odd signed 32-bit draws times `scale`.
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
inline std::vector<uint8_t> randomBytes(std::size_t n, uint32_t seed) {
  Draws draws(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& e : v) e = static_cast<uint8_t>(draws.next() >> 24);
  return v;
}

#ifndef RK_TESTS_EMULATED
#define RK_TESTS_EMULATED 0
#endif
// Whether a case with an output of `bytes` is left out: under an emulator (the 32-bit build under
// qemu) matrices of 16 MiB and more took two thirds of the run, and the 64-bit runs check the same
// baseline kernels on them.
inline bool skipLarge(std::size_t bytes) { return RK_TESTS_EMULATED && bytes >= (std::size_t(16) << 20); }

// Values given as doubles put on a pin of type `type`, and output elements read back as doubles.
inline kxhost::Matrix& addValues(kxhost::Pin& pin, kxType type, const std::vector<double>& v, int32_t x = -1,
                                 int32_t y = 1, int32_t planes = 1, const char* name = "") {
  kxhost::Matrix* m = nullptr;
  withType(type, [&]<class T>() {
    std::vector<T> t(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) t[k] = static_cast<T>(v[k]);
    m = &addMatrix<T>(pin, x < 0 ? int32_t(v.size()) : x, y, planes, t, name);
  });
  return *m;
}
inline std::vector<double> outputValues(const kxhost::Instance& inst, std::size_t matrix, std::size_t pin = 0) {
  const kxhost::Matrix& m = *inst.outputs.at(pin).stream.matrices.at(matrix);
  std::vector<double> v(m.count());
  withType(m.type(), [&]<class T>() {
    const T* p = m.as<T>();
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = double(p[k]);
  });
  return v;
}

inline ::testing::AssertionResult sameValues(const std::vector<double>& got, const std::vector<double>& want,
                                             bool anyNaN = true) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << got.size() << " elements, not " << want.size();
  for (std::size_t k = 0; k < got.size(); ++k)
    if (!sameValue(got[k], want[k], anyNaN))
      return ::testing::AssertionFailure()
             << "element " << k << " is " << got[k] << " (" << std::hex << std::bit_cast<uint64_t>(got[k])
             << "), expected " << want[k] << " (" << std::bit_cast<uint64_t>(want[k]) << ")";
  return ::testing::AssertionSuccess();
}

// Runs inst on the baseline kernels, then on the fastest ones where the build has them: both runs must end alike and
// write the same bits, NaNs included. Returns the second run. `fresh` keeps what a failed run
// leaves unwritten at zero.
inline kxhost::RunResult runBoth(kxhost::Instance& inst, bool fresh = false) {
  auto values = [&] {
    std::vector<double> v;
    for (std::size_t i = 0; i < inst.outputs[0].stream.matrices.size(); ++i) {
      std::vector<double> m = outputValues(inst, i);
      if (v.empty())
        v = std::move(m);
      else
        v.insert(v.end(), m.begin(), m.end());
    }
    return v;
  };
  const uint64_t pool = kxhost::Matrix::poolLimit();
  if (fresh) kxhost::Matrix::setPoolLimit(0);
  if (kernelPaths().size() == 1) {
    kxhost::RunResult only = runOnPath(inst, true);
    kxhost::Matrix::setPoolLimit(pool);
    return only;
  }
  const kxhost::RunResult base = runOnPath(inst, true);
  const std::vector<double> baseValues = values();
  kxhost::RunResult wide = runOnPath(inst, false);
  kxhost::Matrix::setPoolLimit(pool);
  EXPECT_EQ(base.error, wide.error);
  EXPECT_EQ(base.warnings, wide.warnings);
  EXPECT_TRUE(sameValues(values(), baseValues, false)) << "the wide kernels against the baseline ones";
  return wide;
}

// Values cycled to n elements, so that operand sets of any length fill matrices of one size.
inline std::vector<double> cycled(const std::vector<double>& v, std::size_t n) {
  std::vector<double> out(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = v[k % v.size()];
  return out;
}

// What a run left on the output pins: per matrix its size, name, user data size and bytes.
inline std::string outputsOf(const kxhost::Instance& inst) {
  std::ostringstream s;
  for (const kxhost::Pin& pin : inst.outputs) {
    s << "pin " << pin.stream.meta.Name.c_str() << (pin.stream.metaSet ? "+" : "-") << "\n";
    for (const auto& m : pin.stream.matrices) {
      const kxMInfo& i = m->info();
      s << i.X << "x" << i.Y << "x" << i.Planes << " " << i.Name.c_str() << " " << i.UserDatas.size() << ":";
      s.write(static_cast<const char*>(m->data()), std::streamsize(m->bytes()));
    }
  }
  return s.str();
}

// Runs inst on one thread, then split into 2, 3 and 7 bands: each must end as the one run did
// (return, exception, warnings, refusal) and leave the same outputs byte for byte, up to `upTo`
// bytes of them when the run fails midway (what follows the failing element is not fixed). The
// pool is off, so that what no run writes reads zero alike. Returns the one-thread result.
inline kxhost::RunResult sameInBands(kxhost::Instance& inst, std::size_t upTo = std::string::npos) {
  const unsigned threads = kxhost::threads();
  const uint64_t threshold = kxhost::bandThreshold(), pool = kxhost::Matrix::poolLimit();
  kxhost::Matrix::setPoolLimit(0);
  kxhost::setBandThreshold(0);
  kxhost::setThreads(1);
  const kxhost::RunResult one = inst.run();
  const std::string want = outputsOf(inst).substr(0, upTo);
  std::vector<int32_t> counts;
  for (const kxhost::Pin& pin : inst.outputs) counts.push_back(pin.stream.size());
  int32_t rows = 0;
  for (const auto& m : inst.inputs.at(0).stream.matrices) rows = m->info().Y;
  for (unsigned bands : {2u, 3u, 7u}) {
    kxhost::setThreads(bands);
    const kxhost::RunResult r = inst.run();
    EXPECT_EQ(r.bands, int(std::min<int32_t>(int32_t(bands), rows))) << "the run was not split";
    EXPECT_EQ(std::tuple(r.completed, r.returned, r.processorError, r.error, r.warnings, r.refused),
              std::tuple(one.completed, one.returned, one.processorError, one.error, one.warnings, one.refused))
        << bands << " bands";
    for (std::size_t pin = 0; pin < inst.outputs.size(); ++pin)
      EXPECT_EQ(inst.outputs[pin].stream.size(), counts[pin]) << bands << " bands, output pin " << pin;
    EXPECT_TRUE(outputsOf(inst).substr(0, upTo) == want) << bands << " bands wrote other outputs";
  }
  kxhost::setThreads(threads);
  kxhost::setBandThreshold(threshold);
  kxhost::Matrix::setPoolLimit(pool);
  return one;
}

}  // namespace rktest
