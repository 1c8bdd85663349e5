// POSIX systems have no registry: the process's in-memory one answers,
// and its SERIALCOMM key lists the serial device nodes under the COM
// numbers that Wine would give them.
#include <string>

#include "rtl/com_ports.hpp"
#include "rtl/registry.hpp"
#include "rtl/registry_store.hpp"

LONG RegOpenKeyExW(HKEY root, const char16_t* sub_key, DWORD /*options*/, REGSAM /*access*/, HKEY* out) {
  // Every key of the in-memory registry is readable, so the requested
  // access cannot be refused.
  return rtl::registry::detail::open_key(root, sub_key, out);
}

LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_len, DWORD* reserved, DWORD* type,
                   std::uint8_t* data, DWORD* data_len) {
  return rtl::registry::detail::enum_value(key, index, name, name_len, reserved, type, data, data_len);
}

LONG RegCloseKey(HKEY key) { return rtl::registry::detail::close_key(key); }

namespace rtl::registry::detail {

std::vector<std::pair<std::u16string, std::u16string>> serial_comm_values(const std::string& dev_root) {
  std::vector<std::pair<std::u16string, std::u16string>> values;
  for (const rtl::com::PortEntry& e : rtl::com::enumerate_ports(dev_root))
    values.emplace_back(utf8_to_utf16("\\Device\\Serial" + std::to_string(e.number - 1)),
                        utf8_to_utf16("COM" + std::to_string(e.number)));
  return values;
}

}  // namespace rtl::registry::detail
