// Calls into advapi32. DWORD is a long on Windows and a 32-bit int in
// rtl/registry.hpp, so lengths pass through locals rather than casts.
#include "rtl/win32/windows.hpp"

#include "rtl/win32/advapi.hpp"

namespace rtl::win32 {
namespace {

// The predefined root keys are 32-bit values that windows.h sign-extends
// to 64 bits (HKEY_LOCAL_MACHINE is 0xFFFFFFFF80000002 there); a caller
// may hold the zero-extended spelling, which not every registry accepts.
HKEY Native(HKEY__* key) {
  const auto bits = reinterpret_cast<std::uintptr_t>(key);
  if ((bits >> 32) == 0 && (bits & 0xF0000000u) == 0x80000000u)
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(static_cast<DWORD>(bits))));
  return key;
}

}  // namespace

std::int32_t OpenKey(HKEY__* root, const char16_t* sub_key, std::uint32_t options, std::uint32_t access, HKEY__** out) {
  HKEY opened = nullptr;
  const LONG r = RegOpenKeyExW(Native(root), reinterpret_cast<LPCWSTR>(sub_key), options, access,
                               out != nullptr ? &opened : nullptr);
  if (out != nullptr) *out = r == ERROR_SUCCESS ? opened : nullptr;
  return r;
}

std::int32_t EnumValue(HKEY__* key, std::uint32_t index, char16_t* name, std::uint32_t* name_len,
                       std::uint32_t* reserved, std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_len) {
  DWORD name_chars = name_len != nullptr ? *name_len : 0;
  DWORD reserved_word = reserved != nullptr ? *reserved : 0;
  DWORD type_word = type != nullptr ? *type : 0;
  DWORD data_bytes = data_len != nullptr ? *data_len : 0;
  const LONG r =
      RegEnumValueW(Native(key), index, reinterpret_cast<LPWSTR>(name), name_len != nullptr ? &name_chars : nullptr,
                    reserved != nullptr ? &reserved_word : nullptr, type != nullptr ? &type_word : nullptr, data,
                    data_len != nullptr ? &data_bytes : nullptr);
  if (name_len != nullptr) *name_len = name_chars;
  if (type != nullptr) *type = type_word;
  if (data_len != nullptr) *data_len = data_bytes;
  return r;
}

std::int32_t CloseKey(HKEY__* key) { return RegCloseKey(Native(key)); }

}  // namespace rtl::win32
