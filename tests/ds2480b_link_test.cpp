// Our DS2480B host backend against the emulated chip in process: how it
// finds the chip and picks the rate, and every 1-Wire operation. The
// faults of a serial line, the pacing of the chip's one-byte buffer and
// the backend under the driver are in ds2480b_line_faults_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "onewire/sim/sim_link.hpp"
#include "support/adapter_support.hpp"
#include "support/adapter_emulator_bytes.hpp"
#include "support/ds2480b_host.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::Speed;
using onewire::ds2480b::Ds2480bLink;
using onewire::ds2480b::Ds2480bOptions;
using onewire::sim::Ds2480bEmulator;
using onewire::sim::EmulatedPort;
using testing_support::Ds2480bHost;
using testing_support::SensorBus;
using Bytes = std::vector<std::uint8_t>;

TEST_F(Ds2480bHost, OpenDetectsTheChipWithTheExactSequence) {
  Ds2480bOptions at9600;
  at9600.baud = 9600;
  auto link = make_link(at9600);
  ASSERT_EQ(link->open(), 1);
  EXPECT_TRUE(link->is_open());
  EXPECT_EQ(port->breaks(), 1u);
  // Break in bytes, calibration and the setup in one write.
  EXPECT_EQ(port->written(), (Bytes{0xE3, 0x00, 0xC1, 0x17, 0x45, 0x5B, 0x3F, 0x29, 0x0F, 0x91}));
  EXPECT_EQ(port->writes(), 2u);
  EXPECT_FALSE(adapter->awaiting_calibration());
  EXPECT_EQ(adapter->parameter(1), 3);  // slew rate 1.37 V/us
  EXPECT_EQ(adapter->parameter(3), 7);  // infinite strong pull-up
  EXPECT_EQ(link->baud(), 9600);
}

TEST_F(Ds2480bHost, OpenChoosesTheRateByTheAnswerDelayAndReadsTheRateBack) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // The rate change rides on the setup write; at the new rate the rate
  // is read back with one configuration write beside it, then read three
  // times more, timed: with answers coming at once the link stays there.
  EXPECT_EQ(port->written(), (Bytes{0xE3, 0x00, 0xC1, 0x17, 0x45, 0x5B, 0x3F, 0x29, 0x0F, 0x91, 0x77, 0x0F, 0x45,
                                    0x0F, 0x0F, 0x0F}));
  EXPECT_EQ(port->writes(), 6u);
  EXPECT_GE(link->answer_delay(), 0ns);
  EXPECT_LT(link->answer_delay(), 2500us);  // what 115200 takes
  EXPECT_EQ(adapter->baud(), 115200);
  EXPECT_EQ(link->baud(), 115200);
  EXPECT_EQ(link->serial_baud(), 115200);
  EXPECT_FALSE(link->baud_fallback());
  // A resync detects again at the rate chosen, without measuring (one
  // rate change, none back).
  port->drop_answer(1);
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  port->clear_written();
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(std::count(port->written().begin(), port->written().end(), 0x77), 1);
  EXPECT_EQ(link->baud(), 115200);
}

TEST_F(Ds2480bHost, AnExplicitRateIsKeptWhateverTheBridge) {
  Ds2480bOptions options;
  options.baud = 115200;
  auto link = make_link(options);
  port->set_bridge_latency(16ms);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->baud(), 115200);
  EXPECT_LT(link->answer_delay(), 0ns);  // not measured
  EXPECT_EQ(testing_support::search_all(*link), sensors.sorted_roms());
  EXPECT_EQ(adapter->lost_bytes(), 0u);
}

TEST_F(Ds2480bHost, OpenWorksWithoutABreakFromAnyChipState) {
  for (const auto latency : {0ms, 1ms, 4ms, 16ms}) {
    SCOPED_TRACE(testing::Message() << "bridge latency " << latency.count() << " ms");
    auto link = make_link();
    port->set_break_supported(false);
    port->set_bridge_latency(latency);
    // Leave the chip in data mode with a pending escape: the worst case.
    // The first detection's bytes are data to it, and their echoes are
    // still coming in when the next detection starts.
    testing_support::feed(*adapter, {0xC1, 0xE1, 0xE3});
    ASSERT_EQ(link->open(), 1);
    EXPECT_EQ(link->reset(), onewire::kResetPresence);
    EXPECT_EQ(adapter->lost_bytes(), 0u);
  }
}

// The host's clock, as a thread that loses the processor once sees it: at
// its Nth reading the time jumps ahead. Sleeps return at once.
struct StallingClock final : rtl::Clock {
  rtl::TimePoint t = std::chrono::steady_clock::now();
  int readings = 0;
  int stall_at = 0;
  rtl::Duration stall{0};
  rtl::TimePoint now() override {
    if (++readings == stall_at) t += stall;
    return t;
  }
  void sleep_for(rtl::Duration d) override {
    if (d.count() > 0) t += d;
  }
};

TEST(Ds2480bStalledHost, OpensWithoutABreakWhereverTheHostStalls) {
  // A chip in data mode takes the first detection's bytes for data; a host
  // that stalls a few milliseconds while it reads their echoes once began
  // the next detection with echoes still coming, and every detection
  // after it failed the same way.
  for (const auto stall : {300us, 1000us, 3000us, 10000us}) {
    for (int at = 1; at <= 150; ++at) {
      SCOPED_TRACE(testing::Message() << stall.count() << " us at reading " << at);
      StallingClock clock;
      clock.stall_at = at;
      clock.stall = stall;
      rtl::ClockGuard guard{clock};
      SensorBus sensors(2);
      auto chip = std::make_shared<Ds2480bEmulator>(sensors.bus);
      auto owned = std::make_unique<EmulatedPort>(chip);
      EmulatedPort& port = *owned;
      Ds2480bLink link(std::move(owned), {});
      port.set_break_supported(false);
      testing_support::feed(*chip, {0xC1, 0xE1, 0xE3});
      ASSERT_EQ(link.open(), 1);
      ASSERT_EQ(link.reset(), onewire::kResetPresence);
    }
  }
}

TEST_F(Ds2480bHost, ResetDecodesEveryResult) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  sensors.bus->set_short(true);
  EXPECT_EQ(link->reset(), onewire::kResetShort);
  sensors.bus->set_short(false);
  for (const auto& s : sensors.sensors) sensors.bus->remove(s->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), 0);
}

TEST_F(Ds2480bHost, SearchFindsWhatTheBitwiseSearchFinds) {
  Ds2480bOptions at9600;
  at9600.baud = 9600;
  auto link = make_link(at9600);
  ASSERT_EQ(link->open(), 1);
  // A third ROM sharing the first 60 bits with another makes a deep
  // discrepancy.
  Rom twin = sensors.sensors[1]->rom();
  twin[6] ^= 0x80;
  twin[7] = onewire::crc8(twin.data(), 7);
  sensors.bus->add(onewire::sim::make_rom_device(twin));
  onewire::sim::SimLink reference(sensors.bus);
  reference.open();
  const auto expected = testing_support::search_all(reference);
  ASSERT_EQ(expected.size(), 6u);
  const auto writes = port->writes();
  const auto found = testing_support::search_all(*link);
  EXPECT_EQ(found, expected);
  // At 9600 a character outlasts every byte's work: per pass one write,
  // the reset with the 16 accelerator bytes, never bit by bit.
  EXPECT_EQ(port->writes() - writes, found.size());
  EXPECT_EQ(adapter->lost_bytes(), 0u);
}

TEST_F(Ds2480bHost, AlarmSearchFindsOnlyAlarmingSensors) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // TH 40, TL 5 on every sensor; only the DS18S20s measure outside.
  for (const auto& s : sensors.sensors) s->set_temperature(s->rom()[0] == 0x10 ? 50.0 : 20.0);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  for (int b : {0xCC, 0x4E, 0x28, 0x05, 0x7F}) link->touch_byte(b);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  for (int b : {0xCC, 0x44}) link->touch_byte(b);
  skip.sleep_for(800ms);
  std::vector<Rom> alarming;
  for (const auto& s : sensors.sensors)
    if (s->rom()[0] == 0x10) alarming.push_back(s->rom());
  std::sort(alarming.begin(), alarming.end(), testing_support::bus_order_less);
  EXPECT_EQ(testing_support::search_all(*link, true), alarming);
}

TEST_F(Ds2480bHost, DataByteE3IsDoubledAndReachesTheBus) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  const Rom rom = sensors.sensors[0]->rom();
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  link->touch_byte(0x55);
  for (auto b : rom) link->touch_byte(b);
  port->clear_written();
  // WRITE SCRATCHPAD with TH = E3.
  EXPECT_EQ(link->touch_byte(0x4E), 0x4E);
  EXPECT_EQ(link->touch_byte(0xE3), 0xE3);
  EXPECT_EQ(port->written(), (Bytes{0x4E, 0xE3, 0xE3}));
  EXPECT_EQ(link->touch_byte(0x11), 0x11);
  EXPECT_EQ(link->touch_byte(0x7F), 0x7F);
  EXPECT_EQ(sensors.sensors[0]->scratchpad(rtl::GetClock().now())[2], 0xE3);
  // And the chip stayed in data mode throughout.
  EXPECT_TRUE(adapter->data_mode());
}

TEST_F(Ds2480bHost, BitsAndSpeeds) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->set_speed(Speed::kOverdrive), static_cast<int>(Speed::kOverdrive));
  EXPECT_EQ(adapter->speed(), Speed::kOverdrive);
  port->clear_written();
  EXPECT_EQ(link->touch_bit(1), 1);
  EXPECT_EQ(link->touch_bit(0), 0);
  EXPECT_EQ(port->written(), (Bytes{0x99, 0x89}));
  EXPECT_EQ(link->set_speed(Speed::kRelaxed), static_cast<int>(Speed::kRelaxed));
  EXPECT_EQ(adapter->speed(), Speed::kRelaxed);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(port->written().back(), 0xC5);
}

TEST_F(Ds2480bHost, HigherBaudRate) {
  Ds2480bOptions options;
  options.baud = 115200;
  auto link = make_link(options);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(adapter->baud(), 115200);
  EXPECT_EQ(port->baud(), 115200);
  EXPECT_EQ(testing_support::search_all(*link), sensors.sorted_roms());
}

TEST_F(Ds2480bHost, SpeedSurvivesAResync) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  ASSERT_EQ(link->set_speed(Speed::kRelaxed), 2);
  port->drop_answer(1);
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->touch_byte(0xFF), 0xFF);
  EXPECT_EQ(adapter->speed(), Speed::kRelaxed);
}

}  // namespace
