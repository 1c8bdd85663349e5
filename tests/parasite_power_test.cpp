// Parasite-powered thermometers: the bus model browns an unfed conversion
// out to the power-on scratchpad, the driver holds the strong pull-up
// after CONVERT T where a parasite device is on the bus, and a whole
// measurement through each adapter (and its bridge latency) reads the
// right values or says why not.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/commands.hpp"
#include "onewire/driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "onewire/sim/sim_link.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::sim::Ds18x20;
using onewire::sim::SimBus;
using testing_support::Scratchpad;

using onewire::kConvertT;
using onewire::kReadScratchpad;
using onewire::kSkipRom;

// The bus model through the in-process link, with time that moves only
// when someone waits.
struct ParasiteModel : ::testing::Test {
  ParasiteModel() { EXPECT_EQ(link.open(), 1); }

  std::shared_ptr<Ds18x20> add(std::uint8_t family, std::uint64_t serial, double celsius, bool parasite) {
    return testing_support::sim_bus_builder(bus).add_sensor(family, serial, celsius).parasite(parasite).last_sensor();
  }
  void skip_convert(bool feed) {
    ASSERT_EQ(link.reset(), onewire::kResetPresence);
    link.touch_byte(kSkipRom);
    if (feed)
      link.touch_byte_pullup(kConvertT);
    else
      link.touch_byte(kConvertT);
  }
  Scratchpad read(const Rom& rom) {
    Scratchpad pad{};
    pad.fill(0xFF);
    std::array<std::uint8_t, 10> block{};
    block.fill(0xFF);
    block[0] = kReadScratchpad;
    EXPECT_EQ(link.block(&rom, false, block.data(), block.size()), 1);
    std::copy(block.begin() + 1, block.end(), pad.begin());
    return pad;
  }

  rtl::SkipClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  onewire::sim::SimLink link{bus};
};

TEST_F(ParasiteModel, UnfedConversionComesBackWithThePowerOnScratchpad) {
  auto d = add(0x28, 1, 21.5, true);
  skip_convert(false);
  clock.sleep_for(800ms);
  const Scratchpad pad = read(d->rom());
  EXPECT_EQ(pad[0], 0x50);
  EXPECT_EQ(pad[1], 0x05);
  EXPECT_EQ(pad[6], 0x0C);
  EXPECT_EQ(onewire::crc8(pad.data(), 9), 0) << "the power-on scratchpad is a valid one";
  EXPECT_EQ(d->brownouts(), 1);
  EXPECT_EQ(DecodeScratchpad(0x28, pad).status, rsPowerOnValue);
}

TEST_F(ParasiteModel, FedConversionReadsTheTemperatureAndAPoweredDeviceNeedsNoFeeding) {
  auto parasite = add(0x28, 1, 21.0625, true);
  auto powered = add(0x28, 2, -3.25, false);
  skip_convert(true);
  EXPECT_TRUE(bus->strong_pullup_on());
  clock.sleep_for(750ms);
  EXPECT_EQ(link.end_strong_pullup(), 1);
  EXPECT_FALSE(bus->strong_pullup_on());
  const Scratchpad p = read(parasite->rom());
  EXPECT_EQ(p[0] | p[1] << 8, 0x0151);
  EXPECT_EQ(p[6], 0x10 - 0x01) << "a converted DS18B20's byte 6";
  const TDecodedScratchpad decoded = DecodeScratchpad(0x28, p);
  EXPECT_EQ(decoded.status, rsRead);
  EXPECT_EQ(decoded.sixteenths, 337);
  EXPECT_EQ(decoded.text, "21.1") << "the text keeps its one digit, rounded by its table";
  const TDecodedScratchpad cold = DecodeScratchpad(0x28, read(powered->rom()));
  EXPECT_EQ(cold.sixteenths, -52);
  EXPECT_EQ(parasite->brownouts() + powered->brownouts(), 0);
}

TEST_F(ParasiteModel, APullUpEndedEarlyOrASlotDuringTheConversionBrownsItOut) {
  auto d = add(0x10, 1, 25.5, true);
  skip_convert(true);
  clock.sleep_for(300ms);
  link.end_strong_pullup();
  EXPECT_EQ(d->brownouts(), 1);
  const Scratchpad early = read(d->rom());
  EXPECT_EQ(early[0] | early[1] << 8, 0x00AA);
  EXPECT_EQ(early[6], 0x0C);
  // A DS18S20's power-on value cannot be told from a real 85.0.
  EXPECT_EQ(DecodeScratchpad(0x10, early).status, rsReadMaybePowerOn);

  // A read slot polls a powered device's progress; a parasite device
  // loses its supply to it.
  skip_convert(false);
  EXPECT_EQ(link.touch_bit(1), 1);
  EXPECT_EQ(d->brownouts(), 2);
  skip_convert(true);
  clock.sleep_for(800ms);
  const Scratchpad fed = read(d->rom());
  EXPECT_NEAR(testing_support::scratchpad_celsius(0x10, fed), 25.5, 1e-9);
  EXPECT_EQ(DecodeScratchpad(0x10, fed).sixteenths, 408);
}

// ------------------------------------------------------------ the driver

struct ParasiteDriver : ::testing::Test {
  ParasiteDriver() { driver->attach(1, bus); }
  std::int32_t open() {
    const std::int32_t h = driver->TMExtendedStartSession(1, 1, nullptr);
    EXPECT_GT(h, 0);
    return h;
  }
  std::shared_ptr<Ds18x20> add(std::uint64_t serial, bool parasite) {
    return testing_support::sim_bus_builder(bus).add_sensor(0x28, serial, 20.0).parasite(parasite).last_sensor();
  }
  std::int16_t power_of(std::int32_t h, const Rom& rom) {
    std::array<std::uint16_t, 8> words{};
    for (std::size_t i = 0; i < 8; ++i) words[i] = rom[i];
    EXPECT_EQ(driver->TMRom(h, state.data(), words.data()), 1);
    return driver->QvDevicePower(h, state.data());
  }

  rtl::SkipClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  std::shared_ptr<onewire::sim::SimDriver> driver = std::make_shared<onewire::sim::SimDriver>();
  std::vector<std::uint8_t> state = std::vector<std::uint8_t>(onewire::kStateBufferSize);
};

TEST_F(ParasiteDriver, TheSearchFindsWhichThermometersAreParasitePowered) {
  auto parasite = add(1, true);
  auto powered = add(2, false);
  const Rom id = onewire::sim::make_rom(0x01, 3);
  bus->add(onewire::sim::make_rom_device(id));
  const std::int32_t h = open();
  // Nothing known before a search.
  EXPECT_EQ(power_of(h, parasite->rom()), onewire::kPowerUnknown);
  ASSERT_EQ(driver->TMFirst(h, state.data()), 1);
  EXPECT_EQ(power_of(h, parasite->rom()), onewire::kPowerParasite);
  EXPECT_EQ(power_of(h, powered->rom()), onewire::kPowerExternal);
  EXPECT_EQ(power_of(h, id), onewire::kPowerUnknown) << "no thermometer, not asked";
  // A search that finds nobody forgets what the last one found.
  bus->remove(parasite->rom());
  bus->remove(powered->rom());
  bus->remove(id);
  EXPECT_EQ(driver->TMFirst(h, state.data()), 0);
  EXPECT_EQ(power_of(h, parasite->rom()), onewire::kPowerUnknown);
}

TEST_F(ParasiteDriver, ConvertTGetsThePullUpUntilTheNextCallWhereItIsNeeded) {
  auto parasite = add(1, true);
  auto powered = add(2, false);
  const std::int32_t h = open();
  ASSERT_EQ(driver->TMFirst(h, state.data()), 1);
  // SKIP ROM, CONVERT T: the whole bus, with a parasite device on it.
  driver->TMTouchReset(h);
  EXPECT_EQ(driver->TMTouchByte(h, kSkipRom), kSkipRom);
  EXPECT_EQ(driver->TMTouchByte(h, kConvertT), kConvertT);
  EXPECT_TRUE(bus->strong_pullup_on());
  clock.sleep_for(750ms);
  std::array<std::uint16_t, 8> words{};
  for (std::size_t i = 0; i < 8; ++i) words[i] = parasite->rom()[i];
  // Even a call with no bus traffic ends it.
  EXPECT_EQ(driver->TMRom(h, state.data(), words.data()), 1);
  EXPECT_FALSE(bus->strong_pullup_on());
  EXPECT_EQ(parasite->brownouts(), 0);

  // The selected device alone: only a parasite one gets it.
  ASSERT_EQ(driver->TMAccess(h, state.data()), 1);
  driver->TMTouchByte(h, kConvertT);
  EXPECT_TRUE(bus->strong_pullup_on());
  for (std::size_t i = 0; i < 8; ++i) words[i] = powered->rom()[i];
  ASSERT_EQ(driver->TMRom(h, state.data(), words.data()), 1);
  ASSERT_EQ(driver->TMAccess(h, state.data()), 1);
  driver->TMTouchByte(h, kConvertT);
  EXPECT_FALSE(bus->strong_pullup_on());
  // CONVERT T anywhere else (not right after SKIP ROM) is a byte like any.
  driver->TMTouchByte(h, kConvertT);
  EXPECT_FALSE(bus->strong_pullup_on());
  EXPECT_EQ(driver->TMEndSession(h), 1);
  EXPECT_FALSE(bus->strong_pullup_on());
}

TEST_F(ParasiteDriver, ABusWithoutParasiteDevicesNeverSeesThePullUp) {
  add(1, false);
  add(2, false);
  const std::int32_t h = open();
  ASSERT_EQ(driver->TMFirst(h, state.data()), 1);
  driver->TMTouchReset(h);
  driver->TMTouchByte(h, kSkipRom);
  driver->TMTouchByte(h, kConvertT);
  EXPECT_EQ(bus->strong_pullups(), 0u);
}

// ------------------------------------------- a measurement, adapter by adapter

enum class Adapter { kSim, kDs2480b, kPassive, kDs2490 };

std::string adapter_name(Adapter a) {
  switch (a) {
    case Adapter::kSim: return "Sim";
    case Adapter::kDs2480b: return "Ds2480b";
    case Adapter::kPassive: return "Passive";
    case Adapter::kDs2490: return "Ds2490";
  }
  return "?";
}

// The issue a user meets first: two parasite-powered sensors (a DS18B20 at
// 21.5, a DS18S20 at 25.5) and one powered DS18B20 at -3.25, read through
// each adapter behind a USB bridge of 0, 1 and 16 ms.
class ParasiteMeasurement : public ::testing::TestWithParam<std::tuple<Adapter, int>> {
 protected:
  ParasiteMeasurement() {
    b20 = add(0x28, 0x0416913C6BFF, 21.5, true);
    s20 = add(0x10, 0x000802B4A1C3, 25.5, true);
    cold = add(0x28, 0x0316A2B80C11, -3.25, false);
    const auto latency = std::chrono::milliseconds(std::get<1>(GetParam()));
    switch (adapter()) {
      case Adapter::kSim: {
        auto sim = std::make_shared<onewire::sim::SimDriver>();
        sim->attach(1, bus);
        driver = sim;
        break;
      }
      case Adapter::kDs2490: {
        auto chip = std::make_shared<onewire::sim::Ds2490Emulator>(bus);
        onewire::BuiltinDriverOptions o;
        o.usb_devices = [chip](int n) -> std::unique_ptr<onewire::ds2490::UsbDevice> {
          return n == 1 ? std::make_unique<onewire::sim::EmulatedUsbDevice>(chip) : nullptr;
        };
        driver = onewire::make_builtin_driver(o);
        type = onewire::kAdapterTypeDs2490;
        break;
      }
      default: {
        const bool ds2480b = adapter() == Adapter::kDs2480b;
        type = ds2480b ? onewire::kAdapterTypeDs2480b : onewire::kAdapterTypePassive;
        driver = std::make_shared<onewire::BusDriver>(
            [this, ds2480b, latency](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
              std::shared_ptr<onewire::sim::AdapterEmulator> chip;
              if (ds2480b)
                chip = std::make_shared<onewire::sim::Ds2480bEmulator>(bus);
              else
                chip = std::make_shared<onewire::sim::PassiveEmulator>(bus);
              auto port = std::make_unique<onewire::sim::EmulatedPort>(chip);
              port->set_bridge_latency(latency);
              if (ds2480b) return std::make_unique<onewire::ds2480b::Ds2480bLink>(std::move(port));
              return std::make_unique<onewire::passive::PassiveLink>(std::move(port));
            },
            "test", [](int) { return true; });
        break;
      }
    }
  }

  Adapter adapter() const { return std::get<0>(GetParam()); }
  std::shared_ptr<Ds18x20> add(std::uint8_t family, std::uint64_t serial, double celsius, bool parasite) {
    return testing_support::sim_bus_builder(bus).add_sensor(family, serial, celsius).parasite(parasite).last_sensor();
  }
  // Runs one operation and serves the main thread until it has ended.
  static void run(TQvDs18x20& c, void (TQvDs18x20::*starter)()) {
    (c.*starter)();
    ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }, 30s));
    ProcessMessages();
  }
  const TSensor* sensor_of(const TQvDs18x20& c, const std::shared_ptr<Ds18x20>& d) {
    for (int i = 0; i < c.SensorListCount(); ++i)
      if (c.sensor(i)->rom == d->rom()) return c.sensor(i);
    ADD_FAILURE() << "not listed";
    return nullptr;
  }

  rtl::SkipClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  std::shared_ptr<onewire::TmexDriver> driver;
  int type = 1;
  std::shared_ptr<Ds18x20> b20, s20, cold;
};

TEST_P(ParasiteMeasurement, EveryAdapterThatCanFeedsTheConversionAndThePassiveOneSaysItCannot) {
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.AdapterType(static_cast<std::uint8_t>(type));
  bool got_temp = false;
  c.OnGetTemp([&](TObject*) { got_temp = true; });
  c.TMEXOpenSession();
  ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  // The first measurement enumerates first, and that enumeration's own
  // conversion comes before the driver knows who needs feeding; the
  // measurement's conversion is fed.
  run(c, &TQvDs18x20::TMEXGetTemp);
  ASSERT_EQ(c.SensorListCount(), 3);
  EXPECT_TRUE(got_temp);
  const TSensor* s_b20 = sensor_of(c, b20);
  const TSensor* s_s20 = sensor_of(c, s20);
  const TSensor* s_cold = sensor_of(c, cold);
  ASSERT_TRUE(s_b20 && s_s20 && s_cold);
  EXPECT_EQ(s_cold->status, rsRead);
  EXPECT_EQ(s_cold->celsius, -3.25);
  EXPECT_EQ(s_cold->temp, "-3.2");
  EXPECT_EQ(s_cold->power, psExternal);
  if (adapter() == Adapter::kPassive) {
    // No strong pull-up: the parasite sensors hold their power-on value,
    // which is no reading, and the component names them.
    EXPECT_EQ(s_b20->status, rsPowerOnValue);
    // Unfed, a DS18S20's 85.0 can only be its power-on value too.
    EXPECT_EQ(s_s20->status, rsPowerOnValue);
    EXPECT_EQ(s_b20->temp, "");
    EXPECT_EQ(s_b20->power, psParasiteUnfed);
    EXPECT_EQ(s_s20->power, psParasiteUnfed);
    const std::vector<std::string> unfed = c.UnfedSensors();
    EXPECT_EQ(unfed.size(), 2u);
    EXPECT_NE(std::find(unfed.begin(), unfed.end(), s_b20->romstr), unfed.end());
    EXPECT_NE(std::find(unfed.begin(), unfed.end(), s_s20->romstr), unfed.end());
    EXPECT_GE(b20->brownouts(), 2);
    return;
  }
  EXPECT_EQ(s_b20->status, rsRead);
  EXPECT_EQ(s_b20->celsius, 21.5);
  EXPECT_EQ(s_b20->temp, "21.5");
  EXPECT_EQ(s_s20->status, rsRead);
  EXPECT_EQ(s_s20->celsius, 25.5);
  EXPECT_EQ(s_b20->power, psParasite);
  EXPECT_TRUE(c.UnfedSensors().empty());
  // One brown-out, in the enumeration's conversion; none in the
  // measurement's.
  EXPECT_EQ(b20->brownouts(), 1);
  EXPECT_EQ(s20->brownouts(), 1);
  // A second round knows from the start: still right.
  b20->set_temperature(22.125);
  run(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(sensor_of(c, b20)->celsius, 22.125);
  EXPECT_EQ(b20->brownouts(), 1);
  c.Close();
}

INSTANTIATE_TEST_SUITE_P(
    AdaptersAndLatencies, ParasiteMeasurement,
    ::testing::Values(std::make_tuple(Adapter::kSim, 0), std::make_tuple(Adapter::kDs2490, 0),
                      std::make_tuple(Adapter::kDs2480b, 0), std::make_tuple(Adapter::kDs2480b, 1),
                      std::make_tuple(Adapter::kDs2480b, 16), std::make_tuple(Adapter::kPassive, 0),
                      std::make_tuple(Adapter::kPassive, 1), std::make_tuple(Adapter::kPassive, 16)),
    [](const ::testing::TestParamInfo<std::tuple<Adapter, int>>& info) {
      return adapter_name(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param)) + "ms";
    });

}  // namespace
