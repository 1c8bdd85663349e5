#include "qvds18x20/port_choice.hpp"

#include <vector>

#include "onewire/errors.hpp"
#include "qvds18x20/adapter_options.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/port_advice.hpp"

namespace qvtool {
namespace {

// Every form a port may take, for a user who named no adapter.
std::string every_form() {
  std::vector<onewire::PortForm> forms;
  for (const onewire::AdapterRow& row : onewire::builtin_adapters()) {
    bool seen = false;
    for (onewire::PortForm f : forms) seen = seen || f == row.ports;
    if (!seen) forms.push_back(row.ports);
  }
  std::string text;
  for (std::size_t i = 0; i < forms.size(); ++i) {
    if (i > 0) text += i + 1 == forms.size() ? " or " : ", ";
    text += onewire::port_forms_text(forms[i]);
  }
  return text;
}

}  // namespace

onewire::PortName choose_port(const std::string& text, int adapter, bool adapter_given, bool sim) {
  const onewire::AdapterRow* row = onewire::find_adapter(adapter);
  // Auto-detection, and type numbers no row has, take serial ports.
  const onewire::PortForm form = row != nullptr ? row->ports : onewire::PortForm::kSerial;
  onewire::PortResolution r = onewire::resolve_port(text, form);
  if (!r.port) {
    if (!adapter_given) throw UsageError("--port takes " + every_form() + ", not \"" + shorten(text) + "\"");
    const onewire::PortFormWords words = onewire::port_form_words(form);
    const std::string name = row != nullptr ? row->name : adapter == kAdapterAuto ? "auto" : std::to_string(adapter);
    std::string message = "--adapter " + name + " takes " + words.what + " as --port (" + words.examples + "), not \"" +
                          shorten(text) + "\"";
    if (!r.reason.empty()) message += ": " + r.reason;
    if (const auto other = onewire::form_of_name(text); other && *other != form)
      message += " (" + std::string(onewire::port_form_words(*other).what) + ": --adapter " +
                 onewire::find_adapter(implied_adapter(text))->name + ")";
    throw UsageError(message);
  }
  if (form == onewire::PortForm::kSerial && !sim && r.port->device == text && !path_exists(text))
    throw Failure(shorten(text, 200) + ": no such device");
  return *r.port;
}

int detect_port_adapter(const onewire::PortName& port, const onewire::BuiltinDriverOptions& options, bool asked) {
  std::int16_t error = 0;
  const int type = onewire::detect_adapter(onewire::PortForm::kSerial, port.number, options, error);
  if (type != 0) return type;
  // A port that cannot be opened at all has no adapter to tell: without
  // --adapter auto the session's own open says why, with the driver's
  // code, as it does for an adapter named.
  const bool port_level =
      error == onewire::kErrPortUnavailable || error == onewire::kErrPortBusy || error == onewire::kErrPortIo;
  if (!asked && port_level) return onewire::kAdapterTypePassive;
  std::string why = onewire::describe(error);
  if (const std::string trouble = port_trouble(port, onewire::kAdapterTypePassive, error, options, false);
      !trouble.empty())
    why += "; " + trouble;
  if (asked)
    throw Failure("--adapter auto: neither a DS2480B nor a passive adapter answers on " + port.label + " (" + why +
                  ")");
  throw Failure("no adapter answers on " + port.label + ": neither a DS2480B nor a passive one (" + why +
                "); is it plugged in, and is this its port? (`qvds18x20 ports` lists them)");
}

}  // namespace qvtool
