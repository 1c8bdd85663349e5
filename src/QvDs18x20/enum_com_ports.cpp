// The component's own list of serial ports, for its ComPort property.
#include <memory>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/serial_comm.hpp"
#include "rtl/sysutils.hpp"

void TQvDs18x20::EnumComPorts(TStrings* Strings) {
  if (Strings == nullptr) return;
  // A port list is a convenience: whatever goes wrong while reading it,
  // the component carries on with the list it had.
  try {
    auto found = std::make_unique<TStringList>();
    for (const std::string& name : rtl::serial_comm_names()) found->Add(Trim(name));
    found->Sort();
    Strings->Assign(*found);
  } catch (...) {
  }
}
