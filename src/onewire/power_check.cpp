#include "onewire/power_check.hpp"

#include <array>

#include "onewire/commands.hpp"

namespace onewire {

namespace {
// A read slot: the first bit of the byte read back is the device's answer.
constexpr std::uint8_t kReadSlots = 0xFF;
}  // namespace

bool answers_power_supply(std::uint8_t family) { return is_thermometer_family(family); }

PowerSurvey survey_power(Link& link, const std::vector<Rom>& roms) {
  PowerSurvey survey;
  for (const Rom& rom : roms)
    if (answers_power_supply(rom[0])) survey.thermometers.push_back(rom);
  if (survey.thermometers.empty()) return survey;
  std::array<std::uint8_t, 3> all = {kSkipRom, kReadPowerSupply, kReadSlots};
  if (link.block(nullptr, true, all.data(), all.size()) != 1) {
    survey.thermometers.clear();
    return survey;
  }
  survey.asked = true;
  if ((all[2] & 1) != 0) return survey;
  for (const Rom& rom : survey.thermometers) {
    std::array<std::uint8_t, 2> one = {kReadPowerSupply, kReadSlots};
    // A device that does not answer its selection now is left as not
    // parasite: it is not on the bus to convert either.
    if (link.block(&rom, false, one.data(), one.size()) == 1 && (one[1] & 1) == 0) survey.parasites.push_back(rom);
  }
  return survey;
}

}  // namespace onewire
