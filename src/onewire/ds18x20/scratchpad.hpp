// What a thermometer's nine scratchpad bytes say: whether they came back
// sound, the exact temperature they hold, and whether that temperature is
// a measurement at all (the power-on value, a failed conversion). Every
// path that reads a thermometer (the component's worker, the bus engine)
// judges the bytes here, so that a scratchpad means the same thing
// everywhere. Pure functions: no I/O.
//
// Thread safety: pure functions and constants, for any thread at any time.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "onewire/ds18x20/power.hpp"

namespace onewire::ds18x20 {

// The nine bytes of READ SCRATCHPAD: temperature LSB and MSB, TH, TL,
// configuration (DS18B20 and kin), three reserved bytes (COUNT REMAIN and
// COUNT PER C on the DS18S20), the CRC.
using Scratchpad = std::array<std::uint8_t, 9>;

// What a read made of one sensor. Only kRead and kReadMaybePowerOn carry
// a temperature; every other outcome says why there is none.
enum class ReadStatus : std::uint8_t {
  kNotMeasured = 0,    // nothing has looked at it yet
  kRead,               // read and plausible
  kReadMaybePowerOn,   // read: a DS18S20 at 85.0 with COUNT REMAIN 0x0C, which may be its power-on value
  kNoThermometer,      // a device without a thermometer (DS2401)
  kNotSelected,        // it did not answer its selection: gone from the bus
  kNoAnswer,           // the adapter failed while its scratchpad was read
  kCrcError,           // its scratchpad failed the CRC check every time it was read
  kLineLow,            // an all-zero scratchpad: something holds the line low
  kPowerOnValue,       // the power-on value (85.0, byte 6 0x0C): the sensor did not convert
  kConversionFailed,   // 0x07FF with byte 6 0x0C (127.94, above its range): a failed conversion
  kNoConversion,       // the conversion command did not reach the bus: what it holds is old
  kUnconfirmed,        // it holds a value its power-on value looks the same as, which a second conversion did not settle
  kParasiteUnfed,      // parasite-powered on an adapter without a strong pull-up: it cannot convert
};

// The outcomes that carry a temperature.
constexpr bool is_reading(ReadStatus s) { return s == ReadStatus::kRead || s == ReadStatus::kReadMaybePowerOn; }
// A short name for machine-readable output: "read", "crc_error", ...
QVDS_API const char* status_name(ReadStatus s);
// The outcome in words, for people.
QVDS_API std::string describe(ReadStatus s);

// What nine bytes that came back say before they are decoded: kRead for
// a CRC that holds, kNotSelected for all ones (nobody drove the line),
// kLineLow for all zeros (which passes the CRC), kCrcError otherwise.
QVDS_API ReadStatus check(const Scratchpad& pad);

// Reads of one scratchpad a host makes at most when the bytes come back
// spoiled (check() other than kRead): noise on a long cable spoils one
// read, not three. The conversion is not repeated; the scratchpad keeps
// its value until the next one. A selection nobody answered, or a
// failing adapter, is not mended by asking again.
inline constexpr int kScratchpadReads = 3;

// The scratchpad of a thermometer of `family` decoded.
struct QVDS_API Decoded {
  ReadStatus status = ReadStatus::kRead;
  // The exact value in sixteenths of a degree: a DS18B20 at its
  // resolution (the undefined low bits dropped towards minus infinity), a
  // DS18S20 at its extended resolution.
  std::int32_t sixteenths = 0;
  // Bits of resolution the value has: 9..12 (a DS18S20's extended value
  // counts as 12).
  int resolution = 12;
  double celsius() const { return sixteenths / 16.0; }
};

// Decodes a scratchpad whose CRC holds and says whether it is a reading
// as the data sheet tells it (the power-on value, a failed conversion
// are not), for a genuine part of `family`.
QVDS_API Decoded decode(std::uint8_t family, const Scratchpad& pad);

// The ROM of the device the scratchpad came from.
using RomBytes = std::array<std::uint8_t, 8>;

// The verdict on one thermometer's scratchpad read after a conversion
// command: check(), whether the conversion reached the bus, then the
// value, with every family of DS18B20 clone in mind (clones.hpp):
//  - 127.94 (0x07FF) is above every part's range: a failed conversion;
//  - 85.0 is the power-on value of every family but D's. Byte 6 tells a
//    power-on 85.0 (0x0C) from a converted one (0x10) on a genuine part
//    and on the clones that follow its byte-6 rule; on the clones whose
//    byte 6 is always 0x0C (B1, B2, C, F) or always 0x10 (E), or was
//    overwritten by a WRITE SCRATCHPAD (B1, B2), it tells nothing: the
//    value is kUnconfirmed;
//  - 25.0 is the power-on value of the D families (scratchpad bytes 5
//    and 7 give them away): kUnconfirmed;
//  - a DS18S20's 85.0 with COUNT REMAIN 0x0C is its power-on value and
//    a converted 85.0 alike: kUnconfirmed.
// A kUnconfirmed value still has its value decoded. A host that can
// converts that sensor once more on its own and asks confirm().
QVDS_API Decoded judge(const RomBytes& rom, const Scratchpad& pad, bool converted);

// The verdict after a second conversion of a sensor whose first value was
// kUnconfirmed: `busy_seen` when read slots showed it converting (only a
// powered part can); a conversion seen, or a value that moved, makes
// the second value a reading; the same value again without a conversion
// seen stays kUnconfirmed.
QVDS_API Decoded confirm(const RomBytes& rom, const Scratchpad& first, const Scratchpad& second, bool busy_seen);

// A verdict in the light of how the sensor is powered: a parasite sensor
// the adapter cannot feed never converts, so the power-on value it holds
// is certain, and says why (kParasiteUnfed).
QVDS_API ReadStatus with_power(ReadStatus status, PowerSupply power);

// --- the configuration register (DS18B20, DS1822, DS1825, DS28EA00) ---
// Resolution in bits (9..12) that a configuration byte selects.
constexpr int resolution_of(std::uint8_t config) { return 9 + ((config >> 5) & 3); }
// `config` with its resolution bits R1 R0 set for `bits` (9..12) and
// every other bit kept.
constexpr std::uint8_t with_resolution(std::uint8_t config, int bits) {
  return static_cast<std::uint8_t>((config & ~0x60) | (((bits - 9) & 3) << 5));
}

}  // namespace onewire::ds18x20
