// Image generators: streams of constant images and of linear ramps over max(row, column).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "frame/Frame.h"
#include "frame/Streaming.h"

namespace rk {
namespace {

// Parameters come from the VARIANT member of their catalogue type, whatever its variant type says.
double doubleParameter(int32_t n) { return Parameter::kxGetParameter(n).dblVal; }
int32_t intParameter(int32_t n) { return Parameter::kxGetParameter(n).lVal; }

// The size members as given, unchecked: the host decides which sizes it can create and throws for
// the others (a 32-bit element count that overflows, or more bytes than it allows).
kxMInfo describe(int32_t x, int32_t y, int32_t planes) {
  kxMInfo info;
  info.Count = low32(uint32_t(x) * uint32_t(y) * uint32_t(planes));
  info.X = x;
  info.Y = y;
  info.Planes = planes;
  return info;
}

// Elements of a matrix the host has created from info: none when a size member is zero or below
// (the wrapped Count may still be positive then, so it is not used).
std::size_t createdElements(const kxMInfo& info) {
  if (info.X <= 0 || info.Y <= 0 || info.Planes <= 0) return 0;
  return std::size_t(uint64_t(info.X) * uint64_t(info.Y) * uint64_t(info.Planes));
}

// Generators write their output alone, with nothing read beside it: a last-level cache keeps one
// of twice the size of other outputs between runs, and ordinary stores into it win until then.
constexpr std::size_t kGeneratedStreamBytes = 2 * kStreamBytes;

// ---- constant ----------------------------------------------------------------------------------

template <class O>
void constImage() {
  const double scalar = doubleParameter(0);
  const int32_t count = intParameter(1);
  const int32_t x = intParameter(2), y = intParameter(3), planes = intParameter(4);
  const O value = convert<O>(scalar);
  kxMInfo info = describe(x, y, planes);
  kxInterface::kxSetPin(0);
  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetMatrix(i);
    info.kxSetName("ConstImage %d", i);
    O* out = static_cast<O*>(kxInterface::kxGetOVector(&info));
    const std::size_t n = createdElements(info);
    if (n * sizeof(O) >= kGeneratedStreamBytes) {
      streamFill(out, n, value);
      streamFence();
    } else {
      std::fill_n(out, n, value);
    }
  }
}

// ---- ramp --------------------------------------------------------------------------------------

// Element (r, c) holds level(max(r, c)). Row 0 holds level(c) in every column; row r repeats
// level(r) up to column r and continues as row 0 from there, so each row after the first is a fill
// and a copy, both streamed when the matrix is too large for the cache.
template <class O>
void fillRamp(void** rows, int32_t x, int32_t y, int32_t planes, double slope, double offset) {
  // The ramp value, truncated and cut to 8 bits on every output type.
  auto level = [&](int32_t m) { return convert<O>(convert<uint8_t>(double(m) * slope + offset)); };
  const std::size_t p = std::size_t(planes);
  const std::size_t rowLength = std::size_t(x) * p;
  O* first = static_cast<O*>(rows[0]);
  for (int32_t c = 0; c < x; ++c) std::fill_n(first + std::size_t(c) * p, p, level(c));
  const bool stream = rowLength * std::size_t(y) * sizeof(O) >= kGeneratedStreamBytes;
  for (int32_t r = 1; r < y; ++r) {
    O* row = static_cast<O*>(rows[r]);
    const std::size_t head = std::size_t(std::min(r, x)) * p;
    const std::size_t tailBytes = (rowLength - head) * sizeof(O);
    if (stream) {
      streamFill(row, head, level(r));
      streamCopy(row + head, first + head, tailBytes);
    } else {
      std::fill_n(row, head, level(r));
      if (tailBytes > 0) std::memcpy(row + head, first + head, tailBytes);
    }
  }
  if (stream) streamFence();
}

template <class O>
void imagePlane() {
  const double slope = doubleParameter(0), offset = doubleParameter(1);
  const int32_t count = intParameter(2);
  const int32_t x = intParameter(3), y = intParameter(4), planes = intParameter(5);
  kxMInfo info = describe(x, y, planes);
  kxInterface::kxSetPin(0);
  for (int32_t i = 0; i < count; ++i) {
    kxInterface::kxSetMatrix(i);
    info.kxSetName("Picture %d", i);
    void** rows = kxInterface::kxGetOMatrix(&info);
    if (createdElements(info) > 0) fillRamp<O>(rows, x, y, planes, slope, offset);
  }
}

}  // namespace
}  // namespace rk

RK_ENTRY(_ConstImage) {
  return rk::dispatch<rk::Out<0>>([]<class O>() { rk::constImage<O>(); });
}

RK_ENTRY(_ImagePlane) {
  return rk::dispatch<rk::Out<0>>([]<class O>() { rk::imagePlane<O>(); });
}
