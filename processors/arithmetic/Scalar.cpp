// Arithmetic of every element of a stream with one scalar: add, subtract, multiply, divide.
//
// Only the result is converted to the output type; the operands are never reduced to it first.
// Add and subtract hold the scalar in the input type and compute there (8-bit promoted to 32-bit,
// 32-bit wrapping, float in double); multiply and divide hold it as a double and compute in double.
#include <cstdint>

#include "frame/ByteTable.h"
#include "frame/Frame.h"

namespace rk {
namespace {

constexpr const char* kChooseNonZero =
    "Division durch 0; W\xe4hlen Sie bitte im Konfigurationsmen\xfc ein scalar ungleich 0 aus!";
constexpr const char* kMatrixScalarZero = "Division durch 0;";

// Add and subtract: the scalar is held in the input type whatever its source, so 300 adds 44 to an
// 8-bit input and 2.9 adds 2 to a 32-bit one.
template <class I>
struct InInputType {
  using type = Widened<I>;
  static type fromParameter(double v) { return widen(convert<I>(v)); }
  static type fromPin(double v) { return widen(convert<I>(v)); }
};

// Multiply and divide: the scalar is held as a double. The configured parameter is first cut to an
// integer input's type (2.5 multiplies an 8-bit input by 2), a value from the pin is taken as it is.
template <class I>
struct AsDouble {
  using type = double;
  static double fromParameter(double v) {
    if constexpr (isInteger<I>)
      return double(convert<I>(v));
    else
      return v;
  }
  static double fromPin(double v) { return v; }
};

struct Add {
  template <class I>
  using Hold = InInputType<I>;
  static constexpr int neutral = 0;
  static constexpr bool divides = false;
  template <class I, class S>
  static S apply(I x, S s) {
    return wideAdd(widen(x), s);
  }
  static float inFloat(float x, float s) { return addFirstNaN(x, s); }
};

struct Sub {
  template <class I>
  using Hold = InInputType<I>;
  static constexpr int neutral = 0;
  static constexpr bool divides = false;
  template <class I, class S>
  static S apply(I x, S s) {
    return wideSub(widen(x), s);
  }
  static float inFloat(float x, float s) { return x - s; }
};

struct Mult {
  template <class I>
  using Hold = AsDouble<I>;
  static constexpr int neutral = 1;
  static constexpr bool divides = false;
  template <class I>
  static double apply(I x, double s) {
    return mulFirstNaN(double(x), s);
  }
  static float inFloat(float x, float s) { return mulFirstNaN(x, s); }
};

struct Div {
  template <class I>
  using Hold = AsDouble<I>;
  static constexpr int neutral = 1;
  static constexpr bool divides = true;
  template <class I>
  static double apply(I x, double s) {
    return double(x) / s;
  }
  static float inFloat(float x, float s) { return x / s; }
};

// A NaN divisor is refused like 0.0.
inline bool zeroOrNaN(double s) { return !(s < 0.0 || s > 0.0); }

template <class Op, class I, class O, class S>
void scalarLoop(const I* __restrict in, O* __restrict out, int32_t n, S s) {
  mapConverted(out, n, [=](int32_t k) { return Op::apply(in[k], s); });
}

// A float input and a float output with a scalar that is a float: the double result rounded to
// float equals the float operation's, since double's 53 bits are at least twice float's 24 plus
// two. Add and subtract always hold such a scalar; multiply and divide when it converts exactly.
template <class Op, class I, class O, class S>
bool floatLoop(const I* __restrict in, O* __restrict out, int32_t n, S s) {
  if constexpr (std::is_same_v<I, float> && std::is_same_v<O, float>) {
    const float f = static_cast<float>(s);
    if (!(double(f) == s)) return false;
    for (int32_t k = 0; k < n; ++k) out[k] = Op::inFloat(in[k], f);
    return true;
  } else {
    return false;
  }
}

// An 8-bit input has 256 values: with the scalar in double, their results are taken once per
// matrix, by the same loop, and then looked up. (Add and subtract stay in vectorised integers.)
constexpr int32_t kTableFrom = 4096;

template <class Op, class I, class O, class S>
bool tableLoop(const I* __restrict in, O* __restrict out, int32_t n, S s) {
  if constexpr (std::is_same_v<I, uint8_t> && std::is_same_v<S, double>) {
    if (n < kTableFrom) return false;
    uint8_t values[256];
    O table[256];
    for (int32_t v = 0; v < 256; ++v) values[v] = uint8_t(v);
    scalarLoop<Op>(values, table, 256, s);
    if constexpr (std::is_same_v<O, uint8_t>)
      lookupBytes(in, out, n, table);
    else
      for (int32_t k = 0; k < n; ++k) out[k] = table[in[k]];
    return true;
  } else {
    return false;
  }
}

// The scalar of the current matrix of pin 1: its element 0. A stream without matrices, or a matrix
// without elements, has none; the warning says so and the neutral scalar makes every output a
// converted copy of its input.
template <class Op, class I>
typename Op::template Hold<I>::type pinScalar() {
  using Hold = typename Op::template Hold<I>;
  kxInterface::kxSetPin(1);
  if (vecLength() > 0) return Hold::fromPin(*static_cast<const double*>(kxInterface::kxGetIVector()));
  kxQMessages::kxSetWarning("%s", msg::kNoData);
  return typename Hold::type(Op::neutral);
}

template <class Op, class I, class O>
void runScalar() {
  using Hold = typename Op::template Hold<I>;
  typename Hold::type s{};
  bool perMatrix = false;
  kxInterface::kxSetPin(1);
  kxInterface::kxSetMatrix(0);
  if (kxPin::kxGetIPinOccupied()) {
    if (inputCount() > 1) {
      // One scalar per image: the streams must pair up, and nothing is written if they do not.
      kxSafety::kxCompareMCount(0, 1, -1);
      perMatrix = true;
    } else {
      s = pinScalar<Op, I>();
    }
  } else {
    s = Hold::fromParameter(Parameter::kxGetParameter(0).dblVal);
  }
  if constexpr (Op::divides) {
    if (!perMatrix && zeroOrNaN(s)) fail(kChooseNonZero);
  }
  runMonadic<I, O>([&](const I* in, O* out, int32_t n) {
    if (perMatrix) {
      s = pinScalar<Op, I>();
      // The output matrix already exists and stays as created.
      if constexpr (Op::divides) {
        if (zeroOrNaN(s)) fail(kMatrixScalarZero);
      }
    }
    if (!tableLoop<Op>(in, out, n, s) && !floatLoop<Op>(in, out, n, s)) scalarLoop<Op>(in, out, n, s);
  });
}

template <class Op>
int scalarEntry() {
  return dispatch<In<0>, InScalar<1>, Out<0>>([]<class I, class S, class O>() { runScalar<Op, I, O>(); });
}

}  // namespace
}  // namespace rk

RK_ENTRY(_ScalarAddImage) { return rk::scalarEntry<rk::Add>(); }
RK_ENTRY(_ScalarSubImage) { return rk::scalarEntry<rk::Sub>(); }
RK_ENTRY(_ScalarMultImage) { return rk::scalarEntry<rk::Mult>(); }
RK_ENTRY(_ScalarDivImage) { return rk::scalarEntry<rk::Div>(); }
