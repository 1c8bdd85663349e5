// The simulated 1-Wire bus and the ROM commands every simulated device
// answers, driven through the same Link interface the driver uses.
#include "onewire/sim/bus.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "support/sim_link_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::SearchPass;
using onewire::Speed;
using onewire::sim::Ds18x20;
using onewire::sim::SimLink;
using testing_support::Scratchpad;
using testing_support::temp_bytes;
using testing_support::ManualClock;
using SimBusTest = testing_support::SimLinkFixture;

TEST(MakeRom, SerialLeastSignificantByteFirstAndCrcInByteSeven) {
  const Rom rom = onewire::sim::make_rom(0x02, 0x0001B81C);
  EXPECT_EQ(rom, (Rom{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2}));
}

TEST_F(SimBusTest, EmptyBusHasNoPresenceAndSearchFindsNothing) {
  EXPECT_EQ(link.reset(), onewire::kResetNoPresence);
  SearchPass pass;
  EXPECT_EQ(link.search(pass), 0);
}

TEST_F(SimBusTest, SearchFindsEveryDeviceOnceInBusOrder) {
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
  std::sort(expected.begin(), expected.end(), testing_support::bus_order_less);
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

TEST_F(SimBusTest, EverySlotIsTheWiredAndOfAllDevices) {
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

TEST_F(SimBusTest, MatchRomAddressesOneDevice) {
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

TEST_F(SimBusTest, ReadRomOnASingleDevice) {
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

TEST_F(SimBusTest, AlarmSearchFindsOnlyAlarmingDevices) {
  // Factory thresholds: TL = 70, TH = 75.
  add_sensor(0x28, 1, 72.0);
  auto hot = add_sensor(0x28, 2, 90.0);
  auto hot_s20 = add_sensor(0x10, 3, 90.0);
  bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 4)));
  // No conversion yet: nobody alarms, although 85 °C is above TH.
  EXPECT_TRUE(search_all(true).empty());
  convert();
  std::vector<Rom> expected{hot->rom(), hot_s20->rom()};
  std::sort(expected.begin(), expected.end(), testing_support::bus_order_less);
  EXPECT_EQ(search_all(true), expected);
  EXPECT_EQ(search_all(false).size(), 4u);
}

TEST_F(SimBusTest, ShortedBus) {
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

TEST_F(SimBusTest, BusTimeAndCounters) {
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

TEST_F(SimBusTest, PacingKeepsARunningDeadline) {
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

// What a worker has done on the bus, counted, for the test thread to
// wait on.
class BusSteps {
 public:
  void add() {
    {
      std::lock_guard lock(mutex_);
      ++count_;
    }
    changed_.notify_all();
  }
  std::uint64_t count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  // True once the count has passed `seen`; false when `deadline` came first.
  bool wait_past(std::uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return count_ > seen; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t count_ = 0;
};

// A worker reads the bus while the test thread changes temperatures and
// the device set; run under TSan this checks the locking. The test thread
// makes each change only after the worker has had the bus once more since
// the last: the bus's lock is not fair, and an optimised thread that does
// nothing but change the bus would otherwise keep it to itself.
TEST(SimBusThreads, DevicesChangeWhileAMasterWorks) {
  rtl::SkipClock clock;
  auto builder = testing_support::sim_bus_builder().device_clock(&clock).pacing(&clock).add_sensor(0x28, 1, 10.0);
  const auto bus = builder.build();
  const auto sensor = builder.last_sensor();
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::atomic<int> bad{0};
  BusSteps steps;
  std::thread worker([&] {
    SimLink link(bus);
    const auto reset = [&] {
      link.reset();
      steps.add();
    };
    const auto touch = [&](std::uint8_t b) {
      const int answer = link.touch_byte(b);
      steps.add();
      return static_cast<std::uint8_t>(answer);
    };
    while (!stop.load()) {
      reset();
      touch(0x55);
      for (auto b : sensor->rom()) touch(b);
      touch(0x44);
      clock.sleep_for(750ms);
      reset();
      touch(0x55);
      for (auto b : sensor->rom()) touch(b);
      touch(0xBE);
      Scratchpad pad{};
      for (auto& b : pad) b = touch(0xFF);
      const int t = static_cast<std::int16_t>(temp_bytes(pad));
      if (onewire::crc8(pad.data(), 9) != 0 || (t != 160 && t != 320)) ++bad;
      ++reads;
    }
  });
  const Rom other = onewire::sim::make_rom(0x28, 2);
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int changes = 0;
  bool worker_kept_up = true;
  while (changes < 200 || reads.load() < 20) {
    const std::uint64_t seen = steps.count();
    sensor->set_temperature(changes % 2 == 0 ? 20.0 : 10.0);
    bus->add(std::make_shared<Ds18x20>(other));
    bus->remove(other);
    ++changes;
    worker_kept_up = steps.wait_past(seen, deadline);
    if (!worker_kept_up) break;
  }
  stop = true;
  worker.join();
  EXPECT_TRUE(worker_kept_up) << "the worker stopped using the bus after " << reads.load() << " reads and " << changes
                              << " changes";
  EXPECT_GE(reads.load(), 20);
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
