// The port of the tool's bus options as the component is given it: the
// name resolved for the adapter chosen (onewire/port_names.hpp), and with
// --adapter auto the serial adapter found on it.
#pragma once

#include <string>

#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"

namespace qvtool {

// `text` as a port of `adapter` (kAdapterAuto: a serial port). Throws
// UsageError for a name the adapter takes no port by (naming every form
// when no adapter was asked for), Failure for a serial device path that
// is not there (unless `sim`).
onewire::PortName choose_port(const std::string& text, int adapter, bool adapter_given, bool sim);

// The serial adapter that answers on `port`, DS2480B first (its detection
// is harmless to a passive adapter), then passive. Throws Failure, saying
// what the port said, when neither does; when the detection was not
// `asked` for (--adapter auto) but is the default, a port that cannot be
// opened at all gives passive, whose open then says why.
int detect_port_adapter(const onewire::PortName& port, const onewire::BuiltinDriverOptions& options, bool asked);

}  // namespace qvtool
