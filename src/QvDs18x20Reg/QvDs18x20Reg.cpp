#include "QvDs18x20Reg/QvDs18x20Reg.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/registry.hpp"

namespace {

// The inspector shows a sorted drop-down list, editable, for one or several
// selected components, and offers to revert to the inherited value.
constexpr TPropertyAttributes kListAttributes{paValueList, paMultiSelect, paSortList, paRevertable};

}  // namespace

TPropertyAttributes TQvComPortProperty::GetAttributes() { return kListAttributes; }

void TQvComPortProperty::GetValues(const std::function<void(const std::string&)>& Proc) {
  auto ports = std::make_unique<TStringList>();
  qvds18x20reg::EnumComPorts(ports.get());
  const int count = ports->Count();
  for (int i = 0; i < count; ++i) Proc(ports->Strings(i));
}

TPropertyAttributes TQvDs18x20SpeedProperty::GetAttributes() { return kListAttributes; }

void TQvDs18x20SpeedProperty::GetValues(const std::function<void(const std::string&)>& Proc) {
  TPropertyEditor::GetValues(Proc);
}

namespace qvds18x20reg {

void Register() { RegisterComponents("ZORDA", {ClassOf<TQvDs18x20>("TQvDs18x20")}); }

void EnumComPorts(TStrings* List) {
  if (List == nullptr) throw std::invalid_argument("EnumComPorts: no list");
  HKEY key = nullptr;
  // A missing key leaves `key` null; the walk below then ends at once.
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
  rtl::KeyCloser closer(key);
  auto found = std::make_unique<TStringList>();
  for (DWORD index = 0;; ++index) {
    std::array<char16_t, 256> name{};
    // Zeroed each round so text that lacks its terminator still ends
    // inside the buffer.
    std::array<char16_t, 128> data{};
    DWORD name_len = static_cast<DWORD>(name.size());
    DWORD data_len = static_cast<DWORD>(data.size() * sizeof(char16_t));
    DWORD type = 0;
    if (RegEnumValueW(key, index, name.data(), &name_len, nullptr, &type,
                      reinterpret_cast<std::uint8_t*>(data.data()), &data_len) != ERROR_SUCCESS)
      break;
    const auto end = std::find(data.begin(), data.end(), u'\0');
    found->Add(rtl::utf16_to_utf8(std::u16string_view(data.data(), static_cast<std::size_t>(end - data.begin()))));
  }
  found->Sort();
  List->Assign(*found);
}

}  // namespace qvds18x20reg
