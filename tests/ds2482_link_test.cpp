// The DS2482 backend against the emulated chip: detection of the -100 and
// the -800 and what it refuses, every 1-Wire operation, its busy waits and
// their deadline, the I2C failures (a refused byte, a bus that fails or is
// gone), the -800's channels and the strong pull-up a parasite DS18B20
// needs, which keeps the other channels off the chip until it ends. The
// driver's adapter type 8 has a suite of its own.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/ds2482/ds2482_link.hpp"
#include "onewire/ds2482/chip_address.hpp"
#include "onewire/ds2482/protocol.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::ds2482::Ds2482Link;
using onewire::ds2482::Ds2482Options;
using onewire::ds2482::ChipAddress;
using onewire::sim::Ds18x20;
using onewire::sim::Ds2482Emulator;
using onewire::sim::EmulatedI2cBus;
using onewire::sim::SimBus;
using testing_support::Scratchpad;
using testing_support::SensorBus;
using testing_support::StepClock;
namespace p = onewire::ds2482;

constexpr std::uint8_t kSkipRom = 0xCC;
constexpr std::uint8_t kConvertT = 0x44;
constexpr std::uint8_t kReadScratchpad = 0xBE;

// A device that is no DS2482 at `address`: it takes every byte and reads
// FFh, as many I2C chips do; every other address goes to the bus.
class ForeignDevice final : public p::I2cBus {
 public:
  ForeignDevice(std::unique_ptr<p::I2cBus> bus, std::uint8_t address) : bus_(std::move(bus)), address_(address) {}
  int open() override { return bus_->open(); }
  void close() override { bus_->close(); }
  bool is_open() const override { return bus_->is_open(); }
  int write(std::uint8_t a, const std::uint8_t* d, std::size_t n) override {
    return a == address_ ? p::kI2cOk : bus_->write(a, d, n);
  }
  int read(std::uint8_t a, std::uint8_t* d, std::size_t n) override {
    if (a != address_) return bus_->read(a, d, n);
    for (std::size_t i = 0; i < n; ++i) d[i] = 0xFF;
    return p::kI2cOk;
  }

 private:
  std::unique_ptr<p::I2cBus> bus_;
  std::uint8_t address_;
};

Scratchpad to_pad(const std::uint8_t* bytes) {
  Scratchpad pad{};
  std::copy(bytes, bytes + 9, pad.begin());
  return pad;
}

struct Ds2482Backend : ::testing::Test {
  Ds2482Backend() {
    for (auto& b : channels) b = std::make_shared<SimBus>();
    eight = std::make_shared<Ds2482Emulator>(channels);
    i2c->attach(0x18, chip);
    i2c->attach(0x19, eight);
  }
  std::unique_ptr<Ds2482Link> link(std::uint8_t address = 0x18, int channel = -1, Ds2482Options o = {}) {
    o.clock = &clock;
    return std::make_unique<Ds2482Link>(i2c->connect(), ChipAddress{"/dev/i2c-1", address, channel}, o);
  }
  std::shared_ptr<Ds18x20> add(std::shared_ptr<SimBus> bus, std::uint8_t family, std::uint64_t serial, double celsius,
                               bool parasite = false) {
    return testing_support::sim_bus_builder(std::move(bus))
        .add_sensor(family, serial, celsius)
        .parasite(parasite)
        .last_sensor();
  }
  // READ SCRATCHPAD of one device, in one block.
  Scratchpad read_pad(onewire::Link& l, const Rom& rom) {
    std::array<std::uint8_t, 10> block{};
    block.fill(0xFF);
    block[0] = kReadScratchpad;
    EXPECT_EQ(l.block(&rom, false, block.data(), block.size()), 1);
    EXPECT_EQ(block[0], kReadScratchpad);
    return to_pad(block.data() + 1);
  }
  rtl::Duration timed(const std::function<void()>& f) {
    const auto t0 = clock.now();
    f();
    return clock.now() - t0;
  }

  StepClock clock;
  rtl::ClockGuard guard{clock};
  SensorBus sensors{12};
  std::shared_ptr<Ds2482Emulator> chip = std::make_shared<Ds2482Emulator>(sensors.bus);
  std::array<std::shared_ptr<SimBus>, 8> channels;
  std::shared_ptr<Ds2482Emulator> eight;
  std::shared_ptr<EmulatedI2cBus> i2c = std::make_shared<EmulatedI2cBus>(100'000, &clock);
};

TEST_F(Ds2482Backend, OpenTellsTheHundredFromTheEightHundredAndRefusesWhatIsNotThere) {
  auto hundred = link(0x18);
  EXPECT_STREQ(hundred->name(), "DS2482 I2C 1-Wire bridge");
  ASSERT_EQ(hundred->open(), 1);
  EXPECT_EQ(hundred->channels(), 1);
  EXPECT_STREQ(hundred->name(), "DS2482-100 I2C 1-Wire bridge");
  // Set up with the active pull-up, RST cleared by that write.
  EXPECT_EQ(chip->config(), p::kCfgApu);
  EXPECT_EQ(chip->status(clock.now()), p::kStLl);
  EXPECT_TRUE(hundred->can_strong_pullup());
  hundred->close();
  EXPECT_FALSE(hundred->is_open());

  for (int wanted : {-1, 0, 5}) {
    auto eight_link = link(0x19, wanted);
    ASSERT_EQ(eight_link->open(), 1) << wanted;
    EXPECT_EQ(eight_link->channels(), 8);
    EXPECT_EQ(eight->channel(), wanted < 0 ? 0 : wanted);
    EXPECT_STREQ(eight_link->name(), "DS2482-800 I2C 1-Wire bridge");
  }
  // A channel a -100 has not; nobody at the address; a chip at the
  // address that is no DS2482.
  EXPECT_EQ(link(0x18, 3)->open(), onewire::kErrPortUnavailable);
  EXPECT_EQ(link(0x18, 0)->open(), 1);
  EXPECT_EQ(link(0x1A)->open(), onewire::kErrAdapterNoResponse);
  Ds2482Link foreign(std::make_unique<ForeignDevice>(i2c->connect(), 0x1B), ChipAddress{"/dev/i2c-1", 0x1B, -1},
                     Ds2482Options{.clock = &clock});
  EXPECT_EQ(foreign.open(), onewire::kErrAdapterNoResponse);
  // The bus itself: not ours to use, held by a kernel driver, gone.
  i2c->set_open_error(p::kI2cAccess);
  EXPECT_EQ(link()->open(), onewire::kErrPortUnavailable);
  i2c->set_open_error(p::kI2cBusy);
  EXPECT_EQ(link()->open(), onewire::kErrPortBusy);
  i2c->set_open_error(p::kI2cOk);
  i2c->set_gone(true);
  EXPECT_EQ(link()->open(), onewire::kErrPortUnavailable);
  i2c->set_gone(false);
  // Where the chips are, by reads alone.
  ForeignDevice with_foreign(i2c->connect(), 0x1B);
  ASSERT_EQ(with_foreign.open(), p::kI2cOk);
  EXPECT_EQ(p::answering_addresses(with_foreign), (std::vector<std::uint8_t>{0x18, 0x19, 0x1B}));
}

TEST_F(Ds2482Backend, ResetsBitsBytesSearchesAndBlocks) {
  auto l = link();
  ASSERT_EQ(l->open(), 1);
  EXPECT_EQ(l->reset(), onewire::kResetPresence);
  // The triplet search walks every ROM in bus order; nobody alarms.
  EXPECT_EQ(testing_support::search_all(*l), sensors.sorted_roms());
  EXPECT_TRUE(testing_support::search_all(*l, true).empty());
  // Bits and bytes: READ ROM on a bus of one, bit by bit and by bytes.
  auto one = add(channels[0], 0x28, 0xABCDEF, 19.25);
  auto l8 = link(0x19);
  ASSERT_EQ(l8->open(), 1);
  ASSERT_EQ(l8->reset(), onewire::kResetPresence);
  EXPECT_EQ(l8->touch_byte(0x33), 0x33);
  int family = 0;
  for (int i = 0; i < 8; ++i) family |= l8->touch_bit(1) << i;
  EXPECT_EQ(family, 0x28);
  for (std::size_t i = 1; i < 8; ++i) EXPECT_EQ(l8->touch_byte(0xFF), one->rom()[i]);
  EXPECT_EQ(l8->touch_bit(0), 0);
  // Every sensor's scratchpad through a selection block.
  ASSERT_EQ(l->reset(), onewire::kResetPresence);
  ASSERT_EQ(l->touch_byte(kSkipRom), kSkipRom);
  ASSERT_EQ(l->touch_byte(kConvertT), kConvertT);
  clock.sleep_for(750ms);
  for (const auto& s : sensors.sensors) {
    const Scratchpad pad = read_pad(*l, s->rom());
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
    EXPECT_DOUBLE_EQ(testing_support::scratchpad_celsius(s->rom()[0], pad), s->temperature());
  }
  // An empty line, then a shorted one.
  channels[0]->remove(one->rom());
  EXPECT_EQ(l8->reset(), onewire::kResetNoPresence);
  EXPECT_EQ(l8->match(one->rom()), 0);
  onewire::SearchPass pass;
  EXPECT_EQ(l8->search(pass), 0);
  channels[0]->set_short(true);
  EXPECT_EQ(l8->reset(), onewire::kResetShort);
  EXPECT_EQ(l8->search(pass), onewire::kErrBusShort);
  EXPECT_EQ(l8->match(one->rom()), onewire::kErrBusShort);
}

TEST_F(Ds2482Backend, EachCommandIsOneTransferAndOneStatusReadAndSelectionsSkipTheReadBack) {
  for (int hz : {100'000, 400'000}) {
    auto bus = std::make_shared<EmulatedI2cBus>(hz, &clock);
    bus->attach(0x18, chip);
    Ds2482Link l(bus->connect(), ChipAddress{"/dev/i2c-1", 0x18, -1}, Ds2482Options{.clock = &clock});
    ASSERT_EQ(l.open(), 1);
    chip->reset_stats();
    bus->reset_stats();
    // Read Byte, a status read, Set Read Pointer, the data: the wait
    // before the status read covers the byte at either clock rate.
    EXPECT_GE(l.touch_byte(0xFF), 0);
    EXPECT_EQ(bus->stats().transfers, 4u) << hz;
    EXPECT_EQ(chip->stats().busy_reads, 0u) << hz;
    EXPECT_EQ(l.reset(), onewire::kResetPresence);
    onewire::SearchPass pass;
    EXPECT_EQ(l.search(pass), 1);
    EXPECT_EQ(chip->stats().busy_reads, 0u) << hz;
    // A reset and a selection: two transfers per MATCH ROM byte, where the
    // byte-wise default reads each back (four).
    const Rom rom = sensors.sensors[3]->rom();
    std::array<std::uint8_t, 10> ours{};
    std::array<std::uint8_t, 10> theirs{};
    ours.fill(0xFF);
    theirs.fill(0xFF);
    ours[0] = theirs[0] = kReadScratchpad;
    bus->reset_stats();
    ASSERT_EQ(l.block(&rom, false, ours.data(), ours.size()), 1);
    const auto fewer = bus->stats().transfers;
    bus->reset_stats();
    ASSERT_EQ(l.onewire::Link::block(&rom, false, theirs.data(), theirs.size()), 1);
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(fewer, 2u + 9 * 2 + 10 * 4);
    EXPECT_EQ(bus->stats().transfers, 2u + 9 * 4 + 10 * 4);
  }
}

TEST_F(Ds2482Backend, BusyWaitsPollWithADeadlineAndAStuckChipIsResetAndSetUpAgain) {
  // A slow reset (5 ms): more status reads, still a result.
  onewire::sim::Ds2482Timing slow;
  slow.reset = 5ms;
  auto sluggish = std::make_shared<Ds2482Emulator>(sensors.bus, slow);
  i2c->attach(0x1A, sluggish);
  auto l = link(0x1A);
  ASSERT_EQ(l->open(), 1);
  EXPECT_EQ(l->reset(), onewire::kResetPresence);
  EXPECT_GT(sluggish->stats().busy_reads, 5u);
  // One that never ends: the deadline, a device reset and the set-up
  // again; the call fails, the next one works. A command refused (a chip
  // busy with what the link does not know of) is the same.
  auto eight_link = link(0x19, 4);
  ASSERT_EQ(eight_link->open(), 1);
  add(channels[4], 0x28, 0x4444, 4.0);
  eight->hang_next_command();
  const auto took = timed([&] { EXPECT_EQ(eight_link->reset(), onewire::kErrAdapterNoResponse); });
  EXPECT_GE(took, 1125us + 20ms);
  EXPECT_LT(took, 1125us + 25ms);
  EXPECT_EQ(eight_link->recoveries(), 1);
  EXPECT_EQ(eight->config(), p::kCfgApu);
  EXPECT_EQ(eight->channel(), 4);
  EXPECT_EQ(eight_link->reset(), onewire::kResetPresence);
  EXPECT_TRUE(eight_link->is_open());
  const std::uint8_t busy[1] = {p::kCmdReset};
  auto side = i2c->connect();
  ASSERT_EQ(side->open(), p::kI2cOk);
  ASSERT_EQ(side->write(0x19, busy, 1), p::kI2cOk);
  EXPECT_EQ(eight_link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(eight_link->recoveries(), 2);
  EXPECT_EQ(eight_link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2482Backend, RefusedBytesFailedTransfersAndAVanishedBus) {
  auto l = link();
  ASSERT_EQ(l->open(), 1);
  // The chip leaves the address: no answer, the link stays open.
  i2c->detach(0x18);
  EXPECT_EQ(l->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(l->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  EXPECT_TRUE(l->is_open());
  i2c->attach(0x18, chip);
  EXPECT_EQ(l->reset(), onewire::kResetPresence);
  // A transfer that fails on the bus (arbitration, a held clock).
  i2c->fail_transfer(2, p::kI2cBusError);
  EXPECT_EQ(l->reset(), onewire::kErrPortIo);
  EXPECT_TRUE(l->is_open());
  EXPECT_EQ(l->reset(), onewire::kResetPresence);
  // The bus is gone: the call fails, the link closes, and opens again
  // once the bus is back.
  i2c->set_gone(true);
  EXPECT_EQ(l->reset(), onewire::kErrPortIo);
  EXPECT_FALSE(l->is_open());
  EXPECT_EQ(l->reset(), onewire::kErrPortIo);
  EXPECT_EQ(l->open(), onewire::kErrPortUnavailable);
  i2c->set_gone(false);
  ASSERT_EQ(l->open(), 1);
  EXPECT_EQ(testing_support::search_all(*l), sensors.sorted_roms());
}

TEST_F(Ds2482Backend, OverdriveIsTheSpeedBitAndThereIsNoFlexibleSpeed) {
  auto l = link();
  ASSERT_EQ(l->open(), 1);
  EXPECT_EQ(l->set_speed(onewire::Speed::kRelaxed), onewire::kErrSpeed);
  const auto standard = timed([&] { EXPECT_EQ(l->reset(), onewire::kResetPresence); });
  ASSERT_EQ(l->set_speed(onewire::Speed::kOverdrive), static_cast<int>(onewire::Speed::kOverdrive));
  EXPECT_EQ(chip->config(), p::kCfgApu | p::kCfg1ws);
  chip->reset_stats();
  const auto fast = timed([&] { l->reset(); });
  EXPECT_EQ(sensors.bus->speed(), onewire::Speed::kOverdrive);
  // The chip's overdrive reset, and the link waiting for that, not for a
  // standard one (the I2C transfers take the same time at either speed).
  EXPECT_EQ(chip->stats().wire, 146us);
  EXPECT_LT(fast, standard - 900us);
  // The speed outlives a close and open (which resets the chip).
  l->close();
  ASSERT_EQ(l->open(), 1);
  EXPECT_EQ(chip->config(), p::kCfgApu | p::kCfg1ws);
  ASSERT_EQ(l->set_speed(onewire::Speed::kNormal), 0);
  EXPECT_EQ(chip->config(), p::kCfgApu);
}

TEST_F(Ds2482Backend, TheStrongPullupFeedsAParasiteSensorAndWithoutItTheSensorBrownsOut) {
  SimBus& bus = *channels[2];
  auto parasite = add(channels[2], 0x28, 0x2222, 23.5, true);
  auto l = link(0x19, 2);
  ASSERT_EQ(l->open(), 1);
  auto convert = [&](bool feed) {
    ASSERT_EQ(l->reset(), onewire::kResetPresence);
    ASSERT_EQ(l->touch_byte(kSkipRom), kSkipRom);
    EXPECT_EQ(feed ? l->touch_byte_pullup(kConvertT) : l->touch_byte(kConvertT), kConvertT);
    EXPECT_EQ(bus.strong_pullup_on(), feed);
    EXPECT_EQ(eight->pullup_on(), feed);
    clock.sleep_for(750ms);
  };
  auto celsius = [&] {
    const Scratchpad pad = read_pad(*l, parasite->rom());
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
    return testing_support::scratchpad_celsius(0x28, pad);
  };
  convert(true);
  EXPECT_EQ(l->end_strong_pullup(), 1);
  EXPECT_FALSE(bus.strong_pullup_on());
  EXPECT_EQ(eight->config(), p::kCfgApu);
  EXPECT_EQ(celsius(), 23.5);
  EXPECT_EQ(parasite->brownouts(), 0);
  // No pull-up: the conversion has no power, the sensor comes back at 85.
  parasite->set_temperature(24.0);
  convert(false);
  EXPECT_EQ(celsius(), 85.0);
  EXPECT_EQ(parasite->brownouts(), 1);
  // Not ended by hand: the link's next operation ends it first.
  convert(true);
  EXPECT_EQ(celsius(), 24.0);
  EXPECT_FALSE(bus.strong_pullup_on());
  EXPECT_EQ(parasite->brownouts(), 1);
  EXPECT_EQ(l->end_strong_pullup(), 1);  // nothing on: nothing to do
  EXPECT_EQ(bus.strong_pullups(), 2u);
}

TEST_F(Ds2482Backend, OtherChannelsWaitOutAStrongPullupOnTheirThreadsAndNeverCutIt) {
  auto parasite = add(channels[2], 0x28, 0x2222, 23.5, true);
  auto neighbour = add(channels[5], 0x28, 0x5555, 5.5);
  Ds2482Options patient;
  patient.pullup_wait = 60s;  // only the test's own deadlines decide
  auto fed = link(0x19, 2);
  auto other = link(0x19, 5, patient);
  ASSERT_EQ(fed->open(), 1);
  ASSERT_EQ(other->open(), 1);
  auto convert_fed = [&] {
    ASSERT_EQ(fed->reset(), onewire::kResetPresence);
    ASSERT_EQ(fed->touch_byte(kSkipRom), kSkipRom);
    ASSERT_EQ(fed->touch_byte_pullup(kConvertT), kConvertT);
    ASSERT_TRUE(channels[2]->strong_pullup_on());
  };
  auto fed_intact = [&] {
    EXPECT_EQ(eight->channel(), 2);
    EXPECT_TRUE(eight->pullup_on());
    EXPECT_TRUE(channels[2]->strong_pullup_on());
  };
  auto fed_celsius = [&] {
    const Scratchpad pad = read_pad(*fed, parasite->rom());
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
    return testing_support::scratchpad_celsius(0x28, pad);
  };

  // Another thread's reset on channel 5 waits while channel 2 converts;
  // channel 2's own next operation ends the pull-up and goes first.
  convert_fed();
  auto reset = std::async(std::launch::async, [&] { return other->reset(); });
  ASSERT_TRUE(testing_support::pump_until([&] { return other->pullup_waits() == 1; }));
  EXPECT_EQ(reset.wait_for(0s), std::future_status::timeout);
  fed_intact();
  clock.sleep_for(750ms);
  EXPECT_EQ(fed_celsius(), 23.5);
  ASSERT_EQ(reset.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reset.get(), onewire::kResetPresence);
  EXPECT_EQ(testing_support::search_all(*other), std::vector<Rom>{neighbour->rom()});

  // Both threads at it at once, channel 2 feeding each conversion: every
  // reading right, none browned out.
  auto searches = std::async(std::launch::async, [&] {
    int whole = 0;
    for (int i = 0; i < 20; ++i)
      if (testing_support::search_all(*other) == std::vector<Rom>{neighbour->rom()}) ++whole;
    return whole;
  });
  for (int i = 0; i < 20; ++i) {
    parasite->set_temperature(20.0 + i);
    convert_fed();
    clock.sleep_for(750ms);
    EXPECT_EQ(fed_celsius(), 20.0 + i);
  }
  ASSERT_EQ(searches.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(searches.get(), 20);

  // A pull-up that outlasts the wait: a reset on another thread and an
  // open fail busy and leave the conversion alone.
  Ds2482Options hasty;
  hasty.pullup_wait = 20ms;
  auto impatient = link(0x19, 6, hasty);
  ASSERT_EQ(impatient->open(), 1);
  parasite->set_temperature(24.0);
  convert_fed();
  auto refused = std::async(std::launch::async, [&] { return impatient->reset(); });
  ASSERT_EQ(refused.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(refused.get(), onewire::kErrPortBusy);
  EXPECT_EQ(impatient->pullup_waits(), 1);
  EXPECT_EQ(link(0x19, 7, hasty)->open(), onewire::kErrPortBusy);
  fed_intact();
  clock.sleep_for(750ms);
  EXPECT_EQ(fed->end_strong_pullup(), 1);
  EXPECT_FALSE(channels[2]->strong_pullup_on());
  EXPECT_EQ(impatient->reset(), onewire::kResetNoPresence);
  EXPECT_EQ(eight->channel(), 6);
  EXPECT_EQ(fed_celsius(), 24.0);
  EXPECT_EQ(parasite->brownouts(), 0);
  EXPECT_EQ(channels[2]->strong_pullups(), 22u);
}

}  // namespace
