// The processor frame: type dispatch over the pins and the skeletons every kernel walks.
//
// An entry lists its pins in the order they are examined and hands a generic lambda to dispatch:
//
//   RK_ENTRY(_AddImage) {
//     return rk::dispatch<rk::In<0>, rk::In<1>, rk::Out<0>>(
//         []<class A, class B, class O>() { rk::runDyadic<A, B, O>(AddKernel{}); });
//   }
//
// dispatch reads each pin's type code in turn (kxSetPin, kxGetIPinType/kxGetOPinType), throws that
// pin's message for a code the pin does not accept, and instantiates the lambda for every
// combination of accepted types, so kernels see their element types at compile time.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "frame/Messages.h"
#include "frame/Paths.h"
#include "frame/Types.h"
#include "kx/kx.h"

#define RK_ENTRY(name) KX_PLUGIN_EXPORT int name()

namespace rk {

// ---- type dispatch -----------------------------------------------------------------------------

enum class Side { In, Out };

template <Side S, int N, class Types = ImageTypes>
struct Pin {
  static constexpr Side side = S;
  static constexpr int index = N;
  using types = Types;
};
template <int N, class Types = ImageTypes>
using In = Pin<Side::In, N, Types>;
template <int N, class Types = ImageTypes>
using Out = Pin<Side::Out, N, Types>;
// The optional "Scalar" pins accept doubles only.
template <int N>
using InScalar = Pin<Side::In, N, ScalarTypes>;

[[noreturn]] inline void fail(const char* text) { throw new kxProcEx(text); }

namespace detail {

template <class P>
kxType readPinType() {
  kxInterface::kxSetPin(P::index);
  return P::side == Side::In ? kxPin::kxGetIPinType() : kxPin::kxGetOPinType();
}

template <class P>
[[noreturn]] void rejectPin() {
  fail(P::side == Side::In ? msg::kInputType[P::index] : msg::kOutputType[P::index]);
}

template <class F, class Chosen, class... Pins>
struct Dispatcher;

template <class F, class... Chosen>
struct Dispatcher<F, TypeList<Chosen...>> {
  static void run(F& f) { f.template operator()<Chosen...>(); }
};

template <class F, class... Chosen, class P, class... Rest>
struct Dispatcher<F, TypeList<Chosen...>, P, Rest...> {
  template <class... Candidates>
  static void pick(F& f, kxType code, TypeList<Candidates...>) {
    bool matched =
        ((code == typeCode<Candidates> ? (Dispatcher<F, TypeList<Chosen..., Candidates>, Rest...>::run(f), true)
                                       : false) ||
         ...);
    if (!matched) rejectPin<P>();
  }
  static void run(F& f) { pick(f, readPinType<P>(), typename P::types{}); }
};

}  // namespace detail

// Examines the pins in the order given, then runs f<T0, T1, ...>() with one type per pin; returns 1.
template <class... Pins, class F>
int dispatch(F&& f) {
  detail::Dispatcher<std::remove_reference_t<F>, TypeList<>, Pins...>::run(f);
  return 1;
}

// ---- host helpers used by the skeletons ---------------------------------------------------------

inline int32_t inputCount() {
  int32_t n = 0;
  kxInterface::kxGetMCount(&n, 1);
  return n;
}

inline int32_t vecLength() {
  int32_t n = 0;
  kxInterface::kxGetVecLength(&n, 1, 1);
  return n;
}

// Stream meta information of input pin 0 becomes that of output pin 0.
inline void copyMetaInfo(kxMInfo& info) {
  kxInterface::kxSetPin(0);
  kxInfo::kxGetMetaInfo(&info);
  kxInfo::kxSetMetaInfo(&info);
}

// ---- one input, one output, every element alike ------------------------------------------------

// The kernel of the processors that map each element of input pin 0 to the same element of output
// pin 0: fn(const I* in, O* out, int32_t length) runs once per matrix, after the output matrix is
// created and with pin 0 and the matrix current. A fn that also takes the matrix index is given it
// as a fourth argument.
template <class I, class O, class Fn>
void runMonadic(Fn&& fn) {
  kxMInfo info;
  copyMetaInfo(info);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetPin(0);
    kxInterface::kxSetMatrix(i);
    kxInfo::kxGetMInfo(&info);
    const int32_t length = vecLength();
    const I* in = static_cast<const I*>(kxInterface::kxGetIVector());
    O* out = static_cast<O*>(kxInterface::kxGetOVector(&info));
    if constexpr (std::is_invocable_v<Fn&, const I*, O*, int32_t, int32_t>)
      runKernel(fn, in, out, length, i);
    else
      runKernel(fn, in, out, length);
  }
}

// ---- two image inputs ---------------------------------------------------------------------------

// The kernel of the processors that combine input pins 0 and 1 element by element into output
// pin 0: streams compared, meta information copied, and the second operand paired with the first:
// matrix i with matrix i when the counts are equal (and not 1), else matrix 0 of pin 1 with every
// matrix of pin 0 (after the unequal-count warning unless pin 1 holds exactly one matrix).
// fn(const A* a, const B* b, O* out, int32_t length) runs once per matrix; prepare() runs once
// between the stream comparison and the meta information copy, where processors read parameters.
template <class A, class B, class O, class Prepare, class Fn>
void runDyadic(Prepare&& prepare, Fn&& fn) {
  kxMInfo info;
  kxSafety::kxCompareStreams(0, 1, -1);
  prepare();
  copyMetaInfo(info);
  kxInterface::kxSetMatrix(0);
  const int32_t count1 = inputCount();
  int32_t length = vecLength();
  kxInterface::kxSetPin(1);
  int32_t count2 = inputCount();
  const B* b = nullptr;
  if (count2 != count1 || count2 == 1) {
    if (count2 != 1) {
      kxQMessages::kxSetWarning("%s", msg::kUnequalCounts);
      count2 = 1;
    }
    // Pin 1 and matrix 0 are current; an empty stream makes the host throw here.
    b = static_cast<const B*>(kxInterface::kxGetIVector());
  }
  for (int32_t i = 0; i < count1; ++i) {
    kxInterface::kxSetPin(0);
    kxInterface::kxSetMatrix(i);
    kxInfo::kxGetMInfo(&info);
    length = vecLength();
    const A* a = static_cast<const A*>(kxInterface::kxGetIVector());
    O* out = static_cast<O*>(kxInterface::kxGetOVector(&info));
    if (count2 > 1) {
      kxInterface::kxSetPin(1);
      b = static_cast<const B*>(kxInterface::kxGetIVector());
    }
    runKernel(fn, a, b, out, length);
  }
}

template <class A, class B, class O, class Fn>
void runDyadic(Fn&& fn) {
  runDyadic<A, B, O>([] {}, fn);
}

}  // namespace rk
