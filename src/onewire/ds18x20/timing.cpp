#include "onewire/ds18x20/timing.hpp"

#include "onewire/ds18x20/family.hpp"

namespace onewire::ds18x20 {

Micros max_conversion_time(std::uint8_t family, int resolution_bits) {
  if (!has_resolution(family) || resolution_bits >= 12 || resolution_bits < 9) return kLongestConversion;
  // 93.75 ms doubling with each bit.
  return Micros(93750 << (resolution_bits - 9));
}

Micros poll_cap(Micros longest) {
  return Micros(static_cast<Micros::rep>(static_cast<double>(longest.count()) * kPollCapShare));
}

}  // namespace onewire::ds18x20
