// The built-in driver: port numbers through the port map, adapter types 1
// (passive) and 5 (DS2480B) and nothing else, on virtual adapters served
// on pseudo-terminals.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "onewire/usb/ds2490_devices.hpp"
#include "support/adapter_support.hpp"

namespace {

using onewire::sim::AdapterKind;
using onewire::sim::VirtualAdapter;

// Pins a port number for the life of the test.
struct Pin {
  Pin(int n, const std::string& path) : number(n) { onewire::pin_port(n, path); }
  ~Pin() { onewire::unpin_port(number); }
  int number;
};

constexpr int kPort = 251;

TEST(BuiltinDriver, AnswersTypesOneFiveAndSixWhereUsbIsBuilt) {
  auto driver = onewire::make_builtin_driver();
  std::array<char, 101> text{};
  EXPECT_EQ(driver->TMGetTypeVersion(1, text.data()), 1);
  EXPECT_GT(std::strlen(text.data()), 0u);
  EXPECT_EQ(driver->TMGetTypeVersion(5, text.data()), 1);
  for (int type : {0, 2, 3, 7, 15})
    EXPECT_EQ(driver->TMGetTypeVersion(static_cast<std::int16_t>(type), text.data()), onewire::kErrAdapterType) << type;
  // The DS2490: answered when the build has USB, else not an adapter of
  // this driver at all.
  if (onewire::usb::usb_available()) {
    EXPECT_EQ(driver->TMGetTypeVersion(6, text.data()), 1);
    EXPECT_NE(std::string(text.data()).find("DS2490"), std::string::npos);
    // Far more adapters than any machine has.
    EXPECT_EQ(driver->TMExtendedStartSession(kPort, 6, nullptr), onewire::kErrPortUnavailable);
  } else {
    EXPECT_EQ(driver->TMGetTypeVersion(6, text.data()), onewire::kErrAdapterType);
    EXPECT_EQ(driver->TMExtendedStartSession(1, 6, nullptr), onewire::kErrAdapterType);
  }
  testing_support::SensorBus sensors(1);
  VirtualAdapter adapter(sensors.bus);
  ASSERT_EQ(adapter.start(), 1);
  Pin pin(kPort, adapter.path());
  EXPECT_EQ(driver->TMExtendedStartSession(kPort, 7, nullptr), onewire::kErrAdapterType);
}

TEST(BuiltinDriver, PortsThatLeadNowhere) {
  auto driver = onewire::make_builtin_driver();
  onewire::unpin_port(kPort);
  ASSERT_FALSE(onewire::port_device(onewire::PortForm::kSerial, kPort)) << "this machine has a port " << kPort;
  EXPECT_EQ(driver->TMExtendedStartSession(kPort, 5, nullptr), onewire::kErrPortUnavailable);
  {
    Pin pin(kPort, "/dev/null");  // a device, but no terminal
    EXPECT_EQ(driver->TMExtendedStartSession(kPort, 1, nullptr), onewire::kErrPortUnavailable);
  }
  {
    Pin pin(kPort, "/nonexistent/ttyUSB9");
    EXPECT_EQ(driver->TMExtendedStartSession(kPort, 5, nullptr), onewire::kErrPortUnavailable);
  }
  EXPECT_EQ(std::static_pointer_cast<onewire::BusDriver>(driver)->session_count(), 0);
}

TEST(BuiltinDriver, EachTypeFindsItsAdapterAndRejectsTheOther) {
  testing_support::SensorBus sensors(4);
  for (auto [kind, type, wrong] : {std::tuple{AdapterKind::kDs2480b, 5, 1}, std::tuple{AdapterKind::kPassive, 1, 5}}) {
    SCOPED_TRACE(type);
    VirtualAdapter adapter(sensors.bus, {kind, "", nullptr});
    ASSERT_EQ(adapter.start(), 1);
    Pin pin(kPort, adapter.path());
    auto driver = onewire::make_builtin_driver();
    // A DS2480B does not echo like a passive adapter, and a passive
    // adapter's echoes are not a DS2480B's answers.
    EXPECT_EQ(driver->TMExtendedStartSession(kPort, static_cast<std::int16_t>(wrong), nullptr),
              onewire::kErrAdapterNoResponse);
    const std::int32_t session = driver->TMExtendedStartSession(kPort, static_cast<std::int16_t>(type), nullptr);
    ASSERT_GT(session, 0);
    // The port belongs to the session that holds it.
    EXPECT_EQ(driver->TMExtendedStartSession(kPort, static_cast<std::int16_t>(type), nullptr), 0);
    testing_support::DriverWalk walk{*driver, session};
    EXPECT_EQ(walk.roms(), sensors.sorted_roms());
    EXPECT_EQ(driver->TMEndSession(session), 1);
  }
}

TEST(BuiltinDriver, HigherDs2480bRate) {
  testing_support::SensorBus sensors(3);
  VirtualAdapter adapter(sensors.bus);
  ASSERT_EQ(adapter.start(), 1);
  Pin pin(kPort, adapter.path());
  onewire::BuiltinDriverOptions options;
  options.ds2480b_baud = 57600;
  auto driver = onewire::make_builtin_driver(options);
  const std::int32_t session = driver->TMExtendedStartSession(kPort, 5, nullptr);
  ASSERT_GT(session, 0);
  testing_support::DriverWalk walk{*driver, session};
  EXPECT_EQ(walk.roms(), sensors.sorted_roms());
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

}  // namespace
