// The component's own list of serial ports, for its ComPort property.
#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/registry.hpp"
#include "rtl/sysutils.hpp"

void TQvDs18x20::EnumComPorts(TStrings* Strings) {
  if (Strings == nullptr) return;
  // A port list is a convenience: whatever goes wrong while reading it,
  // the component carries on with the list it had.
  try {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    rtl::KeyCloser closer(key);
    auto found = std::make_unique<TStringList>();
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
      found->Add(Trim(rtl::utf16_to_utf8(text)));
    }
    found->Sort();
    Strings->Assign(*found);
  } catch (...) {
  }
}
