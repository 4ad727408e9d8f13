// Colour: splitting three-plane images into three single-plane streams and joining three streams into one.
//
// Both processors serve 4^4 type combinations. Only the row loops are instantiated per combination;
// the host calls of a run live in one driver per processor that receives the row loop as a function
// pointer, so 256 instances cost a few hundred bytes each rather than a whole driver each.
#include <cstddef>
#include <cstdint>

#include "frame/Frame.h"

namespace rk {
namespace {

constexpr const char* kNotRgb = "Es liegen keine RGB - Bilder an (Planes = 3).";
constexpr const char* kMultiPlane =
    "Es liegen mehrbandige Daten an (Planes > 1). Nur der 1. Plane wird ber\xfc"
    "cksichtigt.";

// Element count of an x * y * planes matrix as the host stores it: formed without overflow and cut to
// 32 bits, since later matrices of a stream are not checked and may carry any size.
int32_t elementCount(int32_t x, int32_t y, uint32_t planes) {
  return low32(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x) * y) * planes));
}

// Host failures inside the matrix loop end the run quietly: what is written so far stays on the
// outputs. A host exception is a heap object that becomes ours when caught, so it is deleted here.
template <class Body>
void swallowHostFailures(Body&& body) {
  try {
    body();
  } catch (kxEx* e) {
    delete e;
  } catch (...) {
  }
}

// ---- split --------------------------------------------------------------------------------------

// One row: out[n][x] = in[3x + n] for each connected output n (null rows stand for unconnected ones).
using SplitRow = void (*)(const void* in, void* const* out, std::size_t width);

template <class I, class O>
void splitPlane(const I* __restrict in, O* __restrict out, std::size_t width, std::size_t plane) {
  for (std::size_t x = 0; x < width; ++x) out[x] = convert<O>(in[3 * x + plane]);
}

template <class I, class R, class G, class B>
void splitRow(const void* inRow, void* const* outRows, std::size_t width) {
  const I* __restrict in = static_cast<const I*>(inRow);
  R* __restrict r = static_cast<R*>(outRows[0]);
  G* __restrict g = static_cast<G*>(outRows[1]);
  B* __restrict b = static_cast<B*>(outRows[2]);
  if (r && g && b) {
    // The usual case: one pass over the input row.
    for (std::size_t x = 0; x < width; ++x) {
      r[x] = convert<R>(in[3 * x]);
      g[x] = convert<G>(in[3 * x + 1]);
      b[x] = convert<B>(in[3 * x + 2]);
    }
    return;
  }
  if (r) splitPlane(in, r, width, 0);
  if (g) splitPlane(in, g, width, 1);
  if (b) splitPlane(in, b, width, 2);
}

void runSplit(SplitRow row) {
  bool connected[3];
  bool any = false;
  for (int32_t n = 0; n < 3; ++n) {
    kxInterface::kxSetPin(n);
    connected[n] = kxPin::kxGetOPinOccupied() != 0;
    any = any || connected[n];
  }
  if (!any) return;

  kxMInfo in;
  kxMInfo out;
  kxInterface::kxSetPin(0);
  kxInfo::kxGetMetaInfo(&in);
  for (int32_t n = 0; n < 3; ++n) {
    if (!connected[n]) continue;
    kxInterface::kxSetPin(n);
    kxInfo::kxSetMetaInfo(&in);
  }
  kxInterface::kxSetPin(0);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  vecLength();

  // The checks are the processor's own and must reach the host, so they leave the guarded loop as a
  // message and are thrown after it.
  const char* failure = nullptr;
  swallowHostFailures([&] {
    for (int32_t i = 0; i < count; ++i) {
      kxInterface::kxSetPin(0);
      kxInterface::kxSetMatrix(i);
      kxInfo::kxGetMInfo(&in);
      if (in.Y < 1 || in.X < 1 || in.Planes < 1) {
        failure = msg::kMatricesExpected;
        return;
      }
      if (in.Planes != 3) {
        failure = kNotRgb;
        return;
      }
      out.Name = in.Name;
      out.UserDatas = in.UserDatas;
      out.X = in.X;
      out.Y = in.Y;
      out.Planes = 1;
      out.Count = elementCount(in.X, in.Y, 1);
      void* const* inRows = kxInterface::kxGetIMatrix();
      void* const* outRows[3] = {nullptr, nullptr, nullptr};
      for (int32_t n = 0; n < 3; ++n) {
        if (!connected[n]) continue;
        kxInterface::kxSetPin(n);
        outRows[n] = kxInterface::kxGetOMatrix(&out);
      }
      const auto width = static_cast<std::size_t>(in.X);
      for (int32_t y = 0; y < in.Y; ++y) {
        void* rows[3];
        for (int n = 0; n < 3; ++n) rows[n] = outRows[n] ? outRows[n][y] : nullptr;
        row(inRows[y], rows, width);
      }
    }
  });
  if (failure) fail(failure);
}

// ---- join ---------------------------------------------------------------------------------------

// One row: out[3x + n] = plane 0 of input n at pixel x, the inputs' pixels `stride` elements apart.
using JoinRow = void (*)(const void* r, const void* g, const void* b, void* out, std::size_t width, std::size_t stride);

template <class R, class G, class B, class O>
void joinRow(const void* rRow, const void* gRow, const void* bRow, void* outRow, std::size_t width,
             std::size_t stride) {
  const R* __restrict r = static_cast<const R*>(rRow);
  const G* __restrict g = static_cast<const G*>(gRow);
  const B* __restrict b = static_cast<const B*>(bRow);
  O* __restrict out = static_cast<O*>(outRow);
  if (stride == 1) {
    // Single-plane inputs, the usual case: a constant stride lets the loop vectorise.
    for (std::size_t x = 0; x < width; ++x) {
      out[3 * x] = convert<O>(r[x]);
      out[3 * x + 1] = convert<O>(g[x]);
      out[3 * x + 2] = convert<O>(b[x]);
    }
    return;
  }
  for (std::size_t x = 0; x < width; ++x) {
    out[3 * x] = convert<O>(r[x * stride]);
    out[3 * x + 1] = convert<O>(g[x * stride]);
    out[3 * x + 2] = convert<O>(b[x * stride]);
  }
}

void runJoin(JoinRow row) {
  kxMInfo in;
  kxMInfo out;
  kxSafety::kxCompareMCount(0, 1, 2, -1);
  kxSafety::kxCompareStreams(0, 1, 2, -1);
  copyMetaInfo(in);
  kxInterface::kxSetMatrix(0);
  const int32_t count = inputCount();
  vecLength();
  // An empty stream reads as a matrix 0 of size 0 and so fails here too.
  kxInfo::kxGetMInfo(&in);
  if (in.Y < 1 || in.X < 1 || in.Planes < 1) fail(msg::kMatricesExpected);
  if (in.Planes > 1) kxQMessages::kxSetWarning("%s", kMultiPlane);

  swallowHostFailures([&] {
    for (int32_t i = 0; i < count; ++i) {
      kxInterface::kxSetPin(0);
      kxInterface::kxSetMatrix(i);
      kxInfo::kxGetMInfo(&in);
      out.Name = in.Name;
      out.UserDatas = in.UserDatas;
      out.X = in.X;
      out.Y = in.Y;
      out.Planes = 3;
      out.Count = elementCount(in.X, in.Y, 3);
      void* const* r = kxInterface::kxGetIMatrix();
      void* const* o = kxInterface::kxGetOMatrix(&out);
      kxInterface::kxSetPin(1);
      void* const* g = kxInterface::kxGetIMatrix();
      kxInterface::kxSetPin(2);
      void* const* b = kxInterface::kxGetIMatrix();
      // Only matrix 0 is checked. A later matrix without planes has no elements to read, so its
      // output keeps the zeros the host filled it with.
      if (in.X < 1 || in.Planes < 1) continue;
      const auto width = static_cast<std::size_t>(in.X);
      const auto stride = static_cast<std::size_t>(in.Planes);
      for (int32_t y = 0; y < in.Y; ++y) row(r[y], g[y], b[y], o[y], width, stride);
    }
  });
}

}  // namespace
}  // namespace rk

RK_ENTRY(_RGBSplitt) {
  return rk::dispatch<rk::In<0>, rk::Out<0>, rk::Out<1>, rk::Out<2>>(
      []<class I, class R, class G, class B>() { rk::runSplit(&rk::splitRow<I, R, G, B>); });
}

RK_ENTRY(_RGBJoin) {
  return rk::dispatch<rk::In<0>, rk::In<1>, rk::In<2>, rk::Out<0>>(
      []<class R, class G, class B, class O>() { rk::runJoin(&rk::joinRow<R, G, B, O>); });
}
