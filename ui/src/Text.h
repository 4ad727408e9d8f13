// Conversions between the framework's 8-bit Latin-1 texts and the UTF-8 of terminals and toolkits.
#pragma once

#include <string>

namespace kxui::text {

inline std::string latin1ToUtf8(const std::string& s) {
  std::string r;
  r.reserve(s.size());
  for (unsigned char c : s) {
    if (c < 0x80) {
      r += static_cast<char>(c);
    } else {
      r += static_cast<char>(0xC0 | (c >> 6));
      r += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return r;
}

// UTF-8 text whose characters all lie in Latin-1 becomes Latin-1; characters beyond it become '?'.
// Text that is not valid UTF-8 is taken as Latin-1 already.
inline std::string utf8ToLatin1(const std::string& s) {
  std::string r;
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (n < 0 || s.size() - i <= static_cast<std::size_t>(n)) return s;  // bad lead byte or cut short
    unsigned long cp = n == 0 ? c : (c & (0x3Fu >> n));
    for (int k = 1; k <= n; ++k) {
      auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) return s;
      cp = (cp << 6) | (d & 0x3F);
    }
    r += cp <= 0xFF ? static_cast<char>(cp) : '?';
    i += static_cast<std::size_t>(n) + 1;
  }
  return r;
}

}  // namespace kxui::text
