// The channels of one DS2482-800 as buses of the engine: each its own
// bus handle and thread, all sharing the one chip, measured at once.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "qvds/bus.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"
#include "support/step_clock.hpp"

namespace {

using onewire::sim::Ds2482Emulator;
using onewire::sim::EmulatedI2cBus;
using onewire::sim::SimBus;
using testing_support::SensorBus;

struct EngineChannels : ::testing::Test {
  EngineChannels() {
    std::array<std::shared_ptr<SimBus>, 8> buses;
    for (std::size_t c = 0; c < channels.size(); ++c) buses[c * 2 + 1] = channels[c].bus;
    i2c->attach(0x1B, std::make_shared<Ds2482Emulator>(buses));
    // Channel 5 feeds its sensors from the line.
    for (const auto& s : channels[2].sensors) s->set_parasite(true);
    options.driver.i2c_buses = [this](const std::string& device) -> std::unique_ptr<onewire::ds2482::I2cBus> {
      return device == kDevice ? i2c->connect() : nullptr;
    };
  }

  qvds::Bus open_channel(int channel) {
    auto bus = qvds::Bus::open("ds2482", kDevice + ":0x1B:" + std::to_string(channel), options);
    EXPECT_TRUE(bus.ok()) << bus.message();
    return bus.ok() ? std::move(bus).value() : qvds::Bus();
  }

  const std::string kDevice = "/dev/i2c-engine-channels";
  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  std::array<SensorBus, 4> channels{SensorBus{3, 0x0000AB000000}, SensorBus{4, 0x0000AC000000},
                                    SensorBus{2, 0x0000AD000000}, SensorBus{5, 0x0000AE000000}};
  std::shared_ptr<EmulatedI2cBus> i2c = std::make_shared<EmulatedI2cBus>(0);
  qvds::OpenOptions options;
};

TEST_F(EngineChannels, EveryChannelIsMeasuredAtOnceAndReadsItsOwnSensors) {
  std::vector<qvds::Bus> buses;
  for (int c : {1, 3, 5, 7}) buses.push_back(open_channel(c));
  std::vector<qvds::Bus*> set;
  for (auto& b : buses) set.push_back(&b);
  for (int round = 0; round < 3; ++round) {
    const auto results = qvds::measure_all(set);
    ASSERT_EQ(results.size(), 4u);
    for (std::size_t c = 0; c < 4; ++c) {
      ASSERT_TRUE(results[c].ok()) << "channel " << c * 2 + 1 << ": " << results[c].message();
      const auto& m = *results[c];
      ASSERT_EQ(m.readings.size(), channels[c].sensors.size()) << "channel " << c * 2 + 1;
      for (const auto& r : m.readings) {
        ASSERT_TRUE(r.ok()) << qvds::status_name(r.status);
        bool found = false;
        for (const auto& s : channels[c].sensors)
          if (s->rom() == r.rom) {
            found = true;
            EXPECT_NEAR(*r.celsius, s->temperature(), 1.0 / 16);
          }
        EXPECT_TRUE(found) << "a sensor of another channel read on channel " << c * 2 + 1;
      }
    }
  }
}

TEST_F(EngineChannels, ChannelsUsedFromSeveralThreadsKeepEveryExchangeWhole) {
  qvds::Bus a = open_channel(1);
  qvds::Bus b = open_channel(7);
  ASSERT_TRUE(a.search().ok());
  ASSERT_TRUE(b.search().ok());
  // Both hammer the chip at the same time; a transfer of one landing on
  // the other's channel would lose a device or spoil a scratchpad.
  auto hammer = [](qvds::Bus& bus, int& good) {
    const auto devices = bus.devices();
    for (int i = 0; i < 20; ++i)
      for (const auto& d : devices) {
        auto r = bus.read_latest(d.rom);
        if (r.ok() && r->has_scratchpad && r->status != qvds::ReadStatus::kCrcError) ++good;
      }
  };
  int good_a = 0;
  int good_b = 0;
  std::thread ta(hammer, std::ref(a), std::ref(good_a));
  std::thread tb(hammer, std::ref(b), std::ref(good_b));
  ta.join();
  tb.join();
  EXPECT_EQ(good_a, 20 * 3);
  EXPECT_EQ(good_b, 20 * 5);
}

}  // namespace
