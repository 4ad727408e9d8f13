// Texts at the program's edges: Latin-1 and UTF-8, element type names, "N=VALUE" arguments.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "kx/kx.h"

namespace kxrun {

// A problem with the command line or an input, found before a processor runs (exit status 2).
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The library speaks Latin-1; terminals, JSON and HTML speak UTF-8.
std::string toUtf8(std::string_view latin1);
// Text that is valid UTF-8 is decoded (characters beyond Latin-1 become '?'); anything else is
// taken to be Latin-1 already and returned unchanged.
std::string toLatin1(std::string_view text);

// "uint8", "int16", "int32", "float32", "float64" or a bare code 0 to 255; `what` names the
// argument in the error message.
kxType parseType(std::string_view text, std::string_view what);
// The name parseType accepts for a code, "code N" for codes without a name.
std::string typeName(kxType type);
// The type names of the codes set in a catalogue type mask, separated by blanks.
std::string maskNames(long long mask);

struct Indexed {
  int index;
  std::string value;
};
// Splits "N=VALUE" (N a pin index) of the option `option`.
Indexed parseIndexed(std::string_view argument, std::string_view option);

}  // namespace kxrun
