// The alarm thresholds TH and TL (scratchpad bytes 2 and 3): signed whole
// degrees, and the comparison each family makes after every conversion,
// which sets the flag ALARM SEARCH answers to. Pure rules: no I/O.
//
// Thread safety: pure functions and constants, for any thread at any time.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>

#include "onewire/ds18x20/scratchpad.hpp"

namespace onewire::ds18x20 {

// The range a threshold may be set to: the parts' measuring range.
inline constexpr int kLowestThreshold = -55;
inline constexpr int kHighestThreshold = 125;

constexpr int threshold_of(std::uint8_t byte) { return static_cast<std::int8_t>(byte); }
constexpr std::uint8_t threshold_byte(int degrees) { return static_cast<std::uint8_t>(static_cast<std::int8_t>(degrees)); }

// Whether the temperature a scratchpad holds is at or beyond its
// thresholds, as the part itself decides it: a DS18B20 (and the other
// 12-bit families) compares the whole degrees of its reading, rounded
// down (bits 11..4: -0.5 counts as -1), alarming at T <= TL or T >= TH;
// a DS18S20 compares the whole degrees of its 9-bit register (bits 8..1)
// and alarms at T <= TL or T > TH.
QVDS_API bool in_alarm(std::uint8_t family, const Scratchpad& pad);

}  // namespace onewire::ds18x20
