// How long a thermometer's conversion may take, and how a host waits for
// it: with a parasite device on the bus, the strong pull-up for the
// longest conversion any device may take; with every device powered,
// read slots polled until none is busy, capped a little above that
// longest time. Pure rules: no I/O.
//
// Thread safety: pure functions and constants, for any thread at any time.
#pragma once

#include "qvds18x20/export.hpp"

#include <chrono>
#include <cstdint>

namespace onewire::ds18x20 {

using Micros = std::chrono::microseconds;

// The data sheets' longest conversion at a resolution: 93.75, 187.5, 375
// or 750 ms for 9..12 bits; 750 ms on a DS18S20, whatever is asked.
QVDS_API Micros max_conversion_time(std::uint8_t family, int resolution_bits);
// The longest conversion when the resolution is not known: 750 ms.
inline constexpr Micros kLongestConversion{750000};

// Polling a powered bus for the end of a conversion: the first read slot
// no sooner than this after CONVERT T (some parts report busy only a
// moment after it: reading at once would see them done) ...
inline constexpr Micros kFirstPollAfter{10000};
// ... then one every so often (each poll is one round trip to the
// adapter; this bounds how late the end is seen) ...
inline constexpr Micros kPollInterval{4000};
// ... until every device is done or this share past the longest time the
// devices' resolutions allow: a part that never stops is read anyway
// once it is up. "Done" counts only after a poll found a device busy: a
// part that never reports busy (clone family F) would look done at once,
// so a first poll that finds the bus done means the longest time is
// waited after all.
inline constexpr double kPollCapShare = 1.10;

// The cap of a polled wait whose devices may take `longest`.
QVDS_API Micros poll_cap(Micros longest);

// A byte of read slots during a conversion: every powered device that is
// still converting holds its slots low (the bus is a wired AND), so only
// all ones means every one of them is done.
constexpr bool conversion_done(int polled_byte) { return polled_byte == 0xFF; }

// COPY SCRATCHPAD writes the EEPROM for up to 10 ms: a parasite device
// needs the strong pull-up that long, and a powered one is left alone
// that long.
inline constexpr Micros kEepromWriteTime{10000};
// RECALL E2 reloads the EEPROM within this, polled like a conversion.
inline constexpr Micros kRecallTime{10000};

}  // namespace onewire::ds18x20
