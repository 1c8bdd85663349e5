// A simulated bus on port 1 (COM1) with our simulated driver installed, and
// a clock on which every wait returns at once.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "onewire/tmex_driver.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "rtl/clock.hpp"
#include "support/sim_bus_builder.hpp"

namespace testing_support {

class SimFixture : public ::testing::Test {
 protected:
  SimFixture()
      : bus(std::make_shared<onewire::sim::SimBus>()),
        driver(std::make_shared<onewire::sim::SimDriver>()),
        clock_guard(clock),
        driver_guard(driver) {
    driver->attach(1, bus);
  }

  // Adds a DS18B20 (family 0x28) or DS18S20 (0x10) with this serial.
  std::shared_ptr<onewire::sim::Ds18x20> add_thermometer(std::uint8_t family, std::uint64_t serial,
                                                         double celsius) {
    return sim_bus_builder(bus).add_sensor(family, serial, celsius).last_sensor();
  }
  onewire::Rom add_rom_device(std::uint8_t family, std::uint64_t serial) {
    const onewire::Rom rom = onewire::sim::make_rom(family, serial);
    sim_bus_builder(bus).add_rom_device(rom);
    return rom;
  }

  rtl::SkipClock clock;
  std::shared_ptr<onewire::sim::SimBus> bus;
  std::shared_ptr<onewire::sim::SimDriver> driver;

 private:
  rtl::ClockGuard clock_guard;
  onewire::DriverGuard driver_guard;
};

}  // namespace testing_support
