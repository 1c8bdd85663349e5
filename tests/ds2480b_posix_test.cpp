// Our DS2480B host backend and driver through a real pseudo-terminal,
// served by the virtual adapter or by nobody.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "onewire/driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::ds2480b::Ds2480bLink;
using onewire::ds2480b::Ds2480bOptions;
using testing_support::SensorBus;

TEST(Ds2480bPty, DriverOverAVirtualAdapter) {
  SensorBus sensors(6);
  // Wired straight, and behind a bridge with the FTDI default latency.
  for (const rtl::Duration latency : {rtl::Duration(0), rtl::Duration(16ms)}) {
    onewire::sim::VirtualAdapterOptions o;
    o.bridge_latency = latency;
    onewire::sim::VirtualAdapter adapter(sensors.bus, o);
    ASSERT_EQ(adapter.start(), 1);
    for (int baud : {9600, 115200}) {
      Ds2480bOptions options;
      options.baud = baud;
      auto driver = std::make_shared<onewire::BusDriver>(
          [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
            return std::make_unique<Ds2480bLink>(onewire::serial::make_serial_port(adapter.path()), options);
          },
          "test", [](int) { return true; });
      const std::int32_t session = driver->TMExtendedStartSession(1, 5, nullptr);
      ASSERT_GT(session, 0) << baud;
      EXPECT_EQ(driver->serial_baud(1), baud);
      testing_support::DriverWalk walk{*driver, session};
      EXPECT_EQ(walk.roms(), sensors.sorted_roms()) << baud;
      testing_support::expect_scratchpad_by_command_and_block(walk, sensors.sensors[2]->rom());
      EXPECT_EQ(driver->TMEndSession(session), 1);
    }
    // Every session's close powered the adapter down.
    EXPECT_TRUE(testing_support::pump_until([&] { return adapter.stats().power_cycles == 2; }, 5s))
        << adapter.stats().power_cycles;
  }
}

TEST(Ds2480bPty, AdapterGoneMidSession) {
  SensorBus sensors(2);
  auto adapter = std::make_unique<onewire::sim::VirtualAdapter>(sensors.bus);
  ASSERT_EQ(adapter->start(), 1);
  Ds2480bLink link(onewire::serial::make_serial_port(adapter->path()));
  ASSERT_EQ(link.open(), 1);
  EXPECT_EQ(link.reset(), onewire::kResetPresence);
  adapter.reset();  // the pseudo-terminal goes away
  EXPECT_EQ(link.reset(), onewire::kErrPortIo);
  EXPECT_FALSE(link.is_open());
}

TEST(Ds2480bPty, SilentPseudoTerminalFailsOpen) {
  // A pseudo-terminal nobody serves: every byte goes unanswered.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  Ds2480bOptions options;
  options.reply_timeout = 50ms;
  options.detect_attempts = 2;
  Ds2480bLink link(onewire::serial::make_serial_port(ptsname(master)), options);
  EXPECT_EQ(link.open(), onewire::kErrAdapterNoResponse);
  close(master);
}

}  // namespace
