#include "qvds18x20/adapter_options.hpp"

#include <vector>

#include "onewire/port_names.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

constexpr const char* kAutoName = "auto";

// passive (1), ..., ds2482 (8, absent here: it needs Linux's i2c-dev)
std::vector<std::string> row_names(bool with_numbers) {
  std::vector<std::string> names;
  for (const onewire::AdapterRow& row : onewire::builtin_adapters()) {
    std::string name = row.name;
    if (with_numbers) {
      name += " (" + std::to_string(row.type);
      if (!onewire::adapter_present(row)) name += std::string(", absent here: ") + row.absent_reason;
      name += ")";
    }
    names.push_back(name);
  }
  return names;
}

}  // namespace

int adapter_number(const std::string& text) {
  if (const onewire::AdapterRow* row = onewire::find_adapter_named(text)) return row->type;
  if (CompareText(text, kAutoName) == 0) return kAdapterAuto;
  const std::int32_t n = StrToIntDef(text, -1);
  if (n < 0 || n > 255) {
    auto names = row_names(false);
    names.push_back(kAutoName);
    throw UsageError("--adapter takes a number 0..255, " + or_list(names) + ", not \"" + shorten(text) + "\"");
  }
  return n;
}

int implied_adapter(const std::string& port) {
  if (const auto form = onewire::form_of_name(port))
    for (const onewire::AdapterRow& row : onewire::builtin_adapters())
      if (row.ports == *form) return row.type;
  // A serial port: asking for a DS2480B first is harmless to a passive
  // adapter, and spares the user knowing which of the two they have.
  return kAdapterAuto;
}

std::string adapter_help() {
  auto names = row_names(true);
  // Neither a comma nor "or" inside the parentheses: the help's readers
  // (man page and completion tests) split the list on them.
  names.push_back(std::string(kAutoName) + " (tells a DS2480B from a passive adapter on a serial port)");
  return "adapter type: a number, " + or_list(names);
}

std::string port_help() {
  // One clause per port form, with the adapters that take it.
  std::string text;
  std::vector<onewire::PortForm> seen;
  for (const onewire::AdapterRow& row : onewire::builtin_adapters()) {
    bool known = false;
    for (onewire::PortForm f : seen) known = known || f == row.ports;
    if (known) continue;
    seen.push_back(row.ports);
    std::vector<std::string> takers;
    for (const onewire::AdapterRow& other : onewire::builtin_adapters())
      if (other.ports == row.ports) takers.push_back(other.name);
    if (row.ports == onewire::PortForm::kSerial) takers.push_back(kAutoName);
    text += (text.empty() ? "" : "; ") + onewire::port_forms_text(row.ports) + " for " + or_list(takers);
  }
  return text + "; a USB adapter or a kernel w1 master implies its --adapter; without --port the simulated bus is "
                "used";
}

}  // namespace qvtool
