// The DS2480B serial 1-Wire line driver's command bytes and answers, as
// both our host backend and our emulator of the chip speak them.
//
// The chip starts in command mode at 9600 baud and needs one reset
// command at 9600 baud to calibrate its timing after every master reset
// (power-up or a break). In data mode every byte is eight time slots and
// comes back as the bus saw it; 0xE3 leaves data mode, so a data byte of
// 0xE3 is sent twice.
#pragma once

#include <cstdint>

namespace onewire::ds2480b {

// --- mode switches (no answer) ---
inline constexpr std::uint8_t kDataMode = 0xE1;
inline constexpr std::uint8_t kCommandMode = 0xE3;
// Ends a strong pull-up; the pulse's own answer byte then follows.
inline constexpr std::uint8_t kStopPulse = 0xF1;

// --- communication commands: 1 F F x S S x 1 ---
// Speed field (bits 3..2).
inline constexpr std::uint8_t kSpeedStandard = 0x00;
inline constexpr std::uint8_t kSpeedFlexible = 0x04;
inline constexpr std::uint8_t kSpeedOverdrive = 0x08;
inline constexpr std::uint8_t kSpeedMask = 0x0C;

inline constexpr std::uint8_t kFunctionMask = 0xE0 | 0x01;
inline constexpr std::uint8_t kSingleBit = 0x81;     // | 0x10 for a 1 slot, | 0x02 strong pull-up after
inline constexpr std::uint8_t kBitValue = 0x10;
inline constexpr std::uint8_t kBitPullUp = 0x02;
inline constexpr std::uint8_t kSearchOff = 0xA1;     // search accelerator off
inline constexpr std::uint8_t kSearchOn = 0xB1;      // search accelerator on
inline constexpr std::uint8_t kReset = 0xC1;
inline constexpr std::uint8_t kPulse = 0xED;         // 5 V strong pull-up now (speed field 11)
inline constexpr std::uint8_t kPulseArm = 0x02;      // Q bit of the pulse command
inline constexpr std::uint8_t kPulseProgram = 0x10;  // T bit: 12 V instead of 5 V

// Reset answer: 1 1 v r r r s s.
inline constexpr std::uint8_t kResetAnswerMask = 0xC0;
inline constexpr std::uint8_t kResetResultMask = 0x03;
inline constexpr std::uint8_t kResetShorted = 0x00;
inline constexpr std::uint8_t kResetPresence = 0x01;
inline constexpr std::uint8_t kResetAlarming = 0x02;
inline constexpr std::uint8_t kResetNoPresence = 0x03;
// Chip revision reported in bits 4..2 by the DS2480B.
inline constexpr std::uint8_t kRevisionDs2480b = 0x03 << 2;

// --- configuration commands: write 0 P P P V V V 1, read 0 0 0 0 P P P 1 ---
enum class Param : std::uint8_t {
  kSlewRate = 1,      // PDSRC, pull-down slew rate
  kProgramPulse = 2,  // PPD, 12 V pulse length
  kPullUp = 3,        // SPUD, 5 V strong pull-up length
  kWrite1Low = 4,     // W1LT
  kSampleOffset = 5,  // DSO / W0RT
  kLoad = 6,          // LOAD sensor threshold
  kBaud = 7,          // RBR
};

constexpr std::uint8_t config_write(Param p, std::uint8_t value) {
  return static_cast<std::uint8_t>((static_cast<unsigned>(p) << 4) | ((value & 7u) << 1) | 1u);
}
constexpr std::uint8_t config_read(Param p) { return static_cast<std::uint8_t>((static_cast<unsigned>(p) << 1) | 1u); }
// A write answers the command with bit 0 cleared; a read answers the
// value code shifted left by one.
constexpr std::uint8_t config_write_answer(std::uint8_t command) { return static_cast<std::uint8_t>(command & 0xFE); }
constexpr std::uint8_t config_read_answer(std::uint8_t value) { return static_cast<std::uint8_t>((value & 7u) << 1); }

// RBR value codes.
inline constexpr std::uint8_t kRate9600 = 0;
inline constexpr std::uint8_t kRate19200 = 1;
inline constexpr std::uint8_t kRate57600 = 2;
inline constexpr std::uint8_t kRate115200 = 3;
// SPUD and PPD: the pulse lasts until kStopPulse.
inline constexpr std::uint8_t kDurationInfinite = 7;

// The serial rate of an RBR value code (the upper half repeats the rates
// with the line polarity reversed).
constexpr int rate_baud(std::uint8_t code) {
  switch (code & 3u) {
    case kRate9600:
      return 9600;
    case kRate19200:
      return 19200;
    case kRate57600:
      return 57600;
    default:
      return 115200;
  }
}

// Search accelerator: each data byte carries four ROM bits, bit 2k+1 the
// direction and bit 2k the discrepancy flag.
inline constexpr int kSearchBytes = 16;

}  // namespace onewire::ds2480b
