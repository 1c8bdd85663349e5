#include "IBTMEXPWnew/IBTMEXPWnew.hpp"

#include "onewire/errors.hpp"
#include "onewire/link.hpp"

static_assert(kTouchResetNoPresence == onewire::kResetNoPresence && kTouchResetPresence == onewire::kResetPresence &&
              kTouchResetAlarmPresence == onewire::kResetAlarmPresence && kTouchResetShort == onewire::kResetShort);

namespace {

// Calls `op` on the installed driver; without one, answers `missing`.
template <typename R, typename... Params, typename... Args>
R Dispatch(R (onewire::TmexDriver::*op)(Params...), R missing, Args... args) {
  const auto driver = onewire::InstalledDriver();
  return driver ? ((*driver).*op)(args...) : missing;
}

using D = onewire::TmexDriver;
constexpr std::int16_t kMissing = onewire::kErrNoDriver;

}  // namespace

std::int16_t TMGetTypeVersion(std::int16_t HSType, char* Version) {
  return Dispatch(&D::TMGetTypeVersion, kMissing, HSType, Version);
}
std::int32_t TMExtendedStartSession(std::int16_t PortNum, std::int16_t PortType, void* Reserved) {
  return Dispatch(&D::TMExtendedStartSession, std::int32_t{kMissing}, PortNum, PortType, Reserved);
}
std::int16_t TMSetup(std::int32_t h) { return Dispatch(&D::TMSetup, kMissing, h); }
std::int16_t TMValidSession(std::int32_t h) { return Dispatch(&D::TMValidSession, kMissing, h); }
std::int16_t TMOneWireCom(std::int32_t h, std::int16_t operation, std::int16_t timemode) {
  return Dispatch(&D::TMOneWireCom, kMissing, h, operation, timemode);
}
std::int16_t TMFirst(std::int32_t h, void* state) { return Dispatch(&D::TMFirst, kMissing, h, state); }
std::int16_t TMNext(std::int32_t h, void* state) { return Dispatch(&D::TMNext, kMissing, h, state); }
std::int16_t TMRom(std::int32_t h, void* state, std::uint16_t* rom) { return Dispatch(&D::TMRom, kMissing, h, state, rom); }
std::int16_t TMAccess(std::int32_t h, void* state) { return Dispatch(&D::TMAccess, kMissing, h, state); }
std::int16_t TMTouchReset(std::int32_t h) { return Dispatch(&D::TMTouchReset, kMissing, h); }
std::int16_t TMTouchByte(std::int32_t h, std::int16_t outbyte) {
  return Dispatch(&D::TMTouchByte, kMissing, h, outbyte);
}
std::int16_t TMEndSession(std::int32_t h) { return Dispatch(&D::TMEndSession, kMissing, h); }
std::int16_t TMClose(std::int32_t h) { return Dispatch(&D::TMClose, kMissing, h); }

bool QvBlockExchangeOffered() {
  const auto driver = onewire::InstalledDriver();
  return driver && driver->offers_block_exchange();
}
std::int16_t QvBlockExchange(std::int32_t h, void* state, std::int16_t mode, std::uint8_t* buffer,
                             std::int16_t length) {
  return Dispatch(&D::QvBlockExchange, kMissing, h, state, mode, buffer, length);
}
std::int16_t QvDevicePower(std::int32_t h, void* state) { return Dispatch(&D::QvDevicePower, kMissing, h, state); }
