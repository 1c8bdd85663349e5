// The errors of the bus engine, as std::error_code values in the
// project's own category, and the driver's result codes mapped onto them.
//
// Thread safety: everything here may be used from any thread.
#pragma once

#include "qvds18x20/export.hpp"

#include <string>
#include <system_error>

namespace qvds {

// Why a call of the engine failed. A sensor that was not read is not an
// error of the call: its Reading says why (ReadStatus).
enum class Errc {
  // --- opening a bus ---
  kPortUnavailable = 1,  // the port does not exist or cannot be opened
  kPortBusy,             // another program (or another bus here) holds the port
  kPermission,           // the system does not allow this program the port
  kNoSuchAdapter,        // no adapter of that type, or not in this build
  kNoAdapterFound,       // automatic detection found no adapter on the port
  kW1NotLoaded,          // the kernel's w1 subsystem is not loaded
  kW1NoConnector,        // the kernel's w1 masters do not answer over netlink
  // --- talking to the bus ---
  kNoResponse,          // the adapter did not answer, or answered nonsense
  kBusShort,            // the 1-Wire line is shorted
  kPortIo,              // the port failed or went away (adapter unplugged)
  kSearchInconsistent,  // repeated searches disagreed: noise on the line
  kRomCrc,              // a ROM code kept being misread
  kNoDevices,           // no device answered on the bus
  kNotOnBus,            // the device asked for did not answer its selection
  kNotThermometer,      // the device asked for has no thermometer
  // --- the call itself ---
  kTimedOut,     // the call's deadline passed
  kCancelled,    // the caller's stop token asked it to stop
  kClosed,       // the bus handle is closed (or was moved from)
  kBadArgument,  // an argument makes no sense
  kNotOffered,   // the adapter cannot do what was asked
  kRefused,      // the device did not take what was written to it (a setting, a save)
  kNotSupported,  // the device has no such setting (a DS18S20's resolution)
};

// The category of Errc: name "qvds", messages in plain words.
QVDS_API const std::error_category& error_category() noexcept;
QVDS_API std::error_code make_error_code(Errc e) noexcept;

// A result code of the driver layer (onewire/errors.hpp) as an error
// code; 0 (no device answered) is kNoDevices. Codes the engine does not
// know map to kNoResponse.
QVDS_API std::error_code driver_error(int code) noexcept;

}  // namespace qvds

template <>
struct std::is_error_code_enum<qvds::Errc> : std::true_type {};
