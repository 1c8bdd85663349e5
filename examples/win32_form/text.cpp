#include "win32_form/text.hpp"

#include <cstddef>

namespace win32form {

std::wstring widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string window_text(HWND wnd) {
  const int n = GetWindowTextLengthW(wnd);
  std::wstring w(static_cast<std::size_t>(n) + 1, L'\0');
  GetWindowTextW(wnd, w.data(), n + 1);
  w.resize(static_cast<std::size_t>(n));
  return narrow(w);
}

}  // namespace win32form
