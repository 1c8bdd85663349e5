// On Windows the registry functions reach the system registry. The
// in-memory registry of rtl::registry, which tests fill on systems
// without one, does not exist here.
#include "rtl/registry.hpp"
#include "rtl/win32/advapi.hpp"

LONG RegOpenKeyExW(HKEY root, const char16_t* sub_key, DWORD options, REGSAM access, HKEY* out) {
  return rtl::win32::OpenKey(root, sub_key, options, access, out);
}

LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_len, DWORD* reserved, DWORD* type,
                   std::uint8_t* data, DWORD* data_len) {
  return rtl::win32::EnumValue(key, index, name, name_len, reserved, type, data, data_len);
}

LONG RegCloseKey(HKEY key) { return rtl::win32::CloseKey(key); }
