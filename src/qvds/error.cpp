#include "qvds/error.hpp"

#include "onewire/errors.hpp"

namespace qvds {

namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "qvds"; }
  std::string message(int value) const override {
    switch (static_cast<Errc>(value)) {
      case Errc::kPortUnavailable: return "the port does not exist or cannot be opened";
      case Errc::kPortBusy: return "the port is in use by another program";
      case Errc::kPermission: return "permission denied for the port";
      case Errc::kNoSuchAdapter: return "no adapter of this type in this build";
      case Errc::kNoAdapterFound: return "no 1-Wire adapter answered on the port";
      case Errc::kW1NotLoaded: return onewire::describe(onewire::kErrW1NotLoaded);
      case Errc::kW1NoConnector: return onewire::describe(onewire::kErrW1NoConnector);
      case Errc::kNoResponse: return "the adapter did not answer, or answered nonsense";
      case Errc::kBusShort: return "the 1-Wire bus is shorted";
      case Errc::kPortIo: return "the port failed or went away";
      case Errc::kSearchInconsistent: return onewire::describe(onewire::kErrSearchInconsistent);
      case Errc::kRomCrc: return "a ROM code kept being misread (a damaged device or noise on the line)";
      case Errc::kNoDevices: return "no device answered on the bus";
      case Errc::kNotOnBus: return "the device did not answer its selection (not on the bus?)";
      case Errc::kNotThermometer: return "the device has no thermometer";
      case Errc::kTimedOut: return "the deadline passed";
      case Errc::kCancelled: return "cancelled";
      case Errc::kClosed: return "the bus is closed";
      case Errc::kBadArgument: return "an argument makes no sense";
      case Errc::kNotOffered: return "the adapter cannot do this";
      case Errc::kRefused: return "the device did not take what was written to it";
      case Errc::kNotSupported: return "the device has no such setting";
    }
    return "unknown error " + std::to_string(value);
  }
};

}  // namespace

const std::error_category& error_category() noexcept {
  static const Category category;
  return category;
}

std::error_code make_error_code(Errc e) noexcept { return {static_cast<int>(e), error_category()}; }

std::error_code driver_error(int code) noexcept {
  switch (code) {
    case 0: return Errc::kNoDevices;
    case onewire::kErrPortUnavailable: return Errc::kPortUnavailable;
    case onewire::kErrAdapterType: return Errc::kNoSuchAdapter;
    case onewire::kErrAdapterNoResponse: return Errc::kNoResponse;
    case onewire::kErrBusShort: return Errc::kBusShort;
    case onewire::kErrRomCrc: return Errc::kRomCrc;
    case onewire::kErrPortIo: return Errc::kPortIo;
    case onewire::kErrNotOffered: return Errc::kNotOffered;
    case onewire::kErrBadArgument: return Errc::kBadArgument;
    case onewire::kErrPortBusy: return Errc::kPortBusy;
    case onewire::kErrSearchInconsistent: return Errc::kSearchInconsistent;
    case onewire::kErrW1NotLoaded: return Errc::kW1NotLoaded;
    case onewire::kErrW1NoConnector: return Errc::kW1NoConnector;
    case onewire::kErrPermission: return Errc::kPermission;
    case onewire::kErrSessionInvalid: return Errc::kClosed;
    default: return Errc::kNoResponse;
  }
}

}  // namespace qvds
