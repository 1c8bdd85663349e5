// Texts between the form's UTF-8 strings and the wide-character API.
#pragma once

#include <string>

#include "rtl/win32/windows.hpp"

namespace win32form {

std::wstring widen(const std::string& s);
std::string narrow(const std::wstring& w);
// What a control shows (an edit field, a combo box's edit part).
std::string window_text(HWND wnd);

}  // namespace win32form
