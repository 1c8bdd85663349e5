// The port names the forms take: COM3 and USB1, in either case.
#pragma once

#include <charconv>
#include <string>

namespace qvform {

inline bool is_com_name(const std::string& s, int& number) {
  if (s.size() < 4 || (s.compare(0, 3, "COM") != 0 && s.compare(0, 3, "com") != 0)) return false;
  int n = 0;
  const auto [end, ec] = std::from_chars(s.data() + 3, s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size() || n < 1 || n > 255) return false;
  number = n;
  return true;
}

inline bool is_usb_name(const std::string& s, int& number) {
  if (s.size() < 4 || (s.compare(0, 3, "USB") != 0 && s.compare(0, 3, "usb") != 0)) return false;
  int n = 0;
  const auto [end, ec] = std::from_chars(s.data() + 3, s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size() || n < 1 || n > 255) return false;
  number = n;
  return true;
}

}  // namespace qvform
