// Fuzz target: one run of a processor of the plug-in through the host's own loader, with all a host
// may hand it drawn from the input: the processor, pin types (codes without storage included),
// connections, input streams (counts, sizes, values), parameters (NaN, infinities, huge, negative,
// zero, unknown modes) and allocation limits. An exception is an expected way out; a crash, hang,
// leak or sanitizer report is a finding. The committed corpus means what it does through the order
// of these draws.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "kxhost/Plugin.h"
#include "kxhost/Runtime.h"

namespace {

const kxhost::Plugin& plugin() {
  static const kxhost::Plugin* p = [] {
    // Freed matrices go back to the allocator at once, so that a use after free shows up under
    // ASan instead of landing in a pooled buffer.
    kxhost::Matrix::setPoolLimit(0);
    kxhost::setMessageBoxHook([](const char*, unsigned, const char*) { return 1; });
    return new kxhost::Plugin(kxhost::Plugin::defaultPath(), /*allowMissing=*/true);
  }();
  return *p;
}

// Codes 0 to 4 most of the time (those with storage), any code now and then.
kxType pickType(FuzzedDataProvider& in) {
  auto byte = in.ConsumeIntegral<uint8_t>();
  return byte < 224 ? static_cast<kxType>(byte % 5) : static_cast<kxType>(byte - 219);
}

// Small sizes, zero and one included, with a few larger ones.
int32_t pickExtent(FuzzedDataProvider& in) {
  auto byte = in.ConsumeIntegral<uint8_t>();
  return byte < 240 ? byte % 9 : int32_t(byte - 240) * 4 + 9;
}

using D = std::numeric_limits<double>;
// clang-format off
const double kDoubles[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 3.0, 127.5, 255.0, 256.0, -256.0, 65535.0,
                           2147483647.0, 2147483648.0, -2147483649.0, 4294967296.0, 1e18, -1e18, 1e300, -1e300,
                           D::max(), D::lowest(), D::min(), D::denorm_min(), D::epsilon(), D::infinity(),
                           -D::infinity(), D::quiet_NaN()};
// clang-format on
const int32_t kInts[] = {0,  1,  -1, 2,   3,   4,   5,   6,   7,     8,  9,    10,      15,        16,
                         17, 31, 32, 100, 127, 128, 255, 256, 65535, -2, -100, 1 << 20, INT32_MAX, INT32_MIN};

double pickDouble(FuzzedDataProvider& in) {
  const int how = in.ConsumeIntegralInRange<int>(0, 3);
  if (how == 0) return in.PickValueInArray(kDoubles);
  if (how == 1) return in.ConsumeFloatingPoint<double>();
  if (how == 2) return static_cast<double>(in.ConsumeIntegralInRange<int32_t>(-300, 300));
  return in.ConsumeIntegralInRange<int32_t>(-1000, 1000) / 8.0;
}

int32_t pickInt(FuzzedDataProvider& in) {
  const int how = in.ConsumeIntegralInRange<int>(0, 2);
  if (how == 0) return in.PickValueInArray(kInts);
  if (how == 1) return in.ConsumeIntegral<int32_t>();
  return in.ConsumeIntegralInRange<int32_t>(-20, 300);
}

// Element values: raw bytes from the input, one special value everywhere, or a ramp.
template <class T>
void fill(void* data, std::size_t n, FuzzedDataProvider& in) {
  T* p = static_cast<T*>(data);
  const int how = in.ConsumeIntegralInRange<int>(0, 2);
  if (how == 0) {
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(n * sizeof(T));
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  } else if (how == 1) {
    // Out of range values saturate: the conversion itself must stay defined.
    const double v = pickDouble(in), lo = double(std::numeric_limits<T>::lowest());
    const double hi = double(std::numeric_limits<T>::max());
    const T value = std::is_floating_point_v<T> ? static_cast<T>(v)
                    : std::isnan(v)             ? T(0)
                    : v <= lo                   ? std::numeric_limits<T>::lowest()
                    : v >= hi                   ? std::numeric_limits<T>::max()
                                                : static_cast<T>(v);
    std::fill(p, p + n, value);
  } else {
    const int step = in.ConsumeIntegralInRange<int>(-3, 7);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<T>(static_cast<int>(i % 64) * step);
  }
}

void fillStream(kxhost::Pin& pin, FuzzedDataProvider& in, const kxMInfo& common) {
  using Fill = void (*)(void*, std::size_t, FuzzedDataProvider&);
  static const Fill fills[] = {fill<uint8_t>, fill<int16_t>, fill<int32_t>, fill<float>, fill<double>};
  // Codes without storage can stand on a pin, but no matrix of theirs can exist.
  if (kxhost::elementSize(pin.type) == 0) return;
  const int count = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < count; ++i) {
    kxMInfo info = common;
    // Mostly the size the other streams have, so that processors get past their size checks.
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      info.X = pickExtent(in);
      info.Y = pickExtent(in);
      info.Planes = in.ConsumeIntegralInRange<int32_t>(1, 4);
    }
    info.kxSetName("m%d", i);
    kxhost::Matrix& m = pin.stream.add(pin.type, info);
    if (static_cast<uint32_t>(m.type()) < 5) fills[m.type()](m.data(), m.count(), in);
  }
  if (in.ConsumeBool()) {
    pin.stream.meta = common;
    pin.stream.meta.kxSetName("meta");
    pin.stream.metaSet = true;
  }
}

}  // namespace

// The plug-in is loaded before fuzzing starts, so that libFuzzer counts its coverage from the first
// input on.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  plugin();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kxhost::Plugin& host = plugin();
  FuzzedDataProvider in(data, size);
  const auto& records = host.records();
  if (records.empty()) return 0;
  const ProcessorDescriptor* record = records[in.ConsumeIntegralInRange<std::size_t>(0, records.size() - 1)];
  if (!host.entry(record)) return 0;
  kxhost::Instance inst = host.instantiate(record);

  // Small ceilings keep every run fast and let the fuzzer reach the limit checks too.
  inst.limits.maxMatrixBytes = in.ConsumeBool() ? uint64_t(1) << 18 : in.ConsumeIntegralInRange<uint64_t>(0, 4096);
  inst.limits.maxRunBytes = in.ConsumeBool() ? uint64_t(1) << 21 : in.ConsumeIntegralInRange<uint64_t>(0, 1 << 16);

  // Each parameter keeps its catalogue default, takes a value of its kind, or (cases 3 and 4) a
  // double where an integer is expected or the other way round.
  for (tagVARIANT& v : inst.params) {
    const int how = in.ConsumeIntegralInRange<int>(0, 4);
    if (how == 0) continue;
    if (how == 4 || (how == 3) == (v.vt != VT_I4)) {
      v.vt = VT_I4;
      v.lVal = pickInt(in);
    } else {
      v.vt = VT_R8;
      v.dblVal = pickDouble(in);
    }
  }

  kxMInfo common;
  common.X = pickExtent(in);
  common.Y = pickExtent(in);
  common.Planes = in.ConsumeIntegralInRange<int32_t>(1, 4);
  for (kxhost::Pin& pin : inst.outputs) {
    if (in.ConsumeBool()) pin.type = pickType(in);
    pin.connected = in.ConsumeIntegralInRange<int>(0, 3) != 0;
  }
  for (kxhost::Pin& pin : inst.inputs) {
    if (in.ConsumeBool()) pin.type = pickType(in);
    pin.connected = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    if (pin.connected) fillStream(pin, in, common);
  }

  inst.run();
  // Read every output element, so that a matrix the host hands out short shows up under ASan.
  volatile unsigned sum = 0;
  for (const kxhost::Pin& pin : inst.outputs)
    for (const auto& m : pin.stream.matrices)
      for (std::size_t i = 0; i < m->bytes(); ++i) sum = sum + static_cast<const unsigned char*>(m->data())[i];
  return 0;
}
