// The DS18B20 and DS18S20 models of the simulated bus: scratchpads,
// conversions, thresholds and alarms as the datasheets give them.
#include "onewire/sim/ds18x20.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "onewire/crc.hpp"
#include "support/sim_link_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using testing_support::Scratchpad;
using testing_support::temp_bytes;
using Ds18x20Model = testing_support::SimLinkFixture;

TEST_F(Ds18x20Model, PowerUpScratchpadsCarryValidCrc) {
  auto b20 = add_sensor(0x28, 1);
  EXPECT_EQ(read_scratchpad(&b20->rom()), (Scratchpad{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}));
  bus->remove(b20->rom());
  auto s20 = add_sensor(0x10, 1);
  EXPECT_EQ(read_scratchpad(&s20->rom()), (Scratchpad{0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0x87}));
}

TEST_F(Ds18x20Model, ReadScratchpadMayStopEarly) {
  auto d = add_sensor(0x28, 1, 20.0);
  convert();
  select(nullptr);
  link.touch_byte(0xBE);
  EXPECT_EQ(link.touch_byte(0xFF), 0x40);
  // The reset ends the read; the next command starts from byte 0.
  EXPECT_EQ(read_scratchpad()[0], 0x40);
}

TEST_F(Ds18x20Model, ConvertBusyUntilTheResolutionsConversionTime) {
  auto d = add_sensor(0x28, 1, 21.5);
  // A genuine part takes 584-615 ms at 12 bits, its own time repeatably,
  // and half as long for every bit less.
  const rtl::Duration twelve = d->conversion_time();
  EXPECT_GE(twelve, rtl::Duration(584ms));
  EXPECT_LE(twelve, rtl::Duration(615ms));
  for (int bits = 9; bits <= 12; ++bits) {
    SCOPED_TRACE(bits);
    d->set_resolution(bits);
    const auto time = twelve / (1 << (12 - bits));
    EXPECT_EQ(d->conversion_time(), time);
    select(nullptr);
    link.touch_byte(0x44);
    EXPECT_EQ(link.touch_bit(1), 0);
    clock.advance(time - 1us);
    EXPECT_EQ(link.touch_bit(1), 0);
    EXPECT_EQ(read_scratchpad()[0], 0x50);  // still the power-up value
    select(nullptr);
    link.touch_byte(0x44);
    clock.advance(time);
    EXPECT_EQ(link.touch_bit(1), 1);
    EXPECT_EQ(temp_bytes(read_scratchpad()), 0x0158);
    EXPECT_EQ(d->conversions(), 2);
    // A fresh device, so that the power-up value shows again.
    bus->remove(d->rom());
    d = add_sensor(0x28, 1, 21.5);
  }
}

TEST_F(Ds18x20Model, Ds18s20ConvertsIn750ms) {
  auto d = add_sensor(0x10, 1, 30.0);
  d->set_resolution(9);  // ignored: the DS18S20 has no configuration register
  EXPECT_EQ(d->conversion_time(), rtl::Duration(750ms));
  select(nullptr);
  link.touch_byte(0x44);
  clock.advance(749ms);
  EXPECT_EQ(link.touch_bit(1), 0);
  clock.advance(1ms);
  EXPECT_EQ(link.touch_bit(1), 1);
  EXPECT_EQ(d->conversions(), 1);
  EXPECT_EQ(temp_bytes(read_scratchpad()), 60);
}

TEST_F(Ds18x20Model, WriteScratchpadTakesThreeBytesOnDs18b20AndTwoOnDs18s20) {
  auto b20 = add_sensor(0x28, 1);
  auto s20 = add_sensor(0x10, 1);
  const rtl::Duration twelve_bits = b20->conversion_time();
  select(&b20->rom());
  write({0x4E, 0x11, 0x22, 0xA0});  // only R1 R0 of the config are kept
  select(&s20->rom());
  write({0x4E, 0x33, 0x44, 0x00});  // the third byte is not stored
  const Scratchpad pb = read_scratchpad(&b20->rom());
  const Scratchpad ps = read_scratchpad(&s20->rom());
  EXPECT_EQ(pb, (Scratchpad{0x50, 0x05, 0x11, 0x22, 0x3F, 0xFF, 0x0C, 0x10, onewire::crc8(pb.data(), 8)}));
  EXPECT_EQ(ps, (Scratchpad{0xAA, 0x00, 0x33, 0x44, 0xFF, 0xFF, 0x0C, 0x10, onewire::crc8(ps.data(), 8)}));
  EXPECT_NE(pb[8], 0x1C);
  EXPECT_EQ(b20->conversion_time(), twelve_bits / 4);  // 10 bits
}

TEST_F(Ds18x20Model, CopyAndRecallKeepThresholdsInEeprom) {
  auto d = add_sensor(0x28, 1);
  select(nullptr);
  write({0x4E, 0x20, 0x10, 0x1F});
  // The EEPROM write keeps a powered part busy for up to 10 ms.
  select(nullptr);
  link.touch_byte(0x48);
  EXPECT_EQ(link.touch_bit(1), 0);
  clock.advance(10ms);
  EXPECT_EQ(link.touch_bit(1), 1);
  EXPECT_EQ(d->eeprom_writes(), 1);
  select(nullptr);
  write({0x4E, 0x7F, 0x80, 0x7F});
  EXPECT_EQ(read_scratchpad()[2], 0x7F);
  // The recall is busy while it runs, too.
  select(nullptr);
  link.touch_byte(0xB8);
  EXPECT_EQ(link.touch_bit(1), 0);
  clock.advance(1ms);
  EXPECT_EQ(link.touch_bit(1), 1);
  const Scratchpad pad = read_scratchpad();
  EXPECT_EQ(pad[2], 0x20);
  EXPECT_EQ(pad[3], 0x10);
  EXPECT_EQ(pad[4], 0x1F);
  EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
}

TEST_F(Ds18x20Model, ReadPowerSupply) {
  // One sensor on its own supply, one powered from the bus.
  const auto built = testing_support::sim_bus_builder(bus).add_sensor(0x28, 1).add_sensor(0x28, 2).parasite();
  const auto powered = built.sensors()[0];
  const auto parasitic = built.sensors()[1];
  const auto power_read = [&](const Rom* rom) {
    select(rom);
    link.touch_byte(0xB4);
    return link.touch_bit(1);
  };
  EXPECT_EQ(power_read(&powered->rom()), 1);
  EXPECT_EQ(power_read(&parasitic->rom()), 0);
  // Addressed together, one parasite-powered sensor pulls the slot low.
  EXPECT_EQ(power_read(nullptr), 0);
  parasitic->set_parasite(false);
  EXPECT_EQ(power_read(nullptr), 1);
}

struct Encoding {
  std::uint8_t family;
  double celsius;
  std::uint16_t bytes;
};

TEST_F(Ds18x20Model, TemperatureEncodingsFromTheDatasheet) {
  const Encoding cases[] = {
      {0x28, 125.0, 0x07D0}, {0x28, 25.0625, 0x0191}, {0x28, 0.0, 0x0000}, {0x28, -0.5, 0xFFF8},
      {0x28, -55.0, 0xFC90}, {0x10, 25.0, 0x0032},    {0x10, -0.5, 0xFFFF}, {0x10, -55.0, 0xFF92},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.celsius);
    auto d = add_sensor(c.family, 7, c.celsius);
    convert();
    const Scratchpad pad = read_scratchpad();
    EXPECT_EQ(temp_bytes(pad), c.bytes);
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
    bus->remove(d->rom());
  }
}

TEST_F(Ds18x20Model, LowerResolutionClearsTheUndefinedBits) {
  auto d = add_sensor(0x28, 1, 25.4375);  // 0x0197
  const std::uint16_t expected[] = {0x0190, 0x0194, 0x0196};
  for (int bits = 9; bits <= 11; ++bits) {
    d->set_resolution(bits);
    convert();
    EXPECT_EQ(temp_bytes(read_scratchpad()), expected[bits - 9]) << bits;
  }
  d->set_temperature(-0.0625);  // 0xFFFF at 12 bits
  d->set_resolution(9);
  convert();
  EXPECT_EQ(temp_bytes(read_scratchpad()), 0xFFF8);
}

TEST_F(Ds18x20Model, Ds18s20ExtendedResolutionMatchesTheTemperature) {
  auto d = add_sensor(0x10, 1);
  for (double t : {25.0, 25.3, 24.74, -0.5, -10.8, 85.0, -54.9, 124.8}) {
    SCOPED_TRACE(t);
    d->set_temperature(t);
    convert();
    const Scratchpad pad = read_scratchpad();
    const auto raw = static_cast<std::int16_t>(temp_bytes(pad));
    ASSERT_EQ(pad[7], 16);
    ASSERT_GE(pad[6], 0);
    ASSERT_LE(pad[6], 16);
    const double extended = (raw >> 1) - 0.25 + (16.0 - pad[6]) / 16.0;
    EXPECT_LE(std::fabs(extended - t), 1.0 / 32);
    // The 9-bit reading agrees with it to half a degree.
    EXPECT_LE(std::fabs(raw / 2.0 - t), 0.25 + 1.0 / 32);
  }
}

TEST_F(Ds18x20Model, AlarmFlagFollowsEachModelsRule) {
  // TH = 25, TL = 10 on both; DS18B20 alarms at T >= TH, DS18S20 at T > TH.
  auto b20 = add_sensor(0x28, 1);
  auto s20 = add_sensor(0x10, 1);
  select(&b20->rom());
  write({0x4E, 25, 10, 0x7F});
  select(&s20->rom());
  write({0x4E, 25, 10});
  struct Step {
    double celsius;
    bool b20, s20;
  };
  for (const Step s : {Step{25.0, true, false}, Step{25.6, true, false}, Step{26.0, true, true},
                       Step{17.0, false, false}, Step{10.0, true, true}, Step{-40.0, true, true}}) {
    SCOPED_TRACE(s.celsius);
    b20->set_temperature(s.celsius);
    s20->set_temperature(s.celsius);
    convert();
    const auto now = clock.now();
    EXPECT_EQ(b20->alarm(now), s.b20);
    EXPECT_EQ(s20->alarm(now), s.s20);
  }
}

TEST_F(Ds18x20Model, ScratchpadOverrideIsSentVerbatim) {
  auto d = add_sensor(0x28, 1);
  const Scratchpad bad{1, 2, 3, 4, 5, 6, 7, 8, 9};
  d->set_scratchpad_override(bad);
  EXPECT_EQ(read_scratchpad(), bad);
  d->set_scratchpad_override(std::nullopt);
  EXPECT_EQ(read_scratchpad()[8], 0x1C);
}

}  // namespace
