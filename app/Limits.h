// The memory ceilings kxrun holds its runs to, set from the command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kxhost/Runtime.h"

namespace CLI {
class App;
}

namespace kxrun {

// The ceilings for every processor run and every matrix read from a file in this process.
kxhost::Limits& hostLimits();

// A byte count: digits, optionally followed by K, M, G or T (powers of 1024, an optional "iB" or
// "B" after the letter). A UsageError naming `option` otherwise, or when the count is zero or does
// not fit 64 bits.
uint64_t parseBytes(std::string_view text, std::string_view option);

struct LimitOptions {
  std::string matrixBytes, runBytes, threads;
};
// --max-matrix-bytes, --max-run-bytes and --threads on a subcommand.
void addLimitOptions(CLI::App& command, LimitOptions& options);
// Sets hostLimits() and the host's thread count from the options given (the thread count from
// RK_THREADS when --threads is absent); a UsageError for a malformed value.
void applyLimitOptions(const LimitOptions& options);

}  // namespace kxrun
