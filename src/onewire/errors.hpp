// Result codes of our driver. A driver operation answers 1 for success (or
// the byte or speed it was asked for); the codes below are its failures.
// They reach users as decimal text in TMEXerror.
#pragma once

#include <cstdint>

namespace onewire {

// Start refused: the port number maps to no device, or the device cannot
// be opened.
inline constexpr std::int16_t kErrPortUnavailable = -1;
// Start refused: this driver has no adapter of that type number.
inline constexpr std::int16_t kErrAdapterType = -2;
// The adapter did not answer, or answered something that makes no sense.
inline constexpr std::int16_t kErrAdapterNoResponse = -3;
// The bus is shorted.
inline constexpr std::int16_t kErrBusShort = -4;
// A ROM read by a search failed its CRC.
inline constexpr std::int16_t kErrRomCrc = -5;
// TMRom was asked for the current device, but no search has made one
// current.
inline constexpr std::int16_t kErrNoCurrentDevice = -6;
// The speed is not one this adapter can run.
inline constexpr std::int16_t kErrSpeed = -7;
// The port went away (adapter unplugged) or a read or write on it failed.
inline constexpr std::int16_t kErrPortIo = -8;
// The driver does not offer this operation (one beyond the 13).
inline constexpr std::int16_t kErrNotOffered = -9;
// An argument makes no sense (a negative length, a missing buffer).
inline constexpr std::int16_t kErrBadArgument = -10;
// The session handle is not (or no longer) valid.
inline constexpr std::int16_t kErrSessionInvalid = -200;
// No driver is installed.
inline constexpr std::int16_t kErrNoDriver = -201;

}  // namespace onewire
