// DS18B20-like thermometer models: the genuine DS18B20 (family 0x28), the
// DS18S20 (0x10), DS1822 (0x22), DS1825 (0x3B) and the DS18B20 clone
// families (ThermometerFamily), each with its scratchpad, configuration
// register, conversion time, power supply, EEPROM and undocumented codes
// as published research measured them on real parts.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "onewire/sim/bus.hpp"
#include "onewire/sim/clone_family.hpp"

namespace onewire::sim {

class QVDS_API Ds18x20 : public Device {
 public:
  // A count meaning "every one from now on" (skip_conversions,
  // fail_conversions).
  static constexpr int kEvery = -1;

  // `rom[0]` selects the model: 0x10 DS18S20, 0x22 DS1822, 0x3B DS1825,
  // anything else the genuine DS18B20 (family_for_code).
  explicit Ds18x20(const Rom& rom, double celsius = 25.0);
  // A part of `family` answering to `rom`, whatever pattern the ROM
  // follows (some clones' ROMs can be rewritten).
  Ds18x20(const Rom& rom, ThermometerFamily family, double celsius = 25.0);
  ~Ds18x20() override;

  const Rom& rom() const override;
  bool on_reset(rtl::TimePoint now) override;
  bool drive(rtl::TimePoint now) override;
  void sample(bool line, rtl::TimePoint now) override;
  bool alarm(rtl::TimePoint now) override;
  bool asleep() override;
  void on_strong_pullup(bool on, rtl::TimePoint now) override;
  bool holds_line_low(rtl::TimePoint now) override;

  // --- the part ---
  ThermometerFamily family() const;
  // The temperature the next conversion measures.
  void set_temperature(double celsius);
  double temperature() const;
  // Resolution in bits (9..12); writes the configuration register as
  // WRITE SCRATCHPAD's third byte would (so a fixed-12-bit clone stays at
  // 12), without any other effect of that command. Ignored by a DS18S20.
  void set_resolution(int bits);
  // Conversion time at the current resolution. Each chip has its own, from
  // its family's published range and its ROM; a DS18S20 takes 750 ms.
  rtl::Duration conversion_time() const;
  // Number of CONVERT T commands received (also those skipped).
  int conversions() const;

  // --- scratchpad ---
  // Replaces what READ SCRATCHPAD returns (all nine bytes, CRC included,
  // sent as given) until cleared.
  void set_scratchpad_override(std::optional<std::array<std::uint8_t, 9>> bytes);
  // The scratchpad as it stands (byte 8 is the CRC of bytes 0..7).
  std::array<std::uint8_t, 9> scratchpad(rtl::TimePoint now) const;

  // --- EEPROM ---
  // TH, TL and configuration as the part loads them at power-up and on
  // RECALL E2: its EEPROM or, on a part without one (D1, F), its fixed
  // values. Setting them also loads them into the scratchpad; the
  // configuration goes through the part's register as a write would (a
  // DS18S20 ignores it).
  void set_power_up_settings(std::uint8_t th, std::uint8_t tl, std::uint8_t config);
  std::array<std::uint8_t, 3> power_up_settings() const;
  // COPY SCRATCHPAD commands received, whether or not anything was stored.
  int copy_commands() const;
  // Copies that reached the EEPROM's cells (counting those a worn EEPROM
  // no longer kept): powered parts store about 10 ms after COPY
  // SCRATCHPAD, parasite-powered ones only under a strong pull-up of at
  // least 10 ms right after it. Family C keeps about 8 writes, the others
  // 50 000; D1 and F have no EEPROM and store nothing.
  int eeprom_writes() const;
  // Copies the part had before it came onto this bus (wear).
  void set_eeprom_writes(int writes);

  // --- power ---
  // A parasite-powered device pulls READ POWER SUPPLY low, and converts
  // only while the master holds the bus at the strong pull-up: from right
  // after its CONVERT T for (nearly) its conversion time. A slot, a reset
  // or the end of the pull-up before that browns it out, and it comes back
  // with its power-on scratchpad (85 degrees, byte 6 0x0C). Families differ
  // (D1, G and H ride on a capacitor; D2 and F cannot convert on parasite
  // power: see set_parasite_works).
  void set_parasite(bool parasite);
  // Whether this chip converts on parasite power. By family: D1 parts
  // whose hidden register starts 06 (the default) and D2 cannot, nor can F
  // with VDD tied to ground (the default; true models VDD left floating).
  // A part that cannot fails its parasite conversions its own way: D1
  // leaves the line alone and keeps its reading, D2 holds the line low for
  // its conversion time, the others lose power when it ends.
  void set_parasite_works(bool works);
  // Answer READ POWER SUPPLY as parasite-powered although powered (family
  // C after DQ came up before VDD).
  void set_reports_parasite(bool reports);
  // Times the device lost power during a conversion (browned out).
  int brownouts() const;
  // The supply went away at `now` for `off` and came back: every command,
  // conversion and EEPROM write stops, and the scratchpad goes back to its
  // power-up contents unless the part keeps its RAM that long (D1 on its
  // capacitor for minutes, G and H for 100 ms).
  void power_cycle(rtl::TimePoint now, rtl::Duration off);

  // --- faults ---
  // The next `count` CONVERT T (kEvery: all) are ignored: the line stays
  // released and the scratchpad keeps its power-up or last value.
  void skip_conversions(int count);
  // The next `count` conversions (kEvery: all) run their time and end in
  // the failed value 0x07FF (127.94 degrees), byte 6 as the family leaves
  // it after a failure.
  void fail_conversions(int count);
  // The next `count` READ SCRATCHPAD answers carry one wrong bit (bit 3 of
  // the temperature's high byte), so their CRC fails.
  void corrupt_reads(int count);
  // Every `period`-th READ SCRATCHPAD answer carries that wrong bit; 0 ends
  // it.
  void corrupt_every(int period);

  // --- what a host sent ---
  // Function codes received that a host must never send (94, 96, A3, 66,
  // AB, 28 and every code that is neither documented nor read safely by
  // the clone research), in the order they came. COPY SCRATCHPAD (48)
  // is counted by copy_commands() instead.
  std::vector<std::uint8_t> forbidden_commands() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A thermometer of `family` with make_family_rom(family, serial).
QVDS_API std::shared_ptr<Ds18x20> make_thermometer(ThermometerFamily family, std::uint64_t serial,
                                                   double celsius = 25.0);

}  // namespace onewire::sim
