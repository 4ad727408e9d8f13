// The host runtime behind the kx interface: matrix storage, streams, processor instances and runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kx/kx.h"
#include "kx/kxCatalog.h"

namespace kxhost {

// Bytes per element of a type code; 0 for codes the host has no storage for (5 and above).
// Code 1 is kept as a 16-bit integer so that files of that type can stand on a pin.
KX_API std::size_t elementSize(kxType type);

// Ceilings checked before any matrix is allocated.
struct Limits {
  uint64_t maxMatrixBytes = uint64_t(1) << 32;  // one matrix
  // All output matrices of one run, each counted with what it really takes (its rounded buffer
  // and its row pointers), so that a processor cannot get past the limit with a flood of matrices
  // without elements.
  uint64_t maxRunBytes = uint64_t(1) << 34;
};

// One image: a contiguous, 64-byte-aligned buffer of rows one after another, plus Y row pointers
// into it.
class KX_API Matrix {
public:
  // Throws a kxEx* when the size does not fit a 32-bit element count or a limit, or when the type
  // has no storage. Sizes with a member of zero or below give a matrix without elements.
  Matrix(kxType type, const kxMInfo& info, uint64_t maxBytes = Limits{}.maxMatrixBytes);
  // A matrix over elements the host does not own (a caller's array, which the caller keeps alive
  // and unchanged while the matrix lives): rows one after another, aligned to the element type.
  // Throws like the constructor above when the size does not fit a 32-bit element count. Its
  // buffer never goes to the pool.
  Matrix(kxType type, const kxMInfo& info, void* borrowed);
  ~Matrix();
  Matrix(const Matrix&) = delete;
  Matrix& operator=(const Matrix&) = delete;

  const kxMInfo& info() const { return info_; }
  kxMInfo& info() { return info_; }
  kxType type() const { return type_; }
  std::size_t count() const { return count_; }
  std::size_t bytes() const { return count_ * elementSize(type_); }
  void* data() { return data_; }
  const void* data() const { return data_; }
  void** rows() { return rows_.data(); }
  bool borrowed() const { return borrowed_; }
  // Whether the bytes between the elements and the end of the allocation still hold what the host
  // put there: a processor that writes past its matrix changes them, and its run fails.
  bool slackIntact() const;

  template <class T>
  T* as() {
    return static_cast<T*>(data_);
  }
  template <class T>
  const T* as() const {
    return static_cast<const T*>(data_);
  }

  // Bytes a matrix of this type and info would take, or throws like the constructor.
  static std::size_t requiredBytes(kxType type, const kxMInfo& info, uint64_t maxBytes);
  // Memory a matrix of `bytes` elements' bytes and `rows` rows takes: its buffer as allocated and
  // its row pointers. Never zero.
  static uint64_t footprint(std::size_t bytes, int32_t rows);

  // Freed buffers are kept, keyed by allocation size, for the next matrix of that size, so that a
  // graph run again or a long stream writes into memory whose pages are already mapped. The pool
  // holds at most poolLimit() bytes; setting a lower limit frees what no longer fits.
  static uint64_t pooledBytes();
  static uint64_t poolLimit();
  static void setPoolLimit(uint64_t bytes);
  // What a recycled buffer holds when it becomes a new matrix: by default (-1) what its last
  // matrix left there; a byte 0 to 255 fills it, as tests do to show a processor that relies on
  // elements it never wrote. Fresh buffers always read zero.
  static int recycledFill();
  static void setRecycledFill(int byte);

private:
  kxMInfo info_;
  kxType type_;
  std::size_t count_ = 0;
  void* data_ = nullptr;
  bool borrowed_ = false;
  std::vector<void*> rows_;

  void makeRows(std::size_t bytes);
};

struct KX_API Stream {
  Stream() = default;
  Stream(Stream&&) noexcept = default;
  Stream& operator=(Stream&&) noexcept = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  std::vector<std::unique_ptr<Matrix>> matrices;
  kxMInfo meta;
  bool metaSet = false;  // outputs: whether the processor wrote meta information

  std::int32_t size() const { return static_cast<std::int32_t>(matrices.size()); }
  // Appends a new zero-filled matrix and returns it.
  Matrix& add(kxType type, const kxMInfo& info);
};

struct Pin {
  kxType type = 0;
  bool connected = false;
  Stream stream;
};

struct RunResult {
  bool completed = false;             // the entry returned
  int returned = 0;                   // what it returned
  bool processorError = false;        // ended by a kxProcEx (else, if not completed, a host kxEx or other)
  std::string error;                  // the exception's text (Latin-1)
  std::vector<std::string> warnings;  // in the order issued, formatted (Latin-1)
  // The first output matrix the host refused for its size (a limit or the 32-bit element count),
  // even when the processor caught that exception and went on: its outputs are then incomplete.
  std::string refused;
  int bands = 1;  // how many band runs the host split the run into (see setThreads)
};

// One processor instance: its catalogue record, pins, streams and parameter values.
class KX_API Instance {
public:
  // Pins take their catalogue default types, required pins are connected, parameters take the
  // catalogue defaults (type 4 as VT_R8, type 2 as VT_I4; decimal point or comma).
  Instance(const ProcessorDescriptor* record, kxEntryFn entry, kxEntryFn dialog = nullptr);

  const ProcessorDescriptor* record() const { return record_; }
  std::vector<Pin> inputs;
  std::vector<Pin> outputs;
  std::vector<tagVARIANT> params;
  Limits limits;

  // Called for every warning as it is issued (besides being collected in the result).
  std::function<void(const std::string&)> onWarning;
  // Called for every parameter the plug-in writes (any form of kxSetParameter), after storing it.
  std::function<void(int32_t index, const tagVARIANT& value)> onParameterSet;

  // Index of the named parameter, or -1.
  int paramIndex(const char* name) const;

  // Clears the outputs, makes this instance current, calls the entry, and catches what it throws.
  // Runs of different instances may go on in different threads at once.
  RunResult run();
  // Makes this instance current and calls its dialog export; returns what it returned.
  // Throws std::runtime_error when the processor has no dialog.
  int configure();

private:
  friend struct Current;
  const ProcessorDescriptor* record_;
  kxEntryFn entry_;
  kxEntryFn dialog_;
};

// The parameter value a catalogue default text stands for (type 4: VT_R8, type 2: VT_I4).
// Throws std::invalid_argument for a text that is not a number.
KX_API tagVARIANT parseParameter(kxWord type, const std::string& text);

// How many threads one processor run may use: the calling thread and up to threads() - 1 of the
// host's own. The count is shared by the whole process, so that runs started from many threads at
// once (a Python thread pool, Dask workers) together never ask for more. 0 sets every core; 1 runs
// every run on its calling thread alone.
KX_API unsigned threads();
KX_API void setThreads(unsigned count);
// The least output, in bytes, for which a run is split into bands: below it the threads cost more
// than they save. Tests set 0 to split every run that can be split.
KX_API uint64_t bandThreshold();
KX_API void setBandThreshold(uint64_t bytes);
// Whether the host may split runs of this entry into bands: every output element of the processor
// depends only on the elements at the same position of its image inputs and on parameters. The
// Python package maps the same processors over the blocks of dask arrays.
KX_API bool elementLocal(const char* entry);
// The number of threads setThreads(0) stands for: the cores the system reports, at least 1.
KX_API unsigned hardwareThreads();

// Hook through which kxQMessages::MsgBox is shown; by default the text goes to stderr and IDOK.
using MessageBoxHook = std::function<int(const char* text, unsigned style, const char* title)>;
KX_API void setMessageBoxHook(MessageBoxHook hook);

}  // namespace kxhost
