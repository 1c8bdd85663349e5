#include "qvds18x20/utf8.hpp"

namespace qvtool {

std::size_t utf8_sequence_length(std::string_view s) {
  if (s.empty()) return 0;
  const auto b = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < low || b(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  return n;
}

bool is_utf8(std::string_view s) {
  while (!s.empty()) {
    const std::size_t n = utf8_sequence_length(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

std::string utf8_escaped(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    std::size_t n = utf8_sequence_length(s);
    if (n > 0) {
      out.append(s.substr(0, n));
    } else {
      const auto byte = static_cast<unsigned char>(s[0]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
      n = 1;
    }
    s.remove_prefix(n);
  }
  return out;
}

}  // namespace qvtool
