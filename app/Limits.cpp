// Memory ceilings from the command line.
#include "Limits.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdlib>
#include <limits>

#include "Text.h"

namespace kxrun {

kxhost::Limits& hostLimits() {
  static kxhost::Limits limits;
  return limits;
}

uint64_t parseBytes(std::string_view text, std::string_view option) {
  auto bad = [&](const std::string& why) -> UsageError {
    return UsageError(std::string(option) + " " + std::string(text) + ": " + why);
  };
  std::size_t i = 0;
  uint64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) throw bad("too large");
    value = value * 10 + digit;
  }
  if (i == 0) throw bad("expected a number of bytes, e.g. 1000000, 64M or 2G");
  std::string_view unit = text.substr(i);
  int shift = 0;
  if (!unit.empty()) {
    switch (std::toupper(static_cast<unsigned char>(unit[0]))) {
      case 'K':
        shift = 10;
        break;
      case 'M':
        shift = 20;
        break;
      case 'G':
        shift = 30;
        break;
      case 'T':
        shift = 40;
        break;
      default:
        throw bad("unknown unit '" + std::string(unit) + "' (K, M, G or T)");
    }
    std::string_view rest = unit.substr(1);
    if (!rest.empty() && rest != "B" && rest != "iB")
      throw bad("unknown unit '" + std::string(unit) + "' (K, M, G or T)");
  }
  if (value > (std::numeric_limits<uint64_t>::max() >> shift)) throw bad("too large");
  value <<= shift;
  if (value == 0) throw bad("the limit must be at least one byte");
  return value;
}

namespace {
// A thread count: 0 (every core) to 4096.
unsigned parseThreads(std::string_view text, std::string_view source) {
  unsigned value = 0;
  for (char ch : text) {
    if (!std::isdigit(static_cast<unsigned char>(ch)) || value > 4096)
      throw UsageError(std::string(source) + " " + std::string(text) + ": expected a thread count, 0 for every core");
    value = value * 10 + static_cast<unsigned>(ch - '0');
  }
  if (text.empty() || value > 4096)
    throw UsageError(std::string(source) + " " + std::string(text) + ": expected a thread count from 0 to 4096");
  return value;
}
}  // namespace

void addLimitOptions(CLI::App& command, LimitOptions& options) {
  const kxhost::Limits defaults;
  command
      .add_option("--max-matrix-bytes", options.matrixBytes,
                  "largest matrix a processor may create or a file may hold, in bytes (suffix K, M, G, T; default " +
                      std::to_string(defaults.maxMatrixBytes >> 30) + "G)")
      ->type_name("N");
  command
      .add_option("--max-run-bytes", options.runBytes,
                  "most memory the output matrices of one processor run may take together (default " +
                      std::to_string(defaults.maxRunBytes >> 30) + "G)")
      ->type_name("N");
  command
      .add_option("--threads", options.threads,
                  "threads one processor run may use; 0 for every core (default: RK_THREADS, else every core, " +
                      std::to_string(kxhost::hardwareThreads()) + " here)")
      ->type_name("N");
}

void applyLimitOptions(const LimitOptions& options) {
  if (!options.matrixBytes.empty()) hostLimits().maxMatrixBytes = parseBytes(options.matrixBytes, "--max-matrix-bytes");
  if (!options.runBytes.empty()) hostLimits().maxRunBytes = parseBytes(options.runBytes, "--max-run-bytes");
  const char* env = std::getenv("RK_THREADS");
  if (!options.threads.empty())
    kxhost::setThreads(parseThreads(options.threads, "--threads"));
  else if (env && *env)
    kxhost::setThreads(parseThreads(env, "RK_THREADS"));
}

}  // namespace kxrun
