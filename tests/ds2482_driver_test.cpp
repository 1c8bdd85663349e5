// The DS2482 as adapter type 8: the built-in driver opening the ports that
// name an I2C bus, a chip and one of its channels, and the component
// measuring through them.
#include <gtest/gtest.h>

#include <array>
#include <future>
#include <map>
#include <memory>
#include <string>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/ds2482/protocol.hpp"
#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "rtl/messages.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::sim::Ds2482Emulator;
using onewire::sim::EmulatedI2cBus;
using onewire::sim::SimBus;
using testing_support::rom_text;
using testing_support::SensorBus;
namespace p = onewire::ds2482;

// The one I2C bus /dev/i2c-1 with a DS2482-100 at 0x18 and a DS2482-800 at
// 0x1C whose channels 2 and 6 carry sensors (the same device models on
// every bus, parasite-powered ones among them).
struct Ds2482Driver : ::testing::Test {
  Ds2482Driver() {
    std::array<std::shared_ptr<SimBus>, 8> buses;
    buses[2] = io2.bus;
    buses[6] = io6.bus;
    i2c->attach(0x18, std::make_shared<Ds2482Emulator>(hundred.bus));
    eight = std::make_shared<Ds2482Emulator>(buses);
    i2c->attach(0x1C, eight);
    io6.sensors[1]->set_parasite(true);
    hundred.sensors[0]->set_parasite(true);
    onewire::BuiltinDriverOptions o;
    o.i2c_buses = [this](const std::string& device) -> std::unique_ptr<p::I2cBus> {
      return device == "/dev/i2c-1" ? i2c->connect() : nullptr;
    };
    driver = onewire::make_builtin_driver(o);
    for (const auto& [number, path] : kPorts) onewire::pin_port(number, path);
  }
  ~Ds2482Driver() override {
    for (const auto& [number, path] : kPorts) onewire::unpin_port(number);
  }

  const std::map<int, std::string> kPorts = {
      {201, "/dev/i2c-1"}, {202, "/dev/i2c-1:0x1C:2"}, {203, "/dev/i2c-1:0x1C:6"},
      {204, "/dev/i2c-2"}, {205, "/dev/i2c-1:0x1C:9"}, {206, "/dev/i2c-1:0x18:6"}};
  rtl::SkipClock clock;
  rtl::ClockGuard guard{clock};
  SensorBus hundred{5};
  SensorBus io2{3, 0x0000CAFE0000};
  SensorBus io6{4, 0x00BEEF000000};
  std::shared_ptr<EmulatedI2cBus> i2c = std::make_shared<EmulatedI2cBus>();
  std::shared_ptr<Ds2482Emulator> eight;
  std::shared_ptr<onewire::TmexDriver> driver;
};

TEST_F(Ds2482Driver, TypeEightPortsNameTheBusTheChipAndTheChannel) {
  std::array<char, 101> text{};
  ASSERT_EQ(driver->TMGetTypeVersion(onewire::kAdapterTypeDs2482, text.data()), 1);
  EXPECT_NE(std::string(text.data()).find("8 DS2482"), std::string::npos) << text.data();
  for (const auto& [port, sensors] : std::map<int, SensorBus*>{{201, &hundred}, {202, &io2}, {203, &io6}}) {
    const std::int32_t h = driver->TMExtendedStartSession(static_cast<std::int16_t>(port), 8, nullptr);
    ASSERT_GT(h, 0) << port;
    testing_support::DriverWalk walk{*driver, h};
    EXPECT_EQ(walk.roms(), sensors->sorted_roms()) << port;
    EXPECT_EQ(driver->TMEndSession(h), 1);
  }
  // No bus /dev/i2c-2, no channel 9, no channel 6 on the -100, no port.
  for (int port : {204, 205, 206, 207})
    EXPECT_EQ(driver->TMExtendedStartSession(static_cast<std::int16_t>(port), 8, nullptr), onewire::kErrPortUnavailable)
        << port;
}

TEST_F(Ds2482Driver, ComponentMeasuresThroughTheHundredAndTwoChannelsOfTheEightHundred) {
  onewire::DriverGuard installed(driver);
  for (const auto& [port, sensors] : std::map<int, SensorBus*>{{201, &hundred}, {202, &io2}, {203, &io6}}) {
    TQvDs18x20 c(nullptr);
    c.ComPort("COM" + std::to_string(port));
    c.AdapterType(8);
    int temps = 0;
    c.OnGetTemp([&](TObject*) { ++temps; });
    c.TMEXOpenSession();
    ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
    // Twice: the first measurement learns which sensors are parasite
    // powered, the second feeds them from its start.
    for (int round = 0; round < 2; ++round) {
      c.TMEXGetTemp();
      ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }, 30s));
      ProcessMessages();
    }
    EXPECT_EQ(temps, 2) << c.TMEXerror.str();
    ASSERT_EQ(c.SensorListCount(), static_cast<int>(sensors->sensors.size())) << port;
    std::map<std::string, const TSensor*> got;
    for (int i = 0; i < c.SensorListCount(); ++i) got[c.sensor(i)->romstr] = c.sensor(i);
    for (const auto& s : sensors->sensors) {
      const TSensor* t = got[rom_text(s->rom())];
      ASSERT_NE(t, nullptr) << rom_text(s->rom());
      EXPECT_EQ(t->status, rsRead) << rom_text(s->rom());
      EXPECT_DOUBLE_EQ(t->celsius, s->temperature()) << rom_text(s->rom());
    }
    c.Close();
  }
  // The parasite sensors browned out only in the first enumeration's
  // conversion, before the driver knew them.
  EXPECT_EQ(hundred.sensors[0]->brownouts(), 1);
  EXPECT_EQ(io6.sensors[1]->brownouts(), 1);
  EXPECT_EQ(io2.sensors[0]->brownouts(), 0);
}

// A worker thread leaves channel 6's parasite conversion fed; the
// application's thread ends it with its next call on that session while a
// third thread uses channel 2 of the same chip.
TEST_F(Ds2482Driver, AStrongPullupBegunOnOneThreadEndsAtTheNextCallFromAnother) {
  const std::int32_t h6 = driver->TMExtendedStartSession(203, 8, nullptr);
  const std::int32_t h2 = driver->TMExtendedStartSession(202, 8, nullptr);
  ASSERT_GT(h6, 0);
  ASSERT_GT(h2, 0);
  testing_support::DriverWalk fed{*driver, h6};
  testing_support::DriverWalk other{*driver, h2};
  auto worker = std::async(std::launch::async, [&] { return fed.roms() == io6.sorted_roms() && fed.convert_all() == 1; });
  ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(worker.get());
  EXPECT_TRUE(eight->pullup_on());
  EXPECT_EQ(eight->channel(), 6);
  auto walk = std::async(std::launch::async, [&] { return other.roms(); });
  clock.sleep_for(750ms);
  EXPECT_EQ(driver->TMOneWireCom(h6, 0, 0), 0);
  EXPECT_FALSE(eight->pullup_on());
  ASSERT_EQ(walk.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(walk.get(), io2.sorted_roms());
  for (const auto& s : io6.sensors) {
    int error = 1;
    const auto bytes = fed.command(s->rom(), 0xBE, 9, &error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(bytes.size(), 9u);
    testing_support::Scratchpad pad{};
    std::copy(bytes.begin(), bytes.end(), pad.begin());
    EXPECT_DOUBLE_EQ(testing_support::scratchpad_celsius(s->rom()[0], pad), s->temperature()) << rom_text(s->rom());
  }
  EXPECT_EQ(io6.sensors[1]->brownouts(), 0);
  EXPECT_EQ(driver->TMEndSession(h6), 1);
  EXPECT_EQ(driver->TMEndSession(h2), 1);
}

}  // namespace
