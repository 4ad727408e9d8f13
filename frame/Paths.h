// Kernel paths: every kernel run through the skeletons is compiled twice, for the x86-64 baseline
// and for AVX2, and the processor picks the AVX2 one at run time where the processor has it.
//
// Both paths compute bit-identical results: the same IEEE operations in wider registers, with no
// fused multiply-add (AVX2 does not imply FMA, and contraction is off), and no reassociation.
//
// Only x86-64 ELF builds have the second path: Windows builds keep the baseline alone (their stack is
// not kept aligned for spilled 32-byte registers), as do other processors and 32-bit builds.
#pragma once

#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define RK_AVX2_PATH 1
#else
#define RK_AVX2_PATH 0
#endif

namespace rk {

// The path kernels may take. The library itself never changes it, as it reads no configuration: the
// test program, which links the plug-in's objects, sets Baseline to run every kernel both ways. It
// is read once per matrix and set only while no run is in progress.
enum class KernelPath { Fastest, Baseline };
inline KernelPath kernelPath = KernelPath::Fastest;

// Whether kernels take the AVX2 path now.
inline bool avx2Path() {
#if RK_AVX2_PATH
  return kernelPath == KernelPath::Fastest && __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

namespace detail {

#if RK_AVX2_PATH
// The kernel and everything it calls inline, compiled for AVX2.
template <class F, class... Args>
[[gnu::target("avx2"), gnu::flatten]] void runAvx2(F& f, Args... args) {
  f(args...);
}
#endif

}  // namespace detail

// f(args...) on the AVX2 path when `wide` (what avx2Path() gave) and the build has one, else on the
// baseline: for work made of many small calls that share one decision. f is a lambda or other
// function object: a function passed by address would be called through the pointer and not
// compiled again.
template <class F, class... Args>
void runKernelOn(bool wide, F& f, Args... args) {
  static_assert(std::is_class_v<F>, "kernels are passed as lambdas");
#if RK_AVX2_PATH
  if (wide) {
    detail::runAvx2(f, args...);
    return;
  }
#else
  (void)wide;
#endif
  f(args...);
}

// f(args...) on the fastest path the processor has.
template <class F, class... Args>
void runKernel(F& f, Args... args) {
  runKernelOn(avx2Path(), f, args...);
}

}  // namespace rk
