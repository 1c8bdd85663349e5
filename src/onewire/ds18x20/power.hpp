// How thermometers are powered, and what that asks of the bus master: a
// parasite-powered device draws its conversion current from the line, so
// the master holds the line at the strong pull-up for the whole
// conversion, and nothing else may happen on the bus meanwhile. Pure
// rules: no I/O.
//
// Thread safety: pure functions and constants, for any thread at any time.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>

namespace onewire::ds18x20 {

enum class PowerSupply : std::uint8_t {
  kUnknown = 0,     // not asked (the adapter cannot tell, or no thermometer)
  kExternal,        // on its VDD pin
  kParasite,        // on the line's charge; the adapter feeds its conversions
  kParasiteUnfed,   // on the line's charge, and the adapter has no strong pull-up: it cannot convert
};

// "external", "parasite", ...
QVDS_API const char* power_name(PowerSupply p);

// A device's supply from its answer to READ POWER SUPPLY (`parasite`:
// it pulled the read slot low) and whether the adapter has a strong
// pull-up; kUnknown when the bus was not asked.
constexpr PowerSupply power_of(bool asked, bool parasite, bool can_pullup) {
  if (!asked) return PowerSupply::kUnknown;
  if (!parasite) return PowerSupply::kExternal;
  return can_pullup ? PowerSupply::kParasite : PowerSupply::kParasiteUnfed;
}

// Whether a conversion command reached the devices, from the reset that
// came before it (a ResetResult of onewire/link.hpp): a reset that found
// no device, or a short, started no conversion.
QVDS_API bool conversion_reached_bus(int reset_result);

}  // namespace onewire::ds18x20
