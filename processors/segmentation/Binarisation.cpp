// Binarisation against one fixed threshold: every element becomes the upper or the lower value.
#include <cstdint>

#include "frame/Frame.h"

namespace rk {
namespace {

// The threshold an element of type I is compared with. It is first brought into the input type
// (an 8-bit input sees the truncated value modulo 256, a 32-bit input the truncated value), so for
// integer inputs comparing in I is exactly the comparison of the widened element with the widened
// threshold, and it keeps the loop in narrow lanes. Floating inputs compare in double against the
// unrounded parameter value.
template <class I>
using Compare = std::conditional_t<isInteger<I>, I, double>;

template <class I>
Compare<I> effectiveThreshold(double threshold) {
  if constexpr (isInteger<I>)
    return convert<I>(threshold);
  else
    return threshold;
}

// Strict test: an element equal to the threshold is "not below" it; a NaN element compares false
// and so takes the lower value.
template <class I, class O>
void binarise(const I* __restrict in, O* __restrict out, int32_t n, Compare<I> threshold, O above, O below) {
  for (int32_t k = 0; k < n; ++k) out[k] = static_cast<Compare<I>>(in[k]) >= threshold ? above : below;
}

}  // namespace
}  // namespace rk

RK_ENTRY(_BinImage) {
  return rk::dispatch<rk::In<0>, rk::Out<0>>([]<class I, class O>() {
    // The kernel takes the double member whatever variant type the host stored.
    const O above = rk::convert<O>(Parameter::kxGetParameter(0).dblVal);
    const O below = rk::convert<O>(Parameter::kxGetParameter(1).dblVal);
    const auto threshold = rk::effectiveThreshold<I>(Parameter::kxGetParameter(2).dblVal);
    rk::runMonadic<I, O>([&](const I* in, O* out, int32_t n) { rk::binarise(in, out, n, threshold, above, below); });
  });
}
