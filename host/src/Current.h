// The processor instance the host has made current, with its current pin and matrix (host-internal).
#pragma once

#include <string>

#include "kxhost/Runtime.h"

namespace kxhost {

struct Current {
  Instance* instance = nullptr;
  RunResult* result = nullptr;  // null while a dialog runs
  int32_t pin = 0;
  int32_t matrix = 0;
  uint64_t allocated = 0;  // footprint of the output matrices allocated in this run

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

// Throws a host exception (a pointer to a new kxEx) with a printf-formatted text.
[[noreturn]] void hostError(const char* format, ...) KX_FORMAT(1, 2);

std::string vformat(const char* format, va_list args);

}  // namespace kxhost
