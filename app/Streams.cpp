// Stream copies and element type conversion, with the conversion rules of the plug-in's frame.
#include "Streams.h"

#include <cstring>
#include <memory>
#include <string>

#include "Text.h"
#include "frame/Types.h"

namespace kxrun {
namespace {

std::unique_ptr<kxhost::Matrix> copyMatrix(const kxhost::Matrix& m, kxType type) {
  try {
    return std::make_unique<kxhost::Matrix>(type, m.info());
  } catch (kxEx* e) {
    std::string text = e->kxGetText();
    delete e;
    throw UsageError(text);
  }
}

// Code 1 is kept as a 16-bit integer; it converts like the 32-bit integer, to its low 16 bits.
template <class To, class From>
To convertAny(From v) {
  if constexpr (std::is_same_v<To, int16_t>) {
    if constexpr (std::is_floating_point_v<From>)
      return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(rk::truncToInt64(v))));
    else
      return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v)));
  } else if constexpr (std::is_same_v<From, int16_t>) {
    return rk::convert<To>(static_cast<int32_t>(v));
  } else {
    return rk::convert<To>(v);
  }
}

template <class To, class From>
void convertElements(const kxhost::Matrix& src, kxhost::Matrix& dst) {
  const From* s = src.as<From>();
  To* d = dst.as<To>();
  for (std::size_t k = 0; k < src.count(); ++k) d[k] = convertAny<To>(s[k]);
}

template <class F>
void withType(kxType code, F&& f) {
  switch (code) {
    case 0:
      return f(uint8_t{});
    case 1:
      return f(int16_t{});
    case 2:
      return f(int32_t{});
    case 3:
      return f(float{});
    default:
      return f(double{});
  }
}

}  // namespace

kxhost::Stream copyStream(const kxhost::Stream& stream) {
  kxhost::Stream out;
  out.meta = stream.meta;
  out.metaSet = stream.metaSet;
  for (const auto& m : stream.matrices) {
    auto copy = copyMatrix(*m, m->type());
    std::memcpy(copy->data(), m->data(), m->bytes());
    out.matrices.push_back(std::move(copy));
  }
  return out;
}

kxhost::Stream convertStream(kxhost::Stream stream, kxType from, kxType to) {
  if (from == to || kxhost::elementSize(to) == 0 || kxhost::elementSize(from) == 0) return stream;
  for (auto& m : stream.matrices) {
    auto converted = copyMatrix(*m, to);
    withType(from,
             [&](auto f) { withType(to, [&](auto t) { convertElements<decltype(t), decltype(f)>(*m, *converted); }); });
    m = std::move(converted);
  }
  return stream;
}

}  // namespace kxrun
