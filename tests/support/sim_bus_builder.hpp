// A simulated bus built in one expression, the way the suites want their
// fixtures:
//
//   auto bus = testing_support::sim_bus_builder().add_sensor(rom, 21.5).parasite().build();
//
// parasite() and resolution() apply to the sensor added last. The builder
// keeps the sensors it added, in order, for tests that change them later,
// and it may add to a bus that stands (a fixture's).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "rtl/clock.hpp"

namespace testing_support {

class SimBusBuilder {
 public:
  SimBusBuilder() : bus_(std::make_shared<onewire::sim::SimBus>()) {}
  explicit SimBusBuilder(std::shared_ptr<onewire::sim::SimBus> bus) : bus_(std::move(bus)) {}

  // A DS18B20 (family 0x28, also 0x22 and 0x3B) or DS18S20 (0x10).
  SimBusBuilder& add_sensor(const onewire::Rom& rom, double celsius = 25.0) {
    sensors_.push_back(std::make_shared<onewire::sim::Ds18x20>(rom, celsius));
    bus_->add(sensors_.back());
    return *this;
  }
  SimBusBuilder& add_sensor(std::uint8_t family, std::uint64_t serial, double celsius = 25.0) {
    return add_sensor(onewire::sim::make_rom(family, serial), celsius);
  }
  // A device with a ROM and nothing else (a DS2401, an unmodelled family).
  SimBusBuilder& add_rom_device(const onewire::Rom& rom) {
    bus_->add(onewire::sim::make_rom_device(rom));
    return *this;
  }
  SimBusBuilder& add_rom_device(std::uint8_t family, std::uint64_t serial) {
    return add_rom_device(onewire::sim::make_rom(family, serial));
  }
  // The sensor added last is powered from the bus.
  SimBusBuilder& parasite(bool on = true) {
    if (const auto s = last_sensor()) s->set_parasite(on);
    return *this;
  }
  // The sensor added last converts at `bits` (DS18B20 only).
  SimBusBuilder& resolution(int bits) {
    if (const auto s = last_sensor()) s->set_resolution(bits);
    return *this;
  }
  // The clock the devices read conversion times from.
  SimBusBuilder& device_clock(rtl::Clock* clock) {
    bus_->set_device_clock(clock);
    return *this;
  }
  // Every reset and slot waits its 1-Wire time on `clock`.
  SimBusBuilder& pacing(rtl::Clock* clock) {
    bus_->set_pacing(clock);
    return *this;
  }

  std::shared_ptr<onewire::sim::SimBus> build() const { return bus_; }
  const std::vector<std::shared_ptr<onewire::sim::Ds18x20>>& sensors() const { return sensors_; }
  std::shared_ptr<onewire::sim::Ds18x20> last_sensor() const {
    if (sensors_.empty()) {
      ADD_FAILURE() << "no sensor added yet";
      return nullptr;
    }
    return sensors_.back();
  }

 private:
  std::shared_ptr<onewire::sim::SimBus> bus_;
  std::vector<std::shared_ptr<onewire::sim::Ds18x20>> sensors_;
};

inline SimBusBuilder sim_bus_builder() { return SimBusBuilder(); }
// Adds to `bus`.
inline SimBusBuilder sim_bus_builder(std::shared_ptr<onewire::sim::SimBus> bus) {
  return SimBusBuilder(std::move(bus));
}

}  // namespace testing_support
