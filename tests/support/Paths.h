// Scoped switches for tests that compare the kernel paths or read what a failed run left behind.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "frame/Paths.h"
#include "kxhost/Runtime.h"

namespace rktest {

// Forces the baseline kernels (RK_FORCE_BASELINE) or clears the switch for its lifetime, then puts
// back what was there: the whole suite also runs once with the switch set from outside.
class BaselineForced {
public:
  explicit BaselineForced(bool on) {
    const char* was = std::getenv("RK_FORCE_BASELINE");
    had_ = was != nullptr;
    if (had_) saved_ = was;
    set(on ? "1" : nullptr);
  }
  ~BaselineForced() { set(had_ ? saved_.c_str() : nullptr); }
  BaselineForced(const BaselineForced&) = delete;
  BaselineForced& operator=(const BaselineForced&) = delete;

private:
  static void set(const char* value) {
#ifdef _WIN32
    _putenv_s("RK_FORCE_BASELINE", value ? value : "");
#else
    if (value)
      setenv("RK_FORCE_BASELINE", value, 1);
    else
      unsetenv("RK_FORCE_BASELINE");
#endif
  }
  bool had_ = false;
  std::string saved_;
};

// The kernel paths to compare: the baseline and the fastest where the build has both, else the
// baseline alone (a second run would only repeat the first, which under an emulator is slow).
inline std::vector<bool> kernelPaths() {
  return RK_AVX2_PATH ? std::vector<bool>{true, false} : std::vector<bool>{true};
}

// One run of inst on the baseline kernels or on the fastest ones.
inline kxhost::RunResult runOnPath(kxhost::Instance& inst, bool baseline) {
  BaselineForced forced(baseline);
  return inst.run();
}

}  // namespace rktest
