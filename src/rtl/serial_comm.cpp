// The walk of the SERIALCOMM key, on whichever registry the platform has.
#include "rtl/serial_comm.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "rtl/registry.hpp"

namespace rtl {

std::vector<std::string> serial_comm_names() {
  HKEY key = nullptr;
  // A missing key leaves `key` null; the walk below then ends at once.
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
  KeyCloser closer(key);
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    std::array<char16_t, 256> name{};
    std::array<char16_t, 128> data{};
    DWORD name_len = static_cast<DWORD>(name.size());
    DWORD data_len = static_cast<DWORD>(data.size() * sizeof(char16_t));
    DWORD type = 0;
    if (RegEnumValueW(key, index, name.data(), &name_len, nullptr, &type,
                      reinterpret_cast<std::uint8_t*>(data.data()), &data_len) != ERROR_SUCCESS)
      break;
    // Trust the reported size rather than a terminator, which a badly
    // written value may lack; an odd last byte is half a character and
    // is dropped.
    std::u16string_view text(data.data(), std::min<std::size_t>(data_len / sizeof(char16_t), data.size()));
    text = text.substr(0, text.find(u'\0'));
    names.push_back(utf16_to_utf8(text));
  }
  return names;
}

}  // namespace rtl
