#include "onewire/ds18x20/alarm.hpp"

#include "onewire/ds18x20/family.hpp"

namespace onewire::ds18x20 {

bool in_alarm(std::uint8_t family, const Scratchpad& pad) {
  const int raw = static_cast<std::int16_t>(static_cast<std::uint16_t>(pad[1] << 8 | pad[0]));
  const int th = threshold_of(pad[2]);
  const int tl = threshold_of(pad[3]);
  if (family == kFamilyDs18s20) {
    const int whole = raw >> 1;  // half degrees, rounded down
    return whole <= tl || whole > th;
  }
  const int whole = raw >> 4;  // sixteenths, rounded down
  return whole <= tl || whole >= th;
}

}  // namespace onewire::ds18x20
