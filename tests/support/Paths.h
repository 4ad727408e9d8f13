// Scoped switches for tests that compare the kernel paths or read what a failed run left behind.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "frame/Paths.h"
#include "kxhost/Runtime.h"

namespace rktest {

// Forces the baseline kernels or clears the switch for its lifetime, then puts back what was
// there. The switch is the plug-in's own, in the copy of its objects this program links (where the
// plug-in has no second path, there is nothing to switch).
class BaselineForced {
public:
  explicit BaselineForced(bool on) : saved_(rk::kernelPath) {
    rk::kernelPath = on ? rk::KernelPath::Baseline : rk::KernelPath::Fastest;
  }
  ~BaselineForced() { rk::kernelPath = saved_; }
  BaselineForced(const BaselineForced&) = delete;
  BaselineForced& operator=(const BaselineForced&) = delete;

private:
  rk::KernelPath saved_;
};

// The kernel paths to compare: the baseline and the fastest where the build has both, else the
// baseline alone (a second run would only repeat the first, which under an emulator is slow).
inline std::vector<bool> kernelPaths() {
  return RK_AVX2_PATH ? std::vector<bool>{true, false} : std::vector<bool>{true};
}

// RK_FORCE_BASELINE (anything but "0") in this program's environment sets the switch before the
// first test, so that a whole run (scripts/mutants makes one) takes the baseline kernels.
inline const bool kBaselineFromEnvironment = [] {
  const char* force = std::getenv("RK_FORCE_BASELINE");
  if (force != nullptr && force[0] != '\0' && std::string(force) != "0") rk::kernelPath = rk::KernelPath::Baseline;
  return true;
}();

// One run of inst on the baseline kernels or on the fastest ones.
inline kxhost::RunResult runOnPath(kxhost::Instance& inst, bool baseline) {
  BaselineForced forced(baseline);
  return inst.run();
}

}  // namespace rktest
