// The 13 driver operations as the component calls them. Each dispatches to
// the installed driver (tmex_driver.hpp), by default the platform's
// (PlatformDefaultDriver). After InstallDriver(nullptr) they fail as a
// missing driver library would: TMGetTypeVersion does not return 1,
// TMExtendedStartSession returns no handle, the rest return kErrNoDriver.
//
// Widths: results are 16-bit signed, the session handle 32-bit signed.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>

// What callers of the operations use beside them, so that the layers above
// reach the driver through this header alone: the command bytes they send
// (commands.hpp), the result codes the operations answer (errors.hpp) and
// the CRC-8 that checks what comes back (crc.hpp: unlike the wrapper
// unit's accumulator it keeps no state, so the worker's thread may use it).
#include "onewire/commands.hpp"
#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/tmex_driver.hpp"

// What TMTouchReset answers (or a negative code).
inline constexpr std::int16_t kTouchResetNoPresence = 0;
inline constexpr std::int16_t kTouchResetPresence = 1;
inline constexpr std::int16_t kTouchResetAlarmPresence = 2;
inline constexpr std::int16_t kTouchResetShort = 3;

QVDS_API std::int16_t TMGetTypeVersion(std::int16_t HSType, char* Version);
QVDS_API std::int32_t TMExtendedStartSession(std::int16_t PortNum, std::int16_t PortType, void* Reserved);
QVDS_API std::int16_t TMSetup(std::int32_t session_handle);
QVDS_API std::int16_t TMValidSession(std::int32_t session_handle);
QVDS_API std::int16_t TMOneWireCom(std::int32_t session_handle, std::int16_t operation, std::int16_t timemode);
QVDS_API std::int16_t TMFirst(std::int32_t session_handle, void* state_buffer);
QVDS_API std::int16_t TMNext(std::int32_t session_handle, void* state_buffer);
QVDS_API std::int16_t TMRom(std::int32_t session_handle, void* state_buffer, std::uint16_t* ROM);
QVDS_API std::int16_t TMAccess(std::int32_t session_handle, void* state_buffer);
QVDS_API std::int16_t TMTouchReset(std::int32_t session_handle);
QVDS_API std::int16_t TMTouchByte(std::int32_t session_handle, std::int16_t outbyte);
QVDS_API std::int16_t TMEndSession(std::int32_t session_handle);
QVDS_API std::int16_t TMClose(std::int32_t session_handle);

// Beyond the 13: the block exchange of our drivers (tmex_driver.hpp).
// Callers ask QvBlockExchangeOffered first and use the 13 operations
// when it is not.
QVDS_API bool QvBlockExchangeOffered();
QVDS_API std::int16_t QvBlockExchange(std::int32_t session_handle, void* state_buffer, std::int16_t mode, std::uint8_t* buffer,
                             std::int16_t length);
// The current device's supply as our drivers know it (onewire::kPower...),
// or kErrNotOffered.
QVDS_API std::int16_t QvDevicePower(std::int32_t session_handle, void* state_buffer);
