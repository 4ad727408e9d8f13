// The processor instance the host has made current, with its current pin and matrix (host-internal).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kxhost/Runtime.h"

namespace kxhost {

// What the band runs of one requested run share: the whole output matrices, created by the first
// band that asks for each, and what they take against the run's allocation limit.
struct BandShared {
  std::mutex mutex;
  int32_t rows = 0;                                           // Y of every whole matrix
  std::vector<std::vector<std::unique_ptr<Matrix>>> outputs;  // by output pin, then matrix index
  uint64_t allocated = 0;
};

// One band run: rows [first, first + rows) of every image input, seen as matrices of their own, and
// the outputs as views of the same rows of the whole output matrices.
struct Band {
  int32_t first = 0;
  int32_t rows = 0;
  std::vector<Pin> inputs;
  std::vector<Pin> outputs;
  RunResult result;
  BandShared* shared = nullptr;
};

struct Current {
  Instance* instance = nullptr;
  RunResult* result = nullptr;  // null while a dialog runs
  Band* band = nullptr;         // set while the run is one band of a split run
  int32_t pin = 0;
  int32_t matrix = 0;
  uint64_t allocated = 0;  // footprint of the output matrices allocated in this run

  std::vector<Pin>& inputs() { return band ? band->inputs : instance->inputs; }
  std::vector<Pin>& outputs() { return band ? band->outputs : instance->outputs; }

  static Current& get();
  // The current instance, or a thrown kxEx* naming the operation when there is none.
  static Current& require(const char* operation);
};

// Makes an instance current for one scope and restores the previous state on every path.
class CurrentScope {
public:
  CurrentScope(Instance& instance, RunResult* result);
  ~CurrentScope();
  CurrentScope(const CurrentScope&) = delete;
  CurrentScope& operator=(const CurrentScope&) = delete;

private:
  Current saved_;
};

// Calls the entry with the instance current, recording its return or what it threw in `result`.
void callEntry(Instance& instance, kxEntryFn entry, RunResult& result, Band* band);

// Runs the entry as band runs on several threads when the processor and its inputs allow it and it
// pays; returns false, having done nothing, when the run is to be one run.
bool runInBands(Instance& instance, kxEntryFn entry, RunResult& result);

// Throws a host exception (a pointer to a new kxEx) with a printf-formatted text.
[[noreturn]] void hostError(const char* format, ...) KX_FORMAT(1, 2);

std::string vformat(const char* format, va_list args);

}  // namespace kxhost
