// Thousands of operations with random driver faults, devices coming and
// going, sessions closed under running workers and components destroyed
// mid-operation: the sanitizers must stay quiet and nothing may hang.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/errors.hpp"
#include "support/pump.hpp"
#include "support/sim_fixture.hpp"

using onewire::Op;
using testing_support::pump_until;

namespace {
class StressTest : public testing_support::SimFixture {};
}  // namespace

TEST_F(StressTest, RandomFaultsNeitherHangNorCorrupt) {
  std::mt19937 rng(20261208);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<std::shared_ptr<onewire::sim::Ds18x20>> parked;
  for (int i = 0; i < 6; ++i) add_thermometer(i % 2 ? 0x10 : 0x28, 0x500 + static_cast<std::uint64_t>(i), -20.0 + i * 9);
  add_rom_device(0x01, 0x77);

  const std::regex temperature(R"(-?\d{1,3}\.\d)");
  const Op ops[] = {Op::kValidSession, Op::kFirst, Op::kNext, Op::kRom, Op::kAccess,
                    Op::kTouchReset,   Op::kTouchByte, Op::kStartSession, Op::kOneWireCom};
  const std::int32_t codes[] = {0, -1, -3, -4, -200, 255, 2};

  auto component = std::make_unique<TQvDs18x20>(nullptr);
  int events = 0;
  auto attach = [&](TQvDs18x20& c) {
    c.OnGetTemp([&](TObject*) { ++events; });
    c.OnSessionError([&](TObject*) {});  // may run on the worker as well
  };
  attach(*component);
  component->TMEXOpenSession();

  for (int round = 0; round < 3000; ++round) {
    for (int f = pick(3); f > 0; --f) driver->fail(ops[pick(9)], 1 + pick(12), codes[pick(7)]);
    if (pick(10) == 0) driver->corrupt_byte(1 + pick(40), static_cast<std::uint8_t>(1 << pick(8)));
    if (pick(20) == 0 && !bus->devices().empty()) {
      // A device leaves in the middle of the next operation, or one comes back.
      auto devs = bus->devices();
      auto victim = devs[static_cast<std::size_t>(pick(static_cast<int>(devs.size())))];
      driver->at(Op::kTouchByte, 1 + pick(30), [this, victim] { bus->remove(victim->rom()); });
      if (auto t = std::dynamic_pointer_cast<onewire::sim::Ds18x20>(victim)) parked.push_back(t);
    }
    if (pick(20) == 0 && !parked.empty()) {
      bus->add(parked.back());
      parked.pop_back();
    }

    switch (pick(3)) {
      case 0: component->TMEXGetDSCount(); break;
      case 1: component->TMEXConvertT(); break;
      default: component->TMEXGetTemp(); break;
    }
    switch (pick(12)) {
      case 0:  // the session ends under the running worker
        component->Close();
        break;
      case 1:  // the component goes away mid-operation
        component = std::make_unique<TQvDs18x20>(nullptr);
        attach(*component);
        break;
      default:
        break;
    }
    ASSERT_TRUE(pump_until([&] { return !component->Working(); }, std::chrono::seconds(30))) << "round " << round;
    ProcessMessages();
    driver->clear_faults();

    TQvDs18x20& c = *component;
    ASSERT_FALSE(c.Busy());
    ASSERT_LE(c.SensorListCount(), kMaxSensors);
    ASSERT_GE(c.FSensorCount.load(), 0);
    ASSERT_LE(c.FSensorCount.load(), c.SensorListCount());
    for (int i = 0; i < c.SensorListCount(); ++i) {
      const TSensor* s = c.sensor(i);
      ASSERT_NE(s, nullptr);
      ASSERT_EQ(s->romstr.size(), 16u);
      if (!s->temp.empty()) {
        ASSERT_TRUE(std::regex_match(s->temp, temperature)) << s->temp;
      }
    }
    if (pick(8) == 0 && !c.SesionActive()) c.TMEXOpenSession();
  }
  component.reset();
  EXPECT_GT(events, 100);  // plenty of measurements got through
  EXPECT_EQ(driver->session_count(), 0);
}
