// The in-memory registry's key operations, for the platform backends that
// answer the Reg* functions from it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "rtl/registry.hpp"

namespace rtl::registry::detail {

LONG open_key(HKEY root, const char16_t* sub_key, HKEY* out);
LONG enum_value(HKEY key, DWORD index, char16_t* name, DWORD* name_len, DWORD* reserved, DWORD* type,
                std::uint8_t* data, DWORD* data_len);
LONG close_key(HKEY key);

// Names and texts of HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM for
// the serial device nodes below `dev_root`, in port number order. Each
// platform backend that uses the in-memory registry supplies it.
std::vector<std::pair<std::u16string, std::u16string>> serial_comm_values(const std::string& dev_root);

}  // namespace rtl::registry::detail
