// Our DS2490 backend against the emulated chip in process, with the
// faults a USB line has, and the built-in driver and the component
// reaching it as adapter type 6.
#include "onewire/ds2490/ds2490_link.hpp"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/ds2490/protocol.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "rtl/messages.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::ds2490::Ds2490Link;
using onewire::sim::Ds2490Emulator;
using onewire::sim::EmulatedUsbDevice;
using testing_support::rom_text;
using testing_support::SensorBus;
using testing_support::StepClock;
namespace p = onewire::ds2490;

struct Ds2490Backend : ::testing::Test {
  explicit Ds2490Backend(int sensors = 5) : bus(sensors) {
    chip = std::make_shared<Ds2490Emulator>(bus.bus);
    auto d = std::make_unique<EmulatedUsbDevice>(chip);
    device = d.get();
    link = std::make_unique<Ds2490Link>(std::move(d));
  }

  // The scratchpad of `rom` read through the link.
  std::array<std::uint8_t, 9> read_scratchpad(const Rom& rom) {
    std::array<std::uint8_t, 9> pad{};
    EXPECT_EQ(link->match(rom), 1);
    EXPECT_EQ(link->touch_byte(0xBE), 0xBE);
    for (auto& b : pad) b = static_cast<std::uint8_t>(link->touch_byte(0xFF));
    return pad;
  }

  StepClock clock;
  rtl::ClockGuard guard{clock};
  SensorBus bus;
  std::shared_ptr<Ds2490Emulator> chip;
  EmulatedUsbDevice* device = nullptr;
  std::unique_ptr<Ds2490Link> link;
};

TEST_F(Ds2490Backend, OpenClaimsAltThreeAndSetsTheChipUp) {
  EXPECT_EQ(link->open(), 1);
  EXPECT_TRUE(link->is_open());
  EXPECT_TRUE(device->claimed());
  EXPECT_EQ(chip->alt_setting(), 3);
  EXPECT_EQ(device->clear_halts(), 3u);
  EXPECT_EQ(chip->status_register(0), 0x05);  // SPUE and speed changes enabled
  EXPECT_EQ(chip->status_register(1), p::kSpeedRegular);
  link->close();
  EXPECT_FALSE(device->claimed());
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrPortIo);
}

TEST_F(Ds2490Backend, ResetPresenceNoneAndShort) {
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  bus.bus->set_short(true);
  EXPECT_EQ(link->reset(), onewire::kResetShort);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrBusShort);
  EXPECT_EQ(link->match(bus.sensors[0]->rom()), onewire::kErrBusShort);
  bus.bus->set_short(false);
  for (const auto& s : bus.sensors) bus.bus->remove(s->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
  EXPECT_EQ(link->search(pass), 0);
  EXPECT_EQ(link->match(bus.sensors[0]->rom()), 0);
  EXPECT_EQ(link->recoveries(), 0);
}

TEST_F(Ds2490Backend, BytesBitsSearchAndMatch) {
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(testing_support::search_all(*link), bus.sorted_roms());
  EXPECT_TRUE(testing_support::search_all(*link, true).empty());
  // READ ROM through single bits on a bus with one device.
  auto only = bus.sensors[2];
  for (std::size_t i = 0; i < bus.sensors.size(); ++i)
    if (i != 2) bus.bus->remove(bus.sensors[i]->rom());
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  ASSERT_EQ(link->touch_byte(0x33), 0x33);
  Rom rom{};
  for (int i = 0; i < 64; ++i) {
    const int b = link->touch_bit(1);
    ASSERT_TRUE(b == 0 || b == 1);
    rom[static_cast<std::size_t>(i / 8)] |= static_cast<std::uint8_t>(b << (i % 8));
  }
  EXPECT_EQ(rom, only->rom());
  EXPECT_EQ(link->touch_bit(0), 0);
  // Selected by MATCH ACCESS, the sensor answers its scratchpad.
  const auto pad = read_scratchpad(only->rom());
  EXPECT_EQ(pad, only->scratchpad(clock.now()));
  EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
  // Speeds: flexible and overdrive are the chip's, and back.
  EXPECT_EQ(link->set_speed(onewire::Speed::kRelaxed), static_cast<int>(onewire::Speed::kRelaxed));
  EXPECT_EQ(chip->status_register(1), p::kSpeedFlexible);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(link->set_speed(onewire::Speed::kNormal), 0);
  EXPECT_EQ(chip->status_register(1), p::kSpeedRegular);
}

TEST_F(Ds2490Backend, StallsAndTimeoutsAreRecoveredFrom) {
  ASSERT_EQ(link->open(), 1);
  // The chip never saw the command: recovered and done again.
  device->stall(0, 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(link->recoveries(), 1);
  device->time_out(p::kEpStatus, 1);
  EXPECT_EQ(testing_support::search_all(*link), bus.sorted_roms());
  EXPECT_EQ(link->recoveries(), 2);
  // A stalled bulk-out endpoint: cleared, and the search repeated.
  device->stall(p::kEpToBus, 1);
  const auto halts = device->clear_halts();
  EXPECT_EQ(testing_support::search_all(*link), bus.sorted_roms());
  EXPECT_GT(device->clear_halts(), halts);
  EXPECT_FALSE(device->halted(p::kEpToBus));
  EXPECT_EQ(link->recoveries(), 3);
  // The byte already went over the bus: no second try, but the link is
  // usable again right after.
  device->stall(p::kEpFromBus, 1);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  EXPECT_FALSE(device->halted(p::kEpFromBus));
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(read_scratchpad(bus.sensors[0]->rom()), bus.sensors[0]->scratchpad(clock.now()));
  // Failing twice in a row is reported.
  device->stall(0, 1);
  device->stall(0, 3);  // the recovery's own RESET DEVICE is the second
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2490Backend, ACorruptedStatusPacketIsNotTrusted) {
  ASSERT_EQ(link->open(), 1);
  // A FIFO count no chip can have, the idle flag on a busy chip, and a
  // packet cut short: each one recovered from, the answers still right.
  device->corrupt_status(1, 13, 0xF0);
  EXPECT_EQ(testing_support::search_all(*link), bus.sorted_roms());
  EXPECT_EQ(link->recoveries(), 1);
  device->corrupt_status(1, 1, 0x04);  // a speed code out of range
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(link->recoveries(), 2);
  device->corrupt_status(1, 8, p::kStEp0f);
  EXPECT_EQ(link->match(bus.sensors[1]->rom()), 1);
  EXPECT_EQ(link->recoveries(), 3);
}

TEST_F(Ds2490Backend, UnpluggedMidSessionThenFoundAgain) {
  ASSERT_EQ(link->open(), 1);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  device->set_unplugged(true);
  EXPECT_EQ(link->touch_byte(0xCC), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->reset(), onewire::kErrPortIo);
  EXPECT_EQ(link->open(), onewire::kErrPortUnavailable);
  device->set_unplugged(false);
  EXPECT_EQ(link->open(), 1);
  EXPECT_EQ(device->opens(), 2u);
  EXPECT_EQ(testing_support::search_all(*link), bus.sorted_roms());
  // Gone while a search waits for the chip.
  device->set_unplugged(true);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrPortIo);
}

// ------------------------------------------------- driver and component

// The driver makes a device object per session; the adapter on the port
// (and its faults) outlives them all.
class PortDevice final : public p::UsbDevice {
 public:
  explicit PortDevice(std::shared_ptr<EmulatedUsbDevice> d) : d_(std::move(d)) {}
  int open() override { return d_->open(); }
  void close() override { d_->close(); }
  bool is_open() const override { return d_->is_open(); }
  int set_configuration(int c) override { return d_->set_configuration(c); }
  int claim_interface(int i) override { return d_->claim_interface(i); }
  int release_interface(int i) override { return d_->release_interface(i); }
  int set_alt_setting(int i, int a) override { return d_->set_alt_setting(i, a); }
  int clear_halt(std::uint8_t ep) override { return d_->clear_halt(ep); }
  int control(std::uint8_t t, std::uint8_t r, std::uint16_t v, std::uint16_t i, std::uint8_t* data, std::uint16_t n,
              rtl::Duration timeout) override {
    return d_->control(t, r, v, i, data, n, timeout);
  }
  int bulk(std::uint8_t ep, std::uint8_t* data, int n, int& moved, rtl::Duration timeout) override {
    return d_->bulk(ep, data, n, moved, timeout);
  }
  int interrupt(std::uint8_t ep, std::uint8_t* data, int n, int& moved, rtl::Duration timeout) override {
    return d_->interrupt(ep, data, n, moved, timeout);
  }

 private:
  std::shared_ptr<EmulatedUsbDevice> d_;
};

struct Ds2490Driver : ::testing::Test {
  Ds2490Driver() {
    for (auto* b : {&first, &second}) {
      auto adapter = std::make_shared<EmulatedUsbDevice>(std::make_shared<Ds2490Emulator>(b->bus));
      devices[static_cast<int>(ports.size()) + 1] = adapter.get();
      ports.push_back(adapter);
    }
    onewire::BuiltinDriverOptions o;
    o.usb_devices = [this](int port) -> std::unique_ptr<p::UsbDevice> {
      if (port < 1 || port > static_cast<int>(ports.size())) return nullptr;
      return std::make_unique<PortDevice>(ports[static_cast<std::size_t>(port - 1)]);
    };
    driver = onewire::make_builtin_driver(o);
  }

  StepClock clock;
  rtl::ClockGuard guard{clock};
  SensorBus first{4};
  SensorBus second{3, 0x00BEEF000000};
  std::vector<std::shared_ptr<EmulatedUsbDevice>> ports;
  std::map<int, EmulatedUsbDevice*> devices;
  std::shared_ptr<onewire::TmexDriver> driver;
};

TEST_F(Ds2490Driver, TypeSixPortNumbersPickTheAdapter) {
  std::array<char, 101> text{};
  EXPECT_EQ(driver->TMGetTypeVersion(6, text.data()), 1);
  EXPECT_NE(std::string(text.data()).find("DS2490"), std::string::npos);
  EXPECT_EQ(driver->TMExtendedStartSession(3, 6, nullptr), onewire::kErrPortUnavailable);
  for (int port : {1, 2}) {
    SensorBus& sensors = port == 1 ? first : second;
    SCOPED_TRACE("port " + std::to_string(port));
    const std::int32_t session = driver->TMExtendedStartSession(static_cast<std::int16_t>(port), 6, nullptr);
    ASSERT_GT(session, 0);
    testing_support::expect_measurement_of_every_sensor(*driver, session, sensors, [&] { clock.sleep_for(750ms); });
  }
}

TEST_F(Ds2490Driver, UnplugEndsOperationsWithPortIoAndReplugResumes) {
  const std::int32_t session = driver->TMExtendedStartSession(1, 6, nullptr);
  ASSERT_GT(session, 0);
  testing_support::DriverWalk walk{*driver, session};
  ASSERT_EQ(walk.roms().size(), 4u);
  devices[1]->set_unplugged(true);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrPortIo);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrPortUnavailable);
  devices[1]->set_unplugged(false);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kResetPresence);
  EXPECT_EQ(walk.roms(), first.sorted_roms());
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

TEST_F(Ds2490Driver, ComponentMeasuresThroughAdapterTypeSix) {
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.ComPort("COM2");
  c.AdapterType(6);
  int temps = 0;
  c.OnGetTemp([&](TObject*) { ++temps; });
  c.TMEXOpenSession();
  ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  c.TMEXGetTemp();
  ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }));
  ProcessMessages();
  EXPECT_EQ(temps, 1) << c.TMEXerror.str();
  ASSERT_EQ(c.SensorListCount(), 3);
  std::map<std::string, std::string> got;
  for (int i = 0; i < c.SensorListCount(); ++i) got[c.sensor(i)->romstr] = c.sensor(i)->temp;
  // The component shows tenths.
  for (const auto& s : second.sensors) {
    const std::string& text = got[rom_text(s->rom())];
    ASSERT_FALSE(text.empty()) << rom_text(s->rom());
    EXPECT_NEAR(std::stod(text), s->temperature(), 0.1) << rom_text(s->rom());
  }
  c.Close();
}

TEST_F(Ds2490Driver, ComponentSeesBusAndUsbFaultsAsItsDriverReportsThem) {
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.ComPort("COM1");
  c.AdapterType(6);
  auto run = [&](void (TQvDs18x20::*op)()) {
    (c.*op)();
    ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }));
    ProcessMessages();
  };
  auto reopen = [&] {
    c.TMEXOpenSession();
    ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  };
  reopen();
  // A stall and a damaged status packet on the way are recovered from:
  // the enumeration finds every sensor.
  devices[1]->stall(0, 3);
  devices[1]->corrupt_status(5, 13, 0xC0);
  run(&TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), 4) << c.TMEXerror.str();
  // A shorted line, then nobody there.
  first.bus->set_short(true);
  EXPECT_EQ(TMTouchReset(c.FSesionHandle.load()), onewire::kResetShort);
  run(&TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), 0);
  EXPECT_EQ(c.SensorListCount(), 0);
  EXPECT_NE(c.TMEXerror.str().find("error"), std::string::npos);
  first.bus->set_short(false);
  for (const auto& s : first.sensors) first.bus->remove(s->rom());
  reopen();
  run(&TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: 0");
  EXPECT_EQ(c.FSensorCount.load(), 0);
  // Unplugged: the next call meets the lost device (the port failed); the
  // component's enumeration then fails, and finds every sensor again once
  // the adapter is back.
  for (const auto& s : first.sensors) first.bus->add(s);
  reopen();
  devices[1]->set_unplugged(true);
  EXPECT_EQ(TMTouchReset(c.FSesionHandle.load()), onewire::kErrPortIo);
  run(&TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), 0);
  EXPECT_EQ(c.TMEXerror.str().rfind("Thread TMFirst error: -", 0), 0u) << c.TMEXerror.str();
  devices[1]->set_unplugged(false);
  reopen();
  run(&TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), 4) << c.TMEXerror.str();
  c.Close();
}

}  // namespace
