// Latin-1 and UTF-8, element type names and "N=VALUE" arguments.
#include "Text.h"

#include <charconv>
#include <cstdint>

namespace kxrun {

std::string toUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (char ch : latin1) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xc0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
  }
  return out;
}

std::string toLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(text[i]);
      ++i;
      continue;
    }
    int extra = c >= 0xf0 && c < 0xf5 ? 3 : c >= 0xe0 && c < 0xf0 ? 2 : c >= 0xc2 && c < 0xe0 ? 1 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) return std::string(text);
    uint32_t code = c & (0x3fu >> extra);
    for (int k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((cc & 0xc0) != 0x80) return std::string(text);
      code = (code << 6) | (cc & 0x3fu);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10ffff))) return std::string(text);
    out.push_back(code <= 0xff ? static_cast<char>(code) : '?');
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

namespace {
constexpr std::string_view kNames[] = {"uint8", "int16", "int32", "float32", "float64"};
}

kxType parseType(std::string_view text, std::string_view what) {
  for (std::size_t code = 0; code < std::size(kNames); ++code) {
    if (text == kNames[code]) return static_cast<kxType>(code);
  }
  int value = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (!text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= 0 && value <= 255) {
    return value;
  }
  throw UsageError(std::string(what) + ": unknown element type '" + std::string(text) +
                   "' (use uint8, int32, float32, float64 or a code 0 to 255)");
}

std::string typeName(kxType type) {
  if (type >= 0 && static_cast<std::size_t>(type) < std::size(kNames)) {
    return std::string(kNames[static_cast<std::size_t>(type)]);
  }
  return "code " + std::to_string(type);
}

std::string maskNames(long long mask) {
  std::string out;
  for (int code = 0; code < 32; ++code) {
    if (mask & (1LL << code)) {
      if (!out.empty()) out += ' ';
      out += typeName(code);
    }
  }
  return out.empty() ? "none" : out;
}

Indexed parseIndexed(std::string_view argument, std::string_view option) {
  std::size_t eq = argument.find('=');
  int index = -1;
  if (eq != std::string_view::npos && eq > 0) {
    auto [end, ec] = std::from_chars(argument.data(), argument.data() + eq, index);
    if (ec != std::errc() || end != argument.data() + eq) index = -1;
  }
  if (index < 0 || eq + 1 >= argument.size()) {
    throw UsageError(std::string(option) + " '" + std::string(argument) + "': expected N=VALUE with a pin index N");
  }
  return {index, std::string(argument.substr(eq + 1))};
}

}  // namespace kxrun
