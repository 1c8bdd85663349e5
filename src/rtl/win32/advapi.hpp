// The system registry behind the registry functions of rtl/registry.hpp,
// whose own DWORD, LONG and HKEY definitions cannot share a translation
// unit with <windows.h>: these take plain types.
#pragma once

#include <cstdint>

struct HKEY__;

namespace rtl::win32 {

std::int32_t OpenKey(HKEY__* root, const char16_t* sub_key, std::uint32_t options, std::uint32_t access, HKEY__** out);
std::int32_t EnumValue(HKEY__* key, std::uint32_t index, char16_t* name, std::uint32_t* name_len,
                       std::uint32_t* reserved, std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_len);
std::int32_t CloseKey(HKEY__* key);

}  // namespace rtl::win32
