// DS18B20 (family 0x28) and DS18S20 (family 0x10) device models, with the
// datasheet's scratchpad contents and CRC.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "onewire/sim/bus.hpp"

namespace onewire::sim {

class QVDS_API Ds18x20 : public Device {
 public:
  // `rom[0]` selects the model: 0x10 DS18S20, anything else behaves as a
  // DS18B20 (0x28, also 0x22 and 0x3B which share its scratchpad layout).
  explicit Ds18x20(const Rom& rom, double celsius = 25.0);
  ~Ds18x20() override;

  const Rom& rom() const override;
  bool on_reset(rtl::TimePoint now) override;
  bool drive(rtl::TimePoint now) override;
  void sample(bool line, rtl::TimePoint now) override;
  bool alarm(rtl::TimePoint now) override;
  bool asleep() override;
  void on_strong_pullup(bool on, rtl::TimePoint now) override;

  // The temperature the next conversion measures.
  void set_temperature(double celsius);
  double temperature() const;
  // DS18B20 resolution in bits (9..12); writes the configuration register
  // as WRITE SCRATCHPAD would. Ignored by a DS18S20.
  void set_resolution(int bits);
  // Replaces what READ SCRATCHPAD returns (all nine bytes, CRC included,
  // sent as given) until cleared.
  void set_scratchpad_override(std::optional<std::array<std::uint8_t, 9>> bytes);
  // The scratchpad as it stands (byte 8 is the CRC of bytes 0..7).
  std::array<std::uint8_t, 9> scratchpad(rtl::TimePoint now) const;
  // A parasite-powered device pulls READ POWER SUPPLY low, and converts
  // only while the master holds the bus at the strong pull-up: from right
  // after its CONVERT T for (nearly) its conversion time. A slot, a reset
  // or the end of the pull-up before that browns it out, and it comes back
  // with its power-on scratchpad (85 degrees, byte 6 0x0C).
  void set_parasite(bool parasite);
  // Times the device browned out (a parasite conversion without power).
  int brownouts() const;
  // Conversion time at the current resolution.
  rtl::Duration conversion_time() const;
  // Number of CONVERT T commands received.
  int conversions() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace onewire::sim
