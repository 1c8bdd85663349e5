#include "QvDs18x20Reg/QvDs18x20Reg.hpp"

#include <memory>
#include <stdexcept>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/serial_comm.hpp"

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
  auto found = std::make_unique<TStringList>();
  for (const std::string& name : rtl::serial_comm_names()) found->Add(name);
  found->Sort();
  List->Assign(*found);
}

}  // namespace qvds18x20reg
