// The simulated 1-Wire bus and its device models, driven through the same
// Link interface the driver uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "support/adapter_support.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::SearchPass;
using onewire::Speed;
using onewire::sim::Ds18x20;
using onewire::sim::SimBus;
using onewire::sim::SimLink;
using Scratchpad = std::array<std::uint8_t, 9>;

// Time moves only when someone sleeps on it; `overshoot` models a sleep
// that returns late.
class ManualClock final : public rtl::Clock {
 public:
  rtl::TimePoint now() override { return rtl::TimePoint(rtl::Duration(ns_.load())); }
  void sleep_for(rtl::Duration d) override {
    sleeps.push_back(d);
    ns_ += (d + overshoot).count();
  }
  void advance(rtl::Duration d) { ns_ += d.count(); }

  std::vector<rtl::Duration> sleeps;
  rtl::Duration overshoot{0};

 private:
  std::atomic<std::int64_t> ns_{1'000'000'000};
};

struct Fixture : ::testing::Test {
  Fixture() { bus->set_device_clock(&clock); }

  std::shared_ptr<Ds18x20> add_sensor(std::uint8_t family, std::uint64_t serial, double celsius = 25.0) {
    auto d = std::make_shared<Ds18x20>(onewire::sim::make_rom(family, serial), celsius);
    bus->add(d);
    return d;
  }

  void write(std::initializer_list<int> bytes) {
    for (int b : bytes) link.touch_byte(b);
  }

  void write_rom(const Rom& rom) {
    for (auto b : rom) link.touch_byte(b);
  }

  // Reset, then MATCH ROM `rom` or, with none, SKIP ROM.
  void select(const Rom* rom) {
    ASSERT_EQ(link.reset(), onewire::kResetPresence);
    if (rom != nullptr) {
      link.touch_byte(0x55);
      write_rom(*rom);
    } else {
      link.touch_byte(0xCC);
    }
  }

  Scratchpad read_scratchpad(const Rom* rom = nullptr) {
    select(rom);
    link.touch_byte(0xBE);
    Scratchpad pad{};
    for (auto& b : pad) b = static_cast<std::uint8_t>(link.touch_byte(0xFF));
    return pad;
  }

  void convert(const Rom* rom = nullptr) {
    select(rom);
    link.touch_byte(0x44);
    clock.advance(750ms);
  }

  // Every ROM on the bus in search order, by the AN187 multi-pass loop.
  std::vector<Rom> search_all(bool alarm_only = false) { return testing_support::search_all(link, alarm_only); }

  ManualClock clock;
  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  SimLink link{bus};
};

// AN187 order: the first differing bit in bus order (byte 0 LSB first)
// decides, and the ROM with the 0 there comes first.
bool bus_order_less(const Rom& a, const Rom& b) {
  for (int i = 0; i < 64; ++i) {
    const int x = (a[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1;
    const int y = (b[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1;
    if (x != y) return x < y;
  }
  return false;
}

std::uint16_t temp_bytes(const Scratchpad& pad) { return static_cast<std::uint16_t>(pad[0] | (pad[1] << 8)); }

TEST(MakeRom, SerialLeastSignificantByteFirstAndCrcInByteSeven) {
  const Rom rom = onewire::sim::make_rom(0x02, 0x0001B81C);
  EXPECT_EQ(rom, (Rom{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2}));
}

TEST_F(Fixture, EmptyBusHasNoPresenceAndSearchFindsNothing) {
  EXPECT_EQ(link.reset(), onewire::kResetNoPresence);
  SearchPass pass;
  EXPECT_EQ(link.search(pass), 0);
}

TEST_F(Fixture, SearchFindsEveryDeviceOnceInBusOrder) {
  std::vector<Rom> roms;
  // Two sensors that share the first 55 bits, a neighbour of one of them,
  // an older family that must come first, and a ROM-only device.
  roms.push_back(add_sensor(0x28, 0x000000000001)->rom());
  roms.push_back(add_sensor(0x28, 0x800000000001)->rom());
  roms.push_back(add_sensor(0x28, 0x000000000003)->rom());
  roms.push_back(add_sensor(0x10, 0x000000000001)->rom());
  const Rom plain = onewire::sim::make_rom(0x01, 0x123456789ABC);
  bus->add(onewire::sim::make_rom_device(plain));
  roms.push_back(plain);

  const std::vector<Rom> found = search_all();
  std::vector<Rom> expected = roms;
  std::sort(expected.begin(), expected.end(), bus_order_less);
  EXPECT_EQ(found, expected);
  const auto pos = [&](std::uint8_t family) {
    return std::find_if(found.begin(), found.end(), [&](const Rom& r) { return r[0] == family; }) - found.begin();
  };
  EXPECT_LT(pos(0x10), pos(0x28));

  ASSERT_TRUE(bus->remove(roms[1]));
  EXPECT_FALSE(bus->remove(roms[1]));
  std::erase(expected, roms[1]);
  EXPECT_EQ(search_all(), expected);
}

TEST_F(Fixture, SearchPassReportsTheFamilyDiscrepancy) {
  add_sensor(0x10, 1);
  add_sensor(0x10, 2);
  add_sensor(0x28, 1);
  SearchPass pass;
  ASSERT_EQ(link.search(pass), 1);
  EXPECT_EQ(pass.rom[0], 0x10);
  // 0x10 and 0x28 first differ in bit 4 (1-based); the two of family 0x10
  // differ only in the serial.
  EXPECT_EQ(pass.last_family_zero, 4);
  EXPECT_GT(pass.last_zero, 8);
  // Skipping the family goes straight to the next one.
  pass.last_discrepancy = pass.last_family_zero;
  ASSERT_EQ(link.search(pass), 1);
  EXPECT_EQ(pass.rom[0], 0x28);
  EXPECT_EQ(pass.last_family_zero, 0);
  EXPECT_EQ(pass.last_zero, 0);

  // Families that differ only in their top bit: bit 8 still counts.
  bus->remove(onewire::sim::make_rom(0x10, 2));
  bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x90, 1)));
  pass = SearchPass{};
  ASSERT_EQ(link.search(pass), 1);
  EXPECT_EQ(pass.rom[0], 0x10);
  EXPECT_EQ(pass.last_family_zero, 8);
}

// A device that records what the bus shows it and holds the line low in
// every slot it is told to.
class Probe final : public onewire::sim::Device {
 public:
  explicit Probe(std::uint64_t serial) : rom_(onewire::sim::make_rom(0x01, serial)) {}
  const Rom& rom() const override { return rom_; }
  bool on_reset(rtl::TimePoint) override { return false; }
  bool drive(rtl::TimePoint) override {
    ++drives;
    return !pull_low;
  }
  void sample(bool line, rtl::TimePoint) override { seen.push_back(line); }
  bool alarm(rtl::TimePoint) override { return false; }

  Rom rom_;
  bool pull_low = false;
  int drives = 0;
  std::vector<bool> seen;
};

TEST_F(Fixture, EverySlotIsTheWiredAndOfAllDevices) {
  auto a = std::make_shared<Probe>(1);
  auto b = std::make_shared<Probe>(2);
  bus->add(a);
  bus->add(b);
  // Devices that answer no presence leave the reset without one.
  EXPECT_EQ(link.reset(), onewire::kResetNoPresence);
  EXPECT_EQ(link.touch_bit(0), 0);
  EXPECT_EQ(link.touch_bit(1), 1);
  b->pull_low = true;
  EXPECT_EQ(link.touch_bit(1), 0);
  EXPECT_EQ(link.touch_byte(0xFF), 0);
  // Both were asked in every slot, also where the master held the line low
  // or another device already did, and both saw the same level.
  EXPECT_EQ(a->drives, 11);
  EXPECT_EQ(b->drives, 11);
  EXPECT_EQ(a->seen, (std::vector<bool>{false, true, false, false, false, false, false, false, false, false, false}));
  EXPECT_EQ(b->seen, a->seen);
}

TEST_F(Fixture, MatchRomAddressesOneDevice) {
  auto a = add_sensor(0x28, 1);
  auto b = add_sensor(0x28, 2);
  select(&b->rom());
  write({0x4E, 0x12, 0x34, 0x1F});
  const auto now = clock.now();
  EXPECT_EQ(b->scratchpad(now)[2], 0x12);
  EXPECT_EQ(b->scratchpad(now)[3], 0x34);
  EXPECT_EQ(a->scratchpad(now)[2], 0x4B);
  EXPECT_EQ(a->scratchpad(now)[3], 0x46);

  // A ROM that is not on the bus selects nobody: the line stays high.
  const Rom absent = onewire::sim::make_rom(0x28, 3);
  const Scratchpad pad = read_scratchpad(&absent);
  Scratchpad blank;
  blank.fill(0xFF);
  EXPECT_EQ(pad, blank);
}

TEST_F(Fixture, ReadRomOnASingleDevice) {
  auto d = add_sensor(0x28, 0xA1B2C3D4E5F6);
  ASSERT_EQ(link.reset(), onewire::kResetPresence);
  link.touch_byte(0x33);
  Rom rom{};
  for (auto& b : rom) b = static_cast<std::uint8_t>(link.touch_byte(0xFF));
  EXPECT_EQ(rom, d->rom());
  // READ ROM selects the device for a function command.
  link.touch_byte(0xBE);
  EXPECT_EQ(link.touch_byte(0xFF), 0x50);
}

TEST_F(Fixture, PowerUpScratchpadsCarryValidCrc) {
  auto b20 = add_sensor(0x28, 1);
  EXPECT_EQ(read_scratchpad(&b20->rom()), (Scratchpad{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}));
  bus->remove(b20->rom());
  auto s20 = add_sensor(0x10, 1);
  EXPECT_EQ(read_scratchpad(&s20->rom()), (Scratchpad{0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0x87}));
}

TEST_F(Fixture, ReadScratchpadMayStopEarly) {
  auto d = add_sensor(0x28, 1, 20.0);
  convert();
  select(nullptr);
  link.touch_byte(0xBE);
  EXPECT_EQ(link.touch_byte(0xFF), 0x40);
  // The reset ends the read; the next command starts from byte 0.
  EXPECT_EQ(read_scratchpad()[0], 0x40);
}

TEST_F(Fixture, ConvertBusyUntilTheResolutionsConversionTime) {
  auto d = add_sensor(0x28, 1, 21.5);
  for (int bits = 9; bits <= 12; ++bits) {
    SCOPED_TRACE(bits);
    d->set_resolution(bits);
    const auto time = std::chrono::duration_cast<rtl::Duration>(750ms) / (1 << (12 - bits));
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

TEST_F(Fixture, Ds18s20ConvertsIn750ms) {
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

TEST_F(Fixture, WriteScratchpadTakesThreeBytesOnDs18b20AndTwoOnDs18s20) {
  auto b20 = add_sensor(0x28, 1);
  auto s20 = add_sensor(0x10, 1);
  select(&b20->rom());
  write({0x4E, 0x11, 0x22, 0xA0});  // only R1 R0 of the config are kept
  select(&s20->rom());
  write({0x4E, 0x33, 0x44, 0x00});  // the third byte is not stored
  const Scratchpad pb = read_scratchpad(&b20->rom());
  const Scratchpad ps = read_scratchpad(&s20->rom());
  EXPECT_EQ(pb, (Scratchpad{0x50, 0x05, 0x11, 0x22, 0x3F, 0xFF, 0x0C, 0x10, onewire::crc8(pb.data(), 8)}));
  EXPECT_EQ(ps, (Scratchpad{0xAA, 0x00, 0x33, 0x44, 0xFF, 0xFF, 0x0C, 0x10, onewire::crc8(ps.data(), 8)}));
  EXPECT_NE(pb[8], 0x1C);
  EXPECT_EQ(b20->conversion_time(), rtl::Duration(187500us));
}

TEST_F(Fixture, CopyAndRecallKeepThresholdsInEeprom) {
  auto d = add_sensor(0x28, 1);
  select(nullptr);
  write({0x4E, 0x20, 0x10, 0x1F});
  select(nullptr);
  link.touch_byte(0x48);
  EXPECT_EQ(link.touch_bit(1), 1);
  select(nullptr);
  write({0x4E, 0x7F, 0x80, 0x7F});
  EXPECT_EQ(read_scratchpad()[2], 0x7F);
  select(nullptr);
  link.touch_byte(0xB8);
  EXPECT_EQ(link.touch_bit(1), 1);
  const Scratchpad pad = read_scratchpad();
  EXPECT_EQ(pad[2], 0x20);
  EXPECT_EQ(pad[3], 0x10);
  EXPECT_EQ(pad[4], 0x1F);
  EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
}

TEST_F(Fixture, ReadPowerSupply) {
  auto d = add_sensor(0x28, 1);
  select(nullptr);
  link.touch_byte(0xB4);
  EXPECT_EQ(link.touch_bit(1), 1);
  d->set_parasite(true);
  select(nullptr);
  link.touch_byte(0xB4);
  EXPECT_EQ(link.touch_bit(1), 0);
}

struct Encoding {
  std::uint8_t family;
  double celsius;
  std::uint16_t bytes;
};

TEST_F(Fixture, TemperatureEncodingsFromTheDatasheet) {
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

TEST_F(Fixture, LowerResolutionClearsTheUndefinedBits) {
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

TEST_F(Fixture, Ds18s20ExtendedResolutionMatchesTheTemperature) {
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

TEST_F(Fixture, AlarmFlagFollowsEachModelsRule) {
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

TEST_F(Fixture, AlarmSearchFindsOnlyAlarmingDevices) {
  // Factory thresholds: TL = 70, TH = 75.
  add_sensor(0x28, 1, 72.0);
  auto hot = add_sensor(0x28, 2, 90.0);
  auto hot_s20 = add_sensor(0x10, 3, 90.0);
  bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 4)));
  // No conversion yet: nobody alarms, although 85 °C is above TH.
  EXPECT_TRUE(search_all(true).empty());
  convert();
  std::vector<Rom> expected{hot->rom(), hot_s20->rom()};
  std::sort(expected.begin(), expected.end(), bus_order_less);
  EXPECT_EQ(search_all(true), expected);
  EXPECT_EQ(search_all(false).size(), 4u);
}

TEST_F(Fixture, ScratchpadOverrideIsSentVerbatim) {
  auto d = add_sensor(0x28, 1);
  const Scratchpad bad{1, 2, 3, 4, 5, 6, 7, 8, 9};
  d->set_scratchpad_override(bad);
  EXPECT_EQ(read_scratchpad(), bad);
  d->set_scratchpad_override(std::nullopt);
  EXPECT_EQ(read_scratchpad()[8], 0x1C);
}

TEST_F(Fixture, ShortedBus) {
  add_sensor(0x28, 1);
  bus->set_short(true);
  EXPECT_EQ(link.reset(), onewire::kResetShort);
  EXPECT_EQ(link.touch_bit(1), 0);
  EXPECT_EQ(link.touch_byte(0xFF), 0);
  SearchPass pass;
  EXPECT_EQ(link.search(pass), onewire::kErrBusShort);
  bus->set_short(false);
  EXPECT_EQ(link.reset(), onewire::kResetPresence);
  EXPECT_EQ(search_all().size(), 1u);
}

TEST_F(Fixture, BusTimeAndCounters) {
  add_sensor(0x28, 1);
  link.reset();
  link.touch_byte(0xCC);
  EXPECT_EQ(bus->bus_time(), rtl::Duration(1096us + 480us));
  EXPECT_EQ(bus->resets(), 1u);
  EXPECT_EQ(bus->slots(), 8u);
  bus->reset_bus_time();
  EXPECT_EQ(link.set_speed(Speed::kOverdrive), static_cast<int>(Speed::kOverdrive));
  link.reset();
  link.touch_bit(1);
  link.touch_byte(0xCC);
  EXPECT_EQ(bus->bus_time(), rtl::Duration(138us + 90us));
  EXPECT_EQ(bus->slots(), 17u);
  bus->reset_bus_time();
  link.set_speed(Speed::kRelaxed);
  link.reset();
  link.touch_bit(1);
  EXPECT_EQ(bus->bus_time(), rtl::Duration(1096us + 60us));
}

TEST_F(Fixture, PacingKeepsARunningDeadline) {
  ManualClock pace;
  pace.overshoot = -50us;  // every sleep returns early
  bus->set_pacing(&pace);
  link.reset();
  link.touch_byte(0xCC);
  link.touch_bit(1);
  // What an early return left unslept is added to the next wait.
  EXPECT_EQ(pace.sleeps, (std::vector<rtl::Duration>{1096us, 530us, 110us}));
  // Idle time is not credited: after a pause the next primitive still
  // waits its full cost.
  pace.advance(10ms);
  link.reset();
  EXPECT_EQ(pace.sleeps.back(), rtl::Duration(1096us));
  bus->set_pacing(nullptr);
  link.reset();
  EXPECT_EQ(pace.sleeps.size(), 4u);
}

TEST(Link, DefaultTouchByteIsEightSlotsAndPropagatesErrors) {
  struct Recorder final : onewire::Link {
    int open() override { return 1; }
    void close() override {}
    bool is_open() const override { return true; }
    int reset() override { return onewire::kResetPresence; }
    int touch_bit(int bit) override {
      written.push_back(bit);
      if (static_cast<int>(written.size()) == fail_at) return onewire::kErrPortIo;
      return bit & (reply >> (written.size() - 1));
    }
    int set_speed(Speed) override { return 0; }
    const char* name() const override { return "recorder"; }
    std::vector<int> written;
    int reply = 0xFF;
    int fail_at = 0;
  } link;
  link.reply = 0x5A;
  EXPECT_EQ(link.touch_byte(0xF3), 0x52);
  EXPECT_EQ(link.written, (std::vector<int>{1, 1, 0, 0, 1, 1, 1, 1}));
  link.written.clear();
  link.fail_at = 3;
  EXPECT_EQ(link.touch_byte(0xFF), onewire::kErrPortIo);
  EXPECT_EQ(link.written.size(), 3u);
  link.written.clear();
  link.fail_at = 12;  // the second triplet's first read
  SearchPass pass;
  EXPECT_EQ(link.search(pass), onewire::kErrPortIo);
  EXPECT_EQ(link.written.size(), 12u);
}

TEST(SimLinkBasics, OpenCloseAndName) {
  SimLink link(std::make_shared<SimBus>());
  EXPECT_FALSE(link.is_open());
  EXPECT_EQ(link.open(), 1);
  EXPECT_TRUE(link.is_open());
  link.close();
  EXPECT_FALSE(link.is_open());
  EXPECT_STREQ(link.name(), "Simulated 1-Wire bus");
}

// A worker reads the bus while the test thread changes temperatures and
// the device set; run under TSan this checks the locking.
TEST(SimBusThreads, DevicesChangeWhileAMasterWorks) {
  rtl::SkipClock clock;
  auto bus = std::make_shared<SimBus>();
  bus->set_device_clock(&clock);
  bus->set_pacing(&clock);
  auto sensor = std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 1), 10.0);
  bus->add(sensor);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::atomic<int> bad{0};
  std::thread worker([&] {
    SimLink link(bus);
    while (!stop.load()) {
      link.reset();
      link.touch_byte(0x55);
      for (auto b : sensor->rom()) link.touch_byte(b);
      link.touch_byte(0x44);
      clock.sleep_for(750ms);
      link.reset();
      link.touch_byte(0x55);
      for (auto b : sensor->rom()) link.touch_byte(b);
      link.touch_byte(0xBE);
      Scratchpad pad{};
      for (auto& b : pad) b = static_cast<std::uint8_t>(link.touch_byte(0xFF));
      const int t = static_cast<std::int16_t>(temp_bytes(pad));
      if (onewire::crc8(pad.data(), 9) != 0 || (t != 160 && t != 320)) ++bad;
      ++reads;
    }
  });
  const Rom other = onewire::sim::make_rom(0x28, 2);
  for (int i = 0; i < 200 || reads.load() < 20; ++i) {
    sensor->set_temperature(i % 2 == 0 ? 20.0 : 10.0);
    bus->add(std::make_shared<Ds18x20>(other));
    bus->remove(other);
    if (i > 1'000'000) break;
  }
  stop = true;
  worker.join();
  EXPECT_GE(reads.load(), 20);
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
