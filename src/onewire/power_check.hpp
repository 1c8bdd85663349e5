// Which thermometers on a bus live on the line's charge (parasite power)
// rather than on their VDD pin, asked with READ POWER SUPPLY. A parasite
// device converts only while the master holds the bus at the strong
// pull-up; the driver needs to know which ones are there to give them it.
#pragma once

#include <vector>

#include "onewire/link.hpp"

namespace onewire {

// True for the families that answer READ POWER SUPPLY: the DS18x20
// thermometers (0x10, 0x22, 0x28, 0x3B) and the DS28EA00 (0x42).
bool answers_power_supply(std::uint8_t family);

struct PowerSurvey {
  bool asked = false;           // the bus answered the question
  std::vector<Rom> parasites;   // in the order of `roms`
  std::vector<Rom> thermometers;  // every device of `roms` that was asked
};

// Asks every thermometer among `roms` at once (SKIP ROM, READ POWER
// SUPPLY: any parasite device pulls the slot low), and one by one only
// when one did. Costs one exchange on a bus with no parasite device.
PowerSurvey survey_power(Link& link, const std::vector<Rom>& roms);

}  // namespace onewire
