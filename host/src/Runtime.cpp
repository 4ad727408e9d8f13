// Matrix storage, streams, instances and the run that calls a processor entry.
#include "kxhost/Runtime.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(_WIN32)
#include <malloc.h>
#endif
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <unordered_map>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "Current.h"

#if defined(__SANITIZE_ADDRESS__)
#define RK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RK_ASAN 1
#endif
#endif
#if !defined(RK_ASAN)
#define RK_ASAN 0
#endif
#if RK_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kxhost {

namespace {
// Large buffers come straight from the kernel as anonymous mappings: their pages are known to be
// zero, so a fresh buffer needs no memset (which would fault in every page twice over).
#if RK_ASAN
// Under AddressSanitizer every buffer comes from the allocator it watches instead (it knows nothing
// of mappings), and the rounding of an allocation up to whole cache lines is closed to the matrix:
// a processor that reads or writes past its matrix is reported, not left to land in the slack.
constexpr std::size_t kMapThreshold = SIZE_MAX;
void closeSlack(void* data, std::size_t bytes, std::size_t allocation) {
  __asan_poison_memory_region(static_cast<char*>(data) + bytes, allocation - bytes);
}
void openSlack(void* data, std::size_t allocation) { __asan_unpoison_memory_region(data, allocation); }
#else
constexpr std::size_t kMapThreshold = std::size_t(1) << 20;
void closeSlack(void*, std::size_t, std::size_t) {}
void openSlack(void*, std::size_t) {}
#endif
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// What the slack after a matrix's elements holds (Matrix::slackIntact).
constexpr unsigned char kSlackByte = 0xA5;

// Returns a 64-byte-aligned buffer; `zeroed` tells whether its contents are already zero.
void* alignedAlloc(std::size_t bytes, bool& zeroed) {
#if defined(_WIN32)
  zeroed = false;
  return _aligned_malloc(bytes, 64);
#else
  if (bytes >= kMapThreshold) {
    zeroed = true;
    if (bytes < kHugePage) {
      void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      return p == MAP_FAILED ? nullptr : p;
    }
    // Larger buffers start on a huge page and ask for transparent huge pages, so that their first
    // touch faults once per 2 MiB rather than once per 4 KiB page (a whole image otherwise spends
    // more time in page faults than in its processor). The mapping is over-allocated by one huge
    // page and trimmed to the aligned range, which alignedFree() unmaps as usual.
    const std::size_t span = bytes + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto first = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (first + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1);
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t end = (start + bytes + page - 1) & ~(page - 1);
    if (start > first) munmap(raw, start - first);
    if (first + span > end) munmap(reinterpret_cast<void*>(end), first + span - end);
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);  // only advice: failure is harmless
#endif
    return reinterpret_cast<void*>(start);
  }
  zeroed = false;
  return std::aligned_alloc(64, bytes);
#endif
}
void alignedFree(void* p, std::size_t bytes) {
#if defined(_WIN32)
  (void)bytes;
  _aligned_free(p);
#else
  if (bytes >= kMapThreshold) {
    munmap(p, bytes);
  } else {
    std::free(p);
  }
#endif
}

// The buffer pool: freed buffers by allocation size, bounded in total bytes, shared by all threads.
struct Pool {
  std::mutex mutex;
  std::unordered_map<std::size_t, std::vector<void*>> free;
  uint64_t bytes = 0;
  uint64_t limit = uint64_t(1) << 30;
  int fill = -1;  // the byte a recycled buffer is filled with; -1 leaves what its last matrix held

  void* take(std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = free.find(size);
    if (it == free.end() || it->second.empty()) return nullptr;
    void* p = it->second.back();
    it->second.pop_back();
    bytes -= size;
    return p;
  }
  void give(void* p, std::size_t size) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (bytes + size <= limit) {
        try {
          free[size].push_back(p);
          bytes += size;
          return;
        } catch (const std::bad_alloc&) {
          // No room to remember it: release it instead.
        }
      }
    }
    alignedFree(p, size);
  }
  // Frees pooled buffers until the pool fits `newLimit`.
  void shrink(uint64_t newLimit) {
    std::vector<std::pair<void*, std::size_t>> release;
    {
      std::lock_guard<std::mutex> lock(mutex);
      limit = newLimit;
      for (auto& [size, list] : free) {
        while (bytes > limit && !list.empty()) {
          release.emplace_back(list.back(), size);
          list.pop_back();
          bytes -= size;
        }
      }
    }
    for (auto& [p, size] : release) alignedFree(p, size);
  }
};

// Never destroyed: matrices may outlive static destruction order (e.g. held by other statics).
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

std::size_t allocationFor(std::size_t bytes) {
  // Round up so that vector loops may read whole cache lines; never allocate zero bytes.
  std::size_t allocation = (bytes + 63) / 64 * 64;
  return allocation == 0 ? 64 : allocation;
}
}  // namespace

// ---- helpers -----------------------------------------------------------------------------------

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

void hostError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  throw new kxEx(text.c_str());
}

Current& Current::get() {
  static thread_local Current current;
  return current;
}

Current& Current::require(const char* operation) {
  Current& c = get();
  if (!c.instance) hostError("%s: no processor instance is current", operation);
  return c;
}

CurrentScope::CurrentScope(Instance& instance, RunResult* result) : saved_(Current::get()) {
  Current& c = Current::get();
  c = Current{};
  c.instance = &instance;
  c.result = result;
}

CurrentScope::~CurrentScope() { Current::get() = saved_; }

std::size_t elementSize(kxType type) {
  switch (type) {
    case 0:
      return 1;
    case 1:
      return 2;
    case 2:
      return 4;
    case 3:
      return 4;
    case 4:
      return 8;
    default:
      return 0;
  }
}

// ---- Matrix ------------------------------------------------------------------------------------

std::size_t Matrix::requiredBytes(kxType type, const kxMInfo& info, uint64_t maxBytes) {
  std::size_t size = elementSize(type);
  if (size == 0) hostError("the host has no storage for element type %d", type);
  // The row view holds Y pointers even when a matrix has no elements, so they count against the limit.
  if (info.Y > 0 && uint64_t(uint32_t(info.Y)) * sizeof(void*) > maxBytes) {
    hostError("a matrix of %d rows needs %llu bytes of row pointers, beyond the host's limit of %llu bytes per matrix",
              info.Y, static_cast<unsigned long long>(uint64_t(uint32_t(info.Y)) * sizeof(void*)),
              static_cast<unsigned long long>(maxBytes));
  }
  if (info.X <= 0 || info.Y <= 0 || info.Planes <= 0) return 0;
  uint64_t count = uint64_t(uint32_t(info.X)) * uint64_t(uint32_t(info.Y));
  if (count > uint64_t(std::numeric_limits<int32_t>::max()) ||
      count * uint64_t(uint32_t(info.Planes)) > uint64_t(std::numeric_limits<int32_t>::max())) {
    hostError("a matrix of %d x %d x %d elements exceeds the 32-bit element count", info.X, info.Y, info.Planes);
  }
  count *= uint64_t(uint32_t(info.Planes));
  uint64_t bytes = count * size;
  if (bytes > maxBytes || bytes > uint64_t(std::numeric_limits<std::size_t>::max() / 2)) {
    hostError("a matrix of %d x %d x %d elements (%llu bytes) exceeds the host's limit of %llu bytes per matrix",
              info.X, info.Y, info.Planes, static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(maxBytes));
  }
  return static_cast<std::size_t>(bytes);
}

uint64_t Matrix::footprint(std::size_t bytes, int32_t rows) {
  return allocationFor(bytes) + (rows > 0 ? uint64_t(uint32_t(rows)) * sizeof(void*) : 0);
}

Matrix::Matrix(kxType type, const kxMInfo& info, uint64_t maxBytes) : info_(info), type_(type) {
  std::size_t bytes = requiredBytes(type, info, maxBytes);
  count_ = bytes / elementSize(type);
  info_.Count = static_cast<int32_t>(count_);
  std::size_t allocation = allocationFor(bytes);
  bool zeroed = false;
  data_ = pool().take(allocation);
  if (data_) {
    // A matrix's elements are the processor's to write: a recycled buffer keeps what its last
    // matrix held, since clearing it would cost a whole extra pass over memory in every run. Only
    // the elements a processor does not reach (after an exception) can show it.
    int fill = recycledFill();
    if (fill >= 0) std::memset(data_, fill, allocation);
  } else {
    data_ = alignedAlloc(allocation, zeroed);
    if (!data_) {
      hostError("out of memory for a matrix of %d x %d x %d elements (%zu bytes)", info.X, info.Y, info.Planes, bytes);
    }
    // A fresh buffer reads zero, so that a first run gives the same partial output everywhere.
    if (!zeroed) std::memset(data_, 0, allocation);
  }
  std::memset(static_cast<unsigned char*>(data_) + bytes, kSlackByte, allocation - bytes);
  closeSlack(data_, bytes, allocation);
  try {
    makeRows(bytes);
  } catch (...) {
    openSlack(data_, allocation);
    pool().give(data_, allocation);
    throw;
  }
}

Matrix::Matrix(kxType type, const kxMInfo& info, void* borrowed) : info_(info), type_(type), borrowed_(true) {
  std::size_t bytes = requiredBytes(type, info, std::numeric_limits<uint64_t>::max());
  count_ = bytes / elementSize(type);
  info_.Count = static_cast<int32_t>(count_);
  data_ = borrowed;
  makeRows(bytes);
}

void Matrix::makeRows(std::size_t bytes) {
  if (info_.Y <= 0) return;
  std::size_t rowBytes = count_ == 0 ? 0 : bytes / static_cast<std::size_t>(info_.Y);
  try {
    rows_.resize(static_cast<std::size_t>(info_.Y));
  } catch (const std::bad_alloc&) {
    hostError("out of memory for the %d row pointers of a matrix", info_.Y);
  }
  auto* base = static_cast<unsigned char*>(data_);
  for (std::size_t r = 0; r < rows_.size(); ++r) rows_[r] = base + r * rowBytes;
}

bool Matrix::slackIntact() const {
  if (borrowed_ || RK_ASAN) return true;  // the sanitizer reports such a write itself
  const auto* p = static_cast<const unsigned char*>(data_);
  bool intact = true;
  for (std::size_t k = bytes(), end = allocationFor(bytes()); k < end; ++k) intact &= p[k] == kSlackByte;
  return intact;
}

Matrix::~Matrix() {
  if (borrowed_) return;
  const std::size_t allocation = allocationFor(bytes());
  openSlack(data_, allocation);
  // The slack goes back to zero, as a fresh buffer has it, for whichever matrix takes the buffer.
  std::memset(static_cast<unsigned char*>(data_) + bytes(), 0, allocation - bytes());
  pool().give(data_, allocation);
}

uint64_t Matrix::pooledBytes() {
  std::lock_guard<std::mutex> lock(pool().mutex);
  return pool().bytes;
}
uint64_t Matrix::poolLimit() {
  std::lock_guard<std::mutex> lock(pool().mutex);
  return pool().limit;
}
void Matrix::setPoolLimit(uint64_t bytes) { pool().shrink(bytes); }
int Matrix::recycledFill() {
  std::lock_guard<std::mutex> lock(pool().mutex);
  return pool().fill;
}
void Matrix::setRecycledFill(int byte) {
  std::lock_guard<std::mutex> lock(pool().mutex);
  pool().fill = byte < 0 ? -1 : byte & 0xff;
}

Matrix& Stream::add(kxType type, const kxMInfo& info) {
  matrices.push_back(std::make_unique<Matrix>(type, info));
  return *matrices.back();
}

// ---- parameters --------------------------------------------------------------------------------

tagVARIANT parseParameter(kxWord type, const std::string& text) {
  std::string s = text;
  for (char& ch : s) {
    if (ch == ',') ch = '.';
  }
  tagVARIANT v{};
  const char* begin = s.c_str();
  char* end = nullptr;
  errno = 0;
  if (type == 2) {
    long long value = std::strtoll(begin, &end, 10);
    if (end == begin || *end != '\0' || errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
      throw std::invalid_argument("'" + text + "' is not a 32-bit integer");
    }
    v.vt = VT_I4;
    v.lVal = static_cast<int32_t>(value);
  } else {
    double value = std::strtod(begin, &end);
    if (end == begin || *end != '\0') throw std::invalid_argument("'" + text + "' is not a number");
    v.vt = VT_R8;
    v.dblVal = value;
  }
  return v;
}

// ---- Instance ----------------------------------------------------------------------------------

Instance::Instance(const ProcessorDescriptor* record, kxEntryFn entry, kxEntryFn dialog)
    : record_(record), entry_(entry), dialog_(dialog) {
  for (const PinDescriptor* p = record->inputs; p && p->name; ++p) {
    Pin pin;
    pin.type = static_cast<kxType>(p->defaultType);
    pin.connected = p->required != 0;
    inputs.push_back(std::move(pin));
  }
  for (const PinDescriptor* p = record->outputs; p && p->name; ++p) {
    Pin pin;
    pin.type = static_cast<kxType>(p->defaultType);
    pin.connected = p->required != 0;
    outputs.push_back(std::move(pin));
  }
  for (const ParameterDescriptor* p = record->params; p && p->name; ++p) {
    params.push_back(parseParameter(p->type, p->defaultText));
  }
}

int Instance::paramIndex(const char* name) const {
  int i = 0;
  for (const ParameterDescriptor* p = record_->params; p && p->name; ++p, ++i) {
    if (std::strcmp(p->name, name) == 0) return i;
  }
  return -1;
}

namespace {
// Processors that reseed the C library's process-wide generator and draw from it in their run:
// two such runs on different threads would interleave their draws, so the host runs them one at
// a time and each sees the whole sequence it seeded.
bool drawsGlobalGenerator(const ProcessorDescriptor* record) { return std::strcmp(record->entry, "_Pertur") == 0; }
std::mutex generatorMutex;
}  // namespace

void callEntry(Instance& instance, kxEntryFn entry, RunResult& result, Band* band) {
  CurrentScope scope(instance, &result);
  Current::get().band = band;
  try {
    result.returned = entry();
    result.completed = true;
  } catch (kxProcEx* e) {
    result.processorError = true;
    result.error = e->kxGetText();
    delete e;
  } catch (kxEx* e) {
    result.error = e->kxGetText();
    delete e;
  } catch (const std::bad_alloc&) {
    result.error = "out of memory";
  } catch (const std::exception& e) {
    result.error = e.what();
  } catch (...) {
    result.error = std::string(instance.record()->entry) + " threw an exception the host does not know";
  }
}

RunResult Instance::run() {
  RunResult result;
  std::unique_lock<std::mutex> generator;
  if (drawsGlobalGenerator(record_)) generator = std::unique_lock<std::mutex>(generatorMutex);
  for (Pin& pin : outputs) pin.stream = Stream{};
  if (!entry_) {
    result.error = std::string("the plug-in does not export ") + record_->entry;
    return result;
  }
  if (!runInBands(*this, entry_, result)) callEntry(*this, entry_, result, nullptr);
  for (std::size_t p = 0; p < outputs.size(); ++p) {
    const std::vector<std::unique_ptr<Matrix>>& matrices = outputs[p].stream.matrices;
    for (std::size_t i = 0; i < matrices.size(); ++i) {
      if (matrices[i]->slackIntact()) continue;
      // Whatever else the run did or reported, its outputs cannot be trusted.
      result.completed = false;
      result.processorError = false;
      result.error = std::string(record_->entry) + " wrote past the end of matrix " + std::to_string(i) +
                     " of output pin " + std::to_string(p);
      return result;
    }
  }
  return result;
}

int Instance::configure() {
  if (!dialog_) throw std::runtime_error(std::string(record_->entry) + " has no configuration dialog");
  CurrentScope scope(*this, nullptr);
  return dialog_();
}

// ---- message boxes -----------------------------------------------------------------------------

namespace {
std::mutex hookMutex;
MessageBoxHook& hookSlot() {
  static MessageBoxHook hook;
  return hook;
}
}  // namespace

void setMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard<std::mutex> lock(hookMutex);
  hookSlot() = std::move(hook);
}

}  // namespace kxhost

int kxQMessages::MsgBox(const char* text, unsigned int style, const char* title) {
  kxhost::MessageBoxHook hook;
  {
    std::lock_guard<std::mutex> lock(kxhost::hookMutex);
    hook = kxhost::hookSlot();
  }
  if (hook) return hook(text, style, title);
  std::fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
  return 1;
}
