// The command bytes of the 1-Wire bus: the ROM commands every device
// answers, and the function commands of the DS18B20 and DS18S20. Those who
// send them (the adapters' links, the worker through the driver
// operations) and the device models that answer them share these.
#pragma once

#include <cstdint>

namespace onewire {

// --- ROM commands ---
inline constexpr std::uint8_t kSearchRom = 0xF0;
inline constexpr std::uint8_t kAlarmSearch = 0xEC;
inline constexpr std::uint8_t kMatchRom = 0x55;
inline constexpr std::uint8_t kSkipRom = 0xCC;
inline constexpr std::uint8_t kReadRom = 0x33;

// The command a search pass begins with.
constexpr std::uint8_t search_command(bool alarm_only) { return alarm_only ? kAlarmSearch : kSearchRom; }

// --- DS18x20 function commands ---
inline constexpr std::uint8_t kConvertT = 0x44;
inline constexpr std::uint8_t kWriteScratchpad = 0x4E;
inline constexpr std::uint8_t kReadScratchpad = 0xBE;
inline constexpr std::uint8_t kCopyScratchpad = 0x48;
inline constexpr std::uint8_t kRecallE2 = 0xB8;
inline constexpr std::uint8_t kReadPowerSupply = 0xB4;

// The families that carry a thermometer answering the commands above: the
// DS18S20 (0x10), DS1822 (0x22), DS18B20 (0x28), DS1825/MAX31850 (0x3B)
// and the DS28EA00 (0x42).
constexpr bool is_thermometer_family(std::uint8_t family) {
  return family == 0x10 || family == 0x22 || family == 0x28 || family == 0x3B || family == 0x42;
}

}  // namespace onewire
