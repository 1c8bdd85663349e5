// The DS2490 USB-to-1-Wire bridge's wire protocol: vendor requests on
// endpoint 0, the status packet on endpoint 1, and the result codes the
// chip posts in it. Shared by the host backend (ds2490_link) and the chip
// emulator (sim/ds2490_emulator), so both speak from one table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace onewire::ds2490 {

inline constexpr std::uint16_t kVendorId = 0x04FA;
inline constexpr std::uint16_t kProductId = 0x2490;

// Endpoints (the same in every alternate setting).
inline constexpr std::uint8_t kEpStatus = 0x81;   // interrupt IN
inline constexpr std::uint8_t kEpToBus = 0x02;    // bulk OUT
inline constexpr std::uint8_t kEpFromBus = 0x83;  // bulk IN
inline constexpr int kInterface = 0;
// 1 ms status polling and 64-byte bulk packets: what every host selects.
inline constexpr int kAltSetting = 3;
inline constexpr std::size_t kFifoSize = 128;
inline constexpr std::size_t kCommandFifoSize = 16;

// bmRequestType of the vendor commands, and of GET COMM CMDS's data stage.
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kVendorIn = 0xC0;

// bRequest: the three command types.
inline constexpr std::uint8_t kRequestControl = 0x00;
inline constexpr std::uint8_t kRequestComm = 0x01;
inline constexpr std::uint8_t kRequestMode = 0x02;

// Control commands (wValue of bRequest 0x00).
inline constexpr std::uint16_t kCtlResetDevice = 0x0000;
inline constexpr std::uint16_t kCtlStartExe = 0x0001;
inline constexpr std::uint16_t kCtlResumeExe = 0x0002;
inline constexpr std::uint16_t kCtlHaltExeIdle = 0x0003;
inline constexpr std::uint16_t kCtlHaltExeDone = 0x0004;
inline constexpr std::uint16_t kCtlFlushCommCmds = 0x0007;
inline constexpr std::uint16_t kCtlFlushRcvBuffer = 0x0008;
inline constexpr std::uint16_t kCtlFlushXmtBuffer = 0x0009;
inline constexpr std::uint16_t kCtlGetCommCmds = 0x000A;

// Mode commands (wValue of bRequest 0x02; the value goes in wIndex).
inline constexpr std::uint16_t kModePulseEnable = 0x0000;
inline constexpr std::uint16_t kModeSpeedChangeEnable = 0x0001;
inline constexpr std::uint16_t kModeSpeed = 0x0002;
inline constexpr std::uint16_t kModePullupDuration = 0x0003;
inline constexpr std::uint16_t kModeSlewRate = 0x0004;
inline constexpr std::uint16_t kModeProgDuration = 0x0005;
inline constexpr std::uint16_t kModeWrite1Low = 0x0006;
inline constexpr std::uint16_t kModeDsoW0r = 0x0007;
// ENABLE PULSE parameter bits.
inline constexpr std::uint16_t kPulsePrge = 0x01;
inline constexpr std::uint16_t kPulseSpue = 0x02;

// 1-Wire speed codes (MODE 1-WIRE SPEED, status byte 1, SE parameters).
inline constexpr std::uint8_t kSpeedRegular = 0;
inline constexpr std::uint8_t kSpeedFlexible = 1;
inline constexpr std::uint8_t kSpeedOverdrive = 2;

// Communication commands (wValue of bRequest 0x01): bits 7..4 pick the
// command, the low nibble's fixed bits are part of the code.
inline constexpr std::uint16_t kCmdSetDuration = 0x0012;
inline constexpr std::uint16_t kCmdBitIo = 0x0020;
inline constexpr std::uint16_t kCmdPulse = 0x0030;
inline constexpr std::uint16_t kCmdReset = 0x0042;
inline constexpr std::uint16_t kCmdByteIo = 0x0052;
inline constexpr std::uint16_t kCmdMatchAccess = 0x0064;
inline constexpr std::uint16_t kCmdBlockIo = 0x0074;
inline constexpr std::uint16_t kCmdReadStraight = 0x0080;
inline constexpr std::uint16_t kCmdDoAndRelease = 0x6092;
inline constexpr std::uint16_t kCmdSetPath = 0x00A2;
inline constexpr std::uint16_t kCmdWriteSramPage = 0x00B2;
inline constexpr std::uint16_t kCmdWriteEprom = 0x00C4;
inline constexpr std::uint16_t kCmdReadCrcProtPage = 0x00D4;
inline constexpr std::uint16_t kCmdReadRedirectPage = 0x21E4;
inline constexpr std::uint16_t kCmdSearchAccess = 0x00F4;

// Flag bits of communication commands.
inline constexpr std::uint16_t kFlagIm = 0x0001;
inline constexpr std::uint16_t kFlagD = 0x0008;  // also SE, TYPE, SM, R, CH, Z
inline constexpr std::uint16_t kFlagSe = 0x0008;
inline constexpr std::uint16_t kFlagType = 0x0008;
inline constexpr std::uint16_t kFlagSm = 0x0008;
inline constexpr std::uint16_t kFlagRst = 0x0100;
inline constexpr std::uint16_t kFlagIcp = 0x0200;
inline constexpr std::uint16_t kFlagNtf = 0x0400;
inline constexpr std::uint16_t kFlagF = 0x0800;
inline constexpr std::uint16_t kFlagSpu = 0x1000;
inline constexpr std::uint16_t kFlagDt = 0x2000;
inline constexpr std::uint16_t kFlagCib = 0x4000;  // also PST, RTS, PS
inline constexpr std::uint16_t kFlagPst = 0x4000;
inline constexpr std::uint16_t kFlagRts = 0x4000;

// Status flags (status byte 8).
inline constexpr std::uint8_t kStSpua = 0x01;
inline constexpr std::uint8_t kStPrga = 0x02;
inline constexpr std::uint8_t kSt12vp = 0x04;
inline constexpr std::uint8_t kStPmod = 0x08;
inline constexpr std::uint8_t kStHalt = 0x10;
inline constexpr std::uint8_t kStIdle = 0x20;
inline constexpr std::uint8_t kStReserved = 0x40;
inline constexpr std::uint8_t kStEp0f = 0x80;

// Result codes. 0xA5 is a notice, not a set of bits.
inline constexpr std::uint8_t kResultDeviceArrived = 0xA5;
inline constexpr std::uint8_t kResultNrs = 0x01;
inline constexpr std::uint8_t kResultSh = 0x02;
inline constexpr std::uint8_t kResultApp = 0x04;
inline constexpr std::uint8_t kResultVpp = 0x08;
inline constexpr std::uint8_t kResultCmp = 0x10;
inline constexpr std::uint8_t kResultCrc = 0x20;
inline constexpr std::uint8_t kResultRdp = 0x40;
inline constexpr std::uint8_t kResultEos = 0x80;

inline constexpr std::size_t kStatusRegisters = 16;
inline constexpr std::size_t kStatusMax = 32;

// One status packet, decoded.
struct Status {
  std::uint8_t enable_flags = 0;  // bit0 SPUE, bit1 PRGE, bit2 SPCE
  std::uint8_t speed = 0;
  std::uint8_t pullup_duration = 0;
  std::uint8_t prog_duration = 0;
  std::uint8_t slew_rate = 0;
  std::uint8_t write1_low = 0;
  std::uint8_t dso_w0r = 0;
  std::uint8_t flags = 0;
  std::uint16_t command = 0;  // the comm command executing, 0 when none
  std::uint8_t command_fifo = 0;
  std::uint8_t to_bus = 0;    // bytes in the EP2 FIFO
  std::uint8_t from_bus = 0;  // bytes in the EP3 FIFO
  std::array<std::uint8_t, kStatusMax - kStatusRegisters> results{};
  std::size_t result_count = 0;

  bool idle() const { return (flags & kStIdle) != 0; }
  bool halted() const { return (flags & kStHalt) != 0; }
  bool pullup_active() const { return (flags & kStSpua) != 0; }
  bool ep0_overflow() const { return (flags & kStEp0f) != 0; }
};

// Why a packet was refused.
enum class StatusError : std::uint8_t {
  kNone,
  kShort,        // fewer than 16 bytes
  kTooLong,      // more than 32
  kImpossible,   // a register outside anything the chip can hold
};

// Decodes `n` bytes read from the status endpoint. A packet that no chip
// could have sent (a corrupted transfer) is refused rather than trusted:
// FIFO counts above the FIFO sizes, a speed or timing code out of range, a
// busy chip claiming to be idle with no command, and so on.
StatusError parse_status(const std::uint8_t* data, std::size_t n, Status& out);

// What a result byte says about the 1-Wire bus, notices skipped.
struct ResultSummary {
  bool short_circuit = false;
  bool no_presence = false;
  bool alarm_presence = false;
  int codes = 0;             // result bytes seen, notices excluded
};
void summarise_results(const Status& status, ResultSummary& summary);

}  // namespace onewire::ds2490
