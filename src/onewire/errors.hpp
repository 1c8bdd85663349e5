// Result codes of our driver. A driver operation answers 1 for success (or
// the byte or speed it was asked for); the codes below are its failures.
// They reach users as decimal text in TMEXerror.
#pragma once

#include <cstdint>
#include <string>

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
// Start refused: another program (or another session) holds the port. In
// a call: the adapter is another's for now (a kernel driver bound to a
// DS2482, or another channel's strong pull-up that outlasted the wait).
inline constexpr std::int16_t kErrPortBusy = -11;
// Repeated ROM searches did not agree with each other or broke the
// search's own rules (order, repeats, discrepancies): noise on the line
// corrupts what the adapter reads, and no device list could be trusted.
inline constexpr std::int16_t kErrSearchInconsistent = -12;
// Start refused: the kernel's w1 subsystem is not loaded (no
// /sys/bus/w1), so it has no bus master to reach.
inline constexpr std::int16_t kErrW1NotLoaded = -13;
// Start refused: the kernel's w1 masters cannot be reached over netlink:
// the kernel has no netlink connector, or its w1 subsystem was built
// without the connector interface and leaves requests unanswered.
inline constexpr std::int16_t kErrW1NoConnector = -14;
// Start refused: the system does not allow this program what the adapter
// needs (a socket or a message the kernel keeps for privileged programs).
inline constexpr std::int16_t kErrPermission = -15;
// The session handle is not (or no longer) valid.
inline constexpr std::int16_t kErrSessionInvalid = -200;
// No driver is installed.
inline constexpr std::int16_t kErrNoDriver = -201;

// What a result of our driver means, in words: for the codes above, and
// for 0 (a search that found no device). Empty for any other number.
inline std::string describe(std::int32_t code) {
  switch (code) {
    case 0: return "no device answered";
    case kErrPortUnavailable: return "the port does not exist or cannot be opened";
    case kErrAdapterType: return "no adapter of this type";
    case kErrAdapterNoResponse: return "the adapter did not answer, or answered nonsense";
    case kErrBusShort: return "the 1-Wire bus is shorted";
    case kErrRomCrc: return "a ROM code was misread";
    case kErrNoCurrentDevice: return "no device is selected";
    case kErrSpeed: return "the adapter cannot run that speed";
    case kErrPortIo: return "the port failed or went away";
    case kErrNotOffered: return "the driver does not offer this operation";
    case kErrBadArgument: return "an argument makes no sense";
    case kErrPortBusy: return "the port is in use by another program";
    case kErrSearchInconsistent: return "the device search got inconsistent answers (noise on the line?)";
    case kErrW1NotLoaded:
      return "the kernel's w1 subsystem is not loaded: modprobe w1-gpio, or dtoverlay=w1-gpio in a Raspberry Pi's "
             "config.txt";
    case kErrW1NoConnector:
      return "the kernel's w1 masters do not answer over netlink: it needs CONFIG_CONNECTOR and CONFIG_W1_CON, "
             "and 3.15 or later";
    case kErrPermission: return "permission denied: run as root or with CAP_NET_ADMIN";
    case kErrSessionInvalid: return "the session ended";
    case kErrNoDriver: return "no 1-Wire driver";
    default: return "";
  }
}

}  // namespace onewire
