// The kx interface: value classes, exceptions and the static operations on the current instance.
#include "kx/kx.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Current.h"

using kxhost::Current;
using kxhost::hostError;

namespace {

char* copyText(const char* text) {
  if (!text) return nullptr;
  std::size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, text, n);
  return copy;
}

}  // namespace

// ---- kxString ----------------------------------------------------------------------------------

kxString::kxString() : text_(nullptr) {}
kxString::kxString(const char* text) : text_(copyText(text)) {}
kxString::kxString(const kxString& other) : text_(copyText(other.text_)) {}
kxString& kxString::operator=(const kxString& other) { return *this = other.text_; }
kxString& kxString::operator=(const char* text) {
  if (text != text_) {
    char* copy = copyText(text);
    std::free(text_);
    text_ = copy;
  }
  return *this;
}
kxString::~kxString() { std::free(text_); }
int32_t kxString::length() const { return text_ ? static_cast<int32_t>(std::strlen(text_)) : 0; }

// ---- kxUserDatas -------------------------------------------------------------------------------

kxUserDatas::kxUserDatas() : bytes_(nullptr), size_(0) {}
kxUserDatas::kxUserDatas(const kxUserDatas& other) : bytes_(nullptr), size_(0) { assign(other.bytes_, other.size_); }
kxUserDatas& kxUserDatas::operator=(const kxUserDatas& other) {
  if (this != &other) assign(other.bytes_, other.size_);
  return *this;
}
kxUserDatas::~kxUserDatas() { std::free(bytes_); }
void kxUserDatas::assign(const void* bytes, int32_t size) {
  unsigned char* copy = nullptr;
  if (size > 0) {
    copy = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(size)));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, bytes, static_cast<std::size_t>(size));
  }
  std::free(bytes_);
  bytes_ = copy;
  size_ = size > 0 ? size : 0;
}

// ---- kxMInfo -----------------------------------------------------------------------------------

kxMInfo::kxMInfo() : Count(0), X(0), Y(0), Planes(0) {}
kxMInfo::kxMInfo(const kxMInfo& other) = default;
kxMInfo& kxMInfo::operator=(const kxMInfo& other) = default;
kxMInfo::~kxMInfo() = default;

void kxMInfo::kxSetName(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = kxhost::vformat(format, args);
  va_end(args);
  Name = text.c_str();
}

// ---- exceptions --------------------------------------------------------------------------------

kxEx::kxEx(const char* text) : text_(text) {}
kxEx::~kxEx() = default;
void* kxEx::operator new(std::size_t size) { return ::operator new(size); }
void kxEx::operator delete(void* p) { ::operator delete(p); }

kxProcEx::kxProcEx(const char* text) : kxEx(text) {}
kxProcEx::~kxProcEx() = default;

// ---- the current pin and matrix ----------------------------------------------------------------

namespace {

kxhost::Pin* inputPin(Current& c) {
  auto& pins = c.inputs();
  return c.pin >= 0 && c.pin < static_cast<int32_t>(pins.size()) ? &pins[static_cast<std::size_t>(c.pin)] : nullptr;
}
kxhost::Pin* outputPin(Current& c) {
  auto& pins = c.outputs();
  return c.pin >= 0 && c.pin < static_cast<int32_t>(pins.size()) ? &pins[static_cast<std::size_t>(c.pin)] : nullptr;
}
kxhost::Pin& requireInput(Current& c, const char* operation) {
  kxhost::Pin* pin = inputPin(c);
  if (!pin) hostError("%s: the processor has no input pin %d", operation, c.pin);
  return *pin;
}
kxhost::Pin& requireOutput(Current& c, const char* operation) {
  kxhost::Pin* pin = outputPin(c);
  if (!pin) hostError("%s: the processor has no output pin %d", operation, c.pin);
  return *pin;
}
// The current input matrix, or null when the stream has no matrix of that index.
kxhost::Matrix* inputMatrix(Current& c) {
  kxhost::Pin* pin = inputPin(c);
  if (!pin || c.matrix < 0 || c.matrix >= pin->stream.size()) return nullptr;
  return pin->stream.matrices[static_cast<std::size_t>(c.matrix)].get();
}
kxhost::Matrix& requireInputMatrix(Current& c, const char* operation) {
  requireInput(c, operation);
  kxhost::Matrix* m = inputMatrix(c);
  if (!m) {
    hostError("%s: input pin %d has no matrix %d (the stream holds %d)", operation, c.pin + 1, c.matrix,
              c.inputs()[static_cast<std::size_t>(c.pin)].stream.size());
  }
  return *m;
}

// Remembers the first refusal for size in the run's result, whatever the processor does with the
// exception, so that the host program knows the outputs are incomplete.
void noteRefusal(Current& c, const char* text) {
  if (c.result && c.result->refused.empty()) c.result->refused = text;
}

[[noreturn]] void refuse(Current& c, const char* format, ...) KX_FORMAT(2, 3);
void refuse(Current& c, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = kxhost::vformat(format, args);
  va_end(args);
  noteRefusal(c, text.c_str());
  throw new kxEx(text.c_str());
}

kxhost::Matrix& createOutput(const kxMInfo* info, const char* operation) {
  Current& c = Current::require(operation);
  kxhost::Pin& pin = requireOutput(c, operation);
  if (!info) hostError("%s: no matrix information given", operation);
  auto& list = pin.stream.matrices;
  if (c.matrix < 0 || c.matrix > static_cast<int32_t>(list.size())) {
    hostError("%s: output matrix %d cannot be created on output pin %d, which holds %d matrices", operation, c.matrix,
              c.pin + 1, static_cast<int>(list.size()));
  }
  // A band asks for its rows of the output matrix; the host creates the whole one.
  kxMInfo whole = *info;
  kxhost::Band* band = c.band;
  if (band) {
    if (info->Y != band->rows) {
      hostError("%s: a band of %d rows asked for an output matrix of %d rows", operation, band->rows, info->Y);
    }
    whole.Y = band->shared->rows;
  }
  const kxhost::Limits& limits = c.instance->limits;
  uint64_t bytes = 0;
  try {
    bytes = kxhost::Matrix::requiredBytes(pin.type, whole, limits.maxMatrixBytes);
  } catch (kxEx* e) {
    // A type without storage is no question of size.
    if (kxhost::elementSize(pin.type) != 0) noteRefusal(c, e->kxGetText());
    throw;
  }
  std::unique_lock<std::mutex> lock;
  uint64_t* allocated = &c.allocated;
  kxhost::Matrix* made = nullptr;
  std::vector<std::unique_ptr<kxhost::Matrix>>* slots = nullptr;
  auto index = static_cast<std::size_t>(c.matrix);
  if (band) {
    lock = std::unique_lock<std::mutex>(band->shared->mutex);
    allocated = &band->shared->allocated;
    slots = &band->shared->outputs[static_cast<std::size_t>(c.pin)];
    if (index < slots->size()) made = (*slots)[index].get();
  }
  if (!made) {
    // Checked before allocating, with what the matrix really takes: matrices without elements still
    // cost a buffer and row pointers, and a processor may ask for any number of them.
    const uint64_t footprint = kxhost::Matrix::footprint(bytes, whole.Y);
    if (footprint > limits.maxRunBytes || *allocated > limits.maxRunBytes - footprint) {
      refuse(c,
             "%s: output matrix %d of %d x %d x %d elements (%llu bytes) would bring this run's allocations to "
             "%llu bytes, beyond the host's allocation limit of %llu bytes per run",
             operation, c.matrix, whole.X, whole.Y, whole.Planes, static_cast<unsigned long long>(footprint),
             static_cast<unsigned long long>(*allocated + footprint),
             static_cast<unsigned long long>(limits.maxRunBytes));
    }
    auto matrix = std::make_unique<kxhost::Matrix>(pin.type, whole, limits.maxMatrixBytes);
    *allocated += footprint;
    if (!band) {
      if (index == list.size())
        list.push_back(std::move(matrix));
      else
        list[index] = std::move(matrix);
      return *list[index];
    }
    if (slots->size() <= index) slots->resize(index + 1);
    made = ((*slots)[index] = std::move(matrix)).get();
  }
  // The band's view: its rows of the whole matrix, which the band runs fill side by side.
  const std::size_t rowBytes = whole.Y > 0 ? made->bytes() / static_cast<std::size_t>(whole.Y) : 0;
  auto view = std::make_unique<kxhost::Matrix>(
      pin.type, *info, static_cast<unsigned char*>(made->data()) + static_cast<std::size_t>(band->first) * rowBytes);
  if (index == list.size())
    list.push_back(std::move(view));
  else
    list[index] = std::move(view);
  return *list[index];
}

std::vector<int32_t> pinList(int32_t first, va_list args, const char* operation) {
  std::vector<int32_t> pins;
  for (int32_t p = first; p != -1; p = va_arg(args, int32_t)) {
    if (pins.size() > 64) hostError("%s: the pin list is not ended by -1", operation);
    pins.push_back(p);
  }
  return pins;
}

bool sameSize(const kxMInfo& a, const kxMInfo& b) { return a.X == b.X && a.Y == b.Y && a.Planes == b.Planes; }

}  // namespace

// ---- kxInterface -------------------------------------------------------------------------------

kxInterface::kxInterface() = default;
kxInterface::~kxInterface() = default;

int kxInterface::kxSetPin(int32_t n) {
  Current& c = Current::require("kxSetPin");
  if (n < 0 || (n >= static_cast<int32_t>(c.inputs().size()) && n >= static_cast<int32_t>(c.outputs().size()))) {
    hostError("kxSetPin: the processor has no pin %d", n);
  }
  c.pin = n;
  return 1;
}

int kxInterface::kxSetMatrix(int32_t i) {
  Current& c = Current::require("kxSetMatrix");
  if (i < 0) hostError("kxSetMatrix: negative matrix index %d", i);
  c.matrix = i;
  return 1;
}

int kxInterface::kxGetMCount(int32_t* n, int32_t input) {
  Current& c = Current::require("kxGetMCount");
  kxhost::Pin& pin = input ? requireInput(c, "kxGetMCount") : requireOutput(c, "kxGetMCount");
  *n = pin.stream.size();
  return 1;
}

int kxInterface::kxGetVecLength(int32_t* n, int32_t input, int32_t inElements) {
  Current& c = Current::require("kxGetVecLength");
  const kxhost::Matrix* m = nullptr;
  if (input) {
    requireInput(c, "kxGetVecLength");
    m = inputMatrix(c);
  } else {
    kxhost::Pin& pin = requireOutput(c, "kxGetVecLength");
    if (c.matrix < pin.stream.size()) m = pin.stream.matrices[static_cast<std::size_t>(c.matrix)].get();
  }
  std::size_t length = m ? (inElements ? m->count() : m->bytes()) : 0;
  if (length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    hostError("kxGetVecLength: %zu does not fit a 32-bit length", length);
  }
  *n = static_cast<int32_t>(length);
  return 1;
}

void* kxInterface::kxGetIVector() {
  Current& c = Current::require("kxGetIVector");
  return requireInputMatrix(c, "kxGetIVector").data();
}

void** kxInterface::kxGetIMatrix() {
  Current& c = Current::require("kxGetIMatrix");
  return requireInputMatrix(c, "kxGetIMatrix").rows();
}

void* kxInterface::kxGetOVector(const kxMInfo* info) { return createOutput(info, "kxGetOVector").data(); }

void** kxInterface::kxGetOMatrix(const kxMInfo* info) { return createOutput(info, "kxGetOMatrix").rows(); }

namespace {
#if defined(__SSE2__)
// The lane loop of extremes() below for floating elements, which the compiler leaves scalar. The
// SSE2 minimum and maximum are exactly its comparisons: minps(v, m) is v < m ? v : m, so a NaN v
// and a zero equal to m both leave m in place. Returns how many elements it took in.
inline std::size_t scanLanes(const float* p, std::size_t n, float* mn, float* mx) {
  __m128 lo[4], hi[4];
  for (int r = 0; r < 4; ++r) {
    lo[r] = _mm_loadu_ps(mn + 4 * r);
    hi[r] = _mm_loadu_ps(mx + 4 * r);
  }
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16)
    for (int r = 0; r < 4; ++r) {
      const __m128 v = _mm_loadu_ps(p + k + 4 * r);
      lo[r] = _mm_min_ps(v, lo[r]);
      hi[r] = _mm_max_ps(v, hi[r]);
    }
  for (int r = 0; r < 4; ++r) {
    _mm_storeu_ps(mn + 4 * r, lo[r]);
    _mm_storeu_ps(mx + 4 * r, hi[r]);
  }
  return k;
}
inline std::size_t scanLanes(const double* p, std::size_t n, double* mn, double* mx) {
  __m128d lo[4], hi[4];
  for (int r = 0; r < 4; ++r) {
    lo[r] = _mm_loadu_pd(mn + 2 * r);
    hi[r] = _mm_loadu_pd(mx + 2 * r);
  }
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8)
    for (int r = 0; r < 4; ++r) {
      const __m128d v = _mm_loadu_pd(p + k + 2 * r);
      lo[r] = _mm_min_pd(v, lo[r]);
      hi[r] = _mm_max_pd(v, hi[r]);
    }
  for (int r = 0; r < 4; ++r) {
    _mm_storeu_pd(mn + 2 * r, lo[r]);
    _mm_storeu_pd(mx + 2 * r, hi[r]);
  }
  return k;
}
#endif

// The least and greatest value of p[0..n), NaNs skipped; both 0 when there is no other value. Equal
// values keep the first one met, which matters only for zeros: -0.0 and 0.0 compare equal, and the
// extreme is the sign of the first zero. The scan runs in kLanes independent lanes, which
// vectorises; a zero extreme is then looked up.
template <class T>
void extremes(const T* __restrict p, std::size_t n, double* lo, double* hi) {
  constexpr std::size_t kLanes = 64 / sizeof(T);
  T mn[kLanes], mx[kLanes];
  bool any = false;
  if constexpr (std::is_floating_point_v<T>) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      mn[j] = std::numeric_limits<T>::infinity();
      mx[j] = -std::numeric_limits<T>::infinity();
    }
  } else {
    for (std::size_t j = 0; j < kLanes; ++j) {
      mn[j] = std::numeric_limits<T>::max();
      mx[j] = std::numeric_limits<T>::lowest();
    }
    any = n > 0;
  }
  std::size_t k = 0;
#if defined(__SSE2__)
  if constexpr (std::is_floating_point_v<T>) k = scanLanes(p, n, mn, mx);
#endif
  // NaN compares false both ways and so leaves the lanes alone.
  for (; k + kLanes <= n; k += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) {
      const T v = p[k + j];
      mn[j] = v < mn[j] ? v : mn[j];
      mx[j] = v > mx[j] ? v : mx[j];
    }
  for (std::size_t j = 0; k < n; ++k, ++j) {
    const T v = p[k];
    mn[j] = v < mn[j] ? v : mn[j];
    mx[j] = v > mx[j] ? v : mx[j];
  }
  T a = mn[0], b = mx[0];
  for (std::size_t j = 1; j < kLanes; ++j) {
    a = mn[j] < a ? mn[j] : a;
    b = mx[j] > b ? mx[j] : b;
  }
  if constexpr (std::is_floating_point_v<T>) {
    // Only NaNs leave the starting infinities in place, or an input that holds them: look for any
    // value that is not a NaN before deciding.
    if (a == std::numeric_limits<T>::infinity() || b == -std::numeric_limits<T>::infinity()) {
      for (std::size_t i = 0; i < n && !any; ++i) any = p[i] == p[i];
    } else {
      any = true;
    }
    if (any && (a == T(0) || b == T(0))) {
      for (std::size_t i = 0; i < n; ++i)
        if (p[i] == T(0)) {
          if (a == T(0)) a = p[i];
          if (b == T(0)) b = p[i];
          break;
        }
    }
  }
  *lo = any ? static_cast<double>(a) : 0.0;
  *hi = any ? static_cast<double>(b) : 0.0;
}
}  // namespace

int kxInterface::kxGetMinMax(double* min, double* max) {
  Current& c = Current::require("kxGetMinMax");
  kxhost::Matrix& m = requireInputMatrix(c, "kxGetMinMax");
  switch (m.type()) {
    case 0:
      extremes(m.as<uint8_t>(), m.count(), min, max);
      break;
    case 1:
      extremes(m.as<int16_t>(), m.count(), min, max);
      break;
    case 2:
      extremes(m.as<int32_t>(), m.count(), min, max);
      break;
    case 3:
      extremes(m.as<float>(), m.count(), min, max);
      break;
    case 4:
      extremes(m.as<double>(), m.count(), min, max);
      break;
    default:
      hostError("kxGetMinMax: element type %d has no values", m.type());
  }
  return 1;
}

// ---- kxPin -------------------------------------------------------------------------------------

kxType kxPin::kxGetIPinType() {
  Current& c = Current::require("kxGetIPinType");
  return requireInput(c, "kxGetIPinType").type;
}
kxType kxPin::kxGetOPinType() {
  Current& c = Current::require("kxGetOPinType");
  return requireOutput(c, "kxGetOPinType").type;
}
int kxPin::kxGetIPinOccupied() {
  Current& c = Current::require("kxGetIPinOccupied");
  return requireInput(c, "kxGetIPinOccupied").connected ? 1 : 0;
}
int kxPin::kxGetOPinOccupied() {
  Current& c = Current::require("kxGetOPinOccupied");
  return requireOutput(c, "kxGetOPinOccupied").connected ? 1 : 0;
}

// ---- kxInfo ------------------------------------------------------------------------------------

int kxInfo::kxGetMInfo(kxMInfo* info) {
  Current& c = Current::require("kxGetMInfo");
  requireInput(c, "kxGetMInfo");
  const kxhost::Matrix* m = inputMatrix(c);
  *info = m ? m->info() : kxMInfo();
  return 1;
}
int kxInfo::kxGetMetaInfo(kxMInfo* info) {
  Current& c = Current::require("kxGetMetaInfo");
  *info = requireInput(c, "kxGetMetaInfo").stream.meta;
  return 1;
}
int kxInfo::kxSetMetaInfo(const kxMInfo* info) {
  Current& c = Current::require("kxSetMetaInfo");
  kxhost::Pin& pin = requireOutput(c, "kxSetMetaInfo");
  pin.stream.meta = *info;
  pin.stream.metaSet = true;
  return 1;
}

// ---- Parameter ---------------------------------------------------------------------------------

namespace {
tagVARIANT& param(int32_t n, const char* operation) {
  Current& c = Current::require(operation);
  auto& params = c.instance->params;
  if (n < 0 || n >= static_cast<int32_t>(params.size())) {
    hostError("%s: the processor has no parameter %d (it has %d)", operation, n, static_cast<int>(params.size()));
  }
  return params[static_cast<std::size_t>(n)];
}
}  // namespace

tagVARIANT Parameter::kxGetParameter(int32_t n) { return param(n, "kxGetParameter"); }

int Parameter::kxGetParameter(int32_t n, double* value) {
  const tagVARIANT& v = param(n, "kxGetParameter");
  *value = v.vt == VT_I4 ? static_cast<double>(v.lVal) : v.dblVal;
  return 1;
}

int Parameter::kxGetParameter(int32_t n, int32_t* value) {
  const tagVARIANT& v = param(n, "kxGetParameter");
  if (v.vt == VT_R8) {
    double d = std::trunc(v.dblVal);
    // Out-of-range and NaN values have no integer; they read as 0 rather than wrap.
    *value = (d >= -2147483648.0 && d <= 2147483647.0) ? static_cast<int32_t>(d) : 0;
  } else {
    *value = v.lVal;
  }
  return 1;
}

int Parameter::kxGetParameter(int32_t n, int32_t* value, int, int, int) { return kxGetParameter(n, value); }

int Parameter::kxSetParameter(int32_t n, tagVARIANT value) {
  param(n, "kxSetParameter") = value;
  Current& c = Current::get();
  if (c.instance->onParameterSet) c.instance->onParameterSet(n, value);
  return 1;
}
int Parameter::kxSetParameter(int32_t n, double value) {
  tagVARIANT v{};
  v.vt = VT_R8;
  v.dblVal = value;
  return kxSetParameter(n, v);
}
int Parameter::kxSetParameter(int32_t n, int32_t value) {
  tagVARIANT v{};
  v.vt = VT_I4;
  v.lVal = value;
  return kxSetParameter(n, v);
}

// ---- kxSafety ----------------------------------------------------------------------------------

int kxSafety::kxCompareStreams(int32_t first, ...) {
  Current& c = Current::require("kxCompareStreams");
  va_list args;
  va_start(args, first);
  std::vector<int32_t> pins;
  try {
    pins = pinList(first, args, "kxCompareStreams");
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  std::vector<const kxhost::Stream*> streams;
  for (int32_t p : pins) {
    if (p < 0 || p >= static_cast<int32_t>(c.inputs().size())) {
      hostError("kxCompareStreams: the processor has no input pin %d", p);
    }
    streams.push_back(&c.inputs()[static_cast<std::size_t>(p)].stream);
  }
  if (streams.empty()) return 1;
  const kxhost::Stream& s0 = *streams[0];
  auto mismatch = [&](int pinA, int32_t ia, int pinB, int32_t ib) {
    const kxMInfo& a = s0.matrices[static_cast<std::size_t>(ia)]->info();
    const kxMInfo& b = streams[static_cast<std::size_t>(pinB)]->matrices[static_cast<std::size_t>(ib)]->info();
    hostError(
        "kxCompareStreams: matrix %d of input pin %d (%d x %d x %d) and matrix %d of input pin %d "
        "(%d x %d x %d) differ in size",
        ia, pins[static_cast<std::size_t>(pinA)] + 1, a.X, a.Y, a.Planes, ib, pins[static_cast<std::size_t>(pinB)] + 1,
        b.X, b.Y, b.Planes);
  };
  if (streams.size() == 1) {
    for (int32_t i = 1; i < s0.size(); ++i) {
      if (!sameSize(s0.matrices[0]->info(), s0.matrices[static_cast<std::size_t>(i)]->info())) mismatch(0, 0, 0, i);
    }
    return 1;
  }
  for (std::size_t k = 1; k < streams.size(); ++k) {
    const kxhost::Stream& sk = *streams[k];
    if (sk.size() == s0.size()) {
      for (int32_t i = 0; i < s0.size(); ++i) {
        if (!sameSize(s0.matrices[static_cast<std::size_t>(i)]->info(),
                      sk.matrices[static_cast<std::size_t>(i)]->info())) {
          mismatch(0, i, static_cast<int>(k), i);
        }
      }
    } else if (sk.size() > 0) {
      for (int32_t i = 0; i < s0.size(); ++i) {
        if (!sameSize(s0.matrices[static_cast<std::size_t>(i)]->info(), sk.matrices[0]->info())) {
          mismatch(0, i, static_cast<int>(k), 0);
        }
      }
    }
  }
  return 1;
}

int kxSafety::kxCompareMCount(int32_t first, ...) {
  Current& c = Current::require("kxCompareMCount");
  va_list args;
  va_start(args, first);
  std::vector<int32_t> pins;
  try {
    pins = pinList(first, args, "kxCompareMCount");
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  int32_t expected = -1;
  for (int32_t p : pins) {
    if (p < 0 || p >= static_cast<int32_t>(c.inputs().size())) {
      hostError("kxCompareMCount: the processor has no input pin %d", p);
    }
    int32_t n = c.inputs()[static_cast<std::size_t>(p)].stream.size();
    if (expected < 0)
      expected = n;
    else if (n != expected) {
      hostError("kxCompareMCount: input pin %d holds %d matrices, input pin %d holds %d", pins[0] + 1, expected, p + 1,
                n);
    }
  }
  return 1;
}

// ---- kxQMessages -------------------------------------------------------------------------------

void kxQMessages::kxSetWarning(const char* format, ...) {
  Current& c = Current::require("kxSetWarning");
  va_list args;
  va_start(args, format);
  std::string text = kxhost::vformat(format, args);
  va_end(args);
  if (c.result) c.result->warnings.push_back(text);
  // A band's warnings are passed on once the bands are merged, on the thread that asked for the run.
  if (c.instance->onWarning && !c.band) c.instance->onWarning(text);
}
