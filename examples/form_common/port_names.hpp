// The port names the forms take: COM3 and USB1, in upper or lower case.
#pragma once

#include <charconv>
#include <string>

namespace qvform {

// The number (1..255) of a port named `upper` or `lower` and a number.
inline bool named_port(const std::string& s, const char* upper, const char* lower, int& number) {
  if (s.size() < 4 || (s.compare(0, 3, upper) != 0 && s.compare(0, 3, lower) != 0)) return false;
  int n = 0;
  const auto [end, ec] = std::from_chars(s.data() + 3, s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size() || n < 1 || n > 255) return false;
  number = n;
  return true;
}

inline bool is_com_name(const std::string& s, int& number) { return named_port(s, "COM", "com", number); }
inline bool is_usb_name(const std::string& s, int& number) { return named_port(s, "USB", "usb", number); }

}  // namespace qvform
