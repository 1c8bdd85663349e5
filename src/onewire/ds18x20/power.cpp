#include "onewire/ds18x20/power.hpp"

namespace onewire::ds18x20 {

namespace {
// The reset answers of onewire/link.hpp, which this layer does not see.
constexpr int kResetPresence = 1;
constexpr int kResetAlarmPresence = 2;
}  // namespace

const char* power_name(PowerSupply p) {
  switch (p) {
    case PowerSupply::kUnknown: return "unknown";
    case PowerSupply::kExternal: return "external";
    case PowerSupply::kParasite: return "parasite";
    case PowerSupply::kParasiteUnfed: return "parasite_unfed";
  }
  return "unknown";
}

bool conversion_reached_bus(int reset_result) {
  return reset_result == kResetPresence || reset_result == kResetAlarmPresence;
}

}  // namespace onewire::ds18x20
