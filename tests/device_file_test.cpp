// Device files with thermometer families: the keys reach the models they
// name, old files keep their buses, the example files load, and every key
// or value that cannot be used is an error naming the file and the device.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/sim/clone_family.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/rom_id.hpp"
#include "support/sim_link_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::sim::Ds18x20;
using onewire::sim::ThermometerFamily;
using F = ThermometerFamily;

std::vector<std::shared_ptr<Ds18x20>> thermometers(const onewire::sim::SimBus& bus) {
  std::vector<std::shared_ptr<Ds18x20>> out;
  for (const auto& d : bus.devices())
    if (auto t = std::dynamic_pointer_cast<Ds18x20>(d)) out.push_back(t);
  return out;
}

std::string error_of(const std::string& text) {
  try {
    qvtool::parse_device_setup(text, "f.json");
  } catch (const qvtool::DeviceFileError& e) {
    return e.what();
  }
  return "";
}

std::string rom_text(const Rom& rom) { return qvtool::format_rom(rom, qvtool::IdFormat::kQvds); }

// Drives a loaded bus the way sim_link_fixture's suites do.
struct LoadedBus {
  explicit LoadedBus(std::shared_ptr<onewire::sim::SimBus> b) : bus(std::move(b)), link(bus) {
    bus->set_device_clock(&clock);
  }
  void select(const Rom& rom) {
    ASSERT_EQ(link.reset(), onewire::kResetPresence);
    link.touch_byte(0x55);
    for (auto b : rom) link.touch_byte(b);
  }
  testing_support::Scratchpad read(const Rom& rom) {
    select(rom);
    link.touch_byte(0xBE);
    testing_support::Scratchpad pad{};
    for (auto& b : pad) b = static_cast<std::uint8_t>(link.touch_byte(0xFF));
    return pad;
  }
  void convert(const Rom& rom) {
    select(rom);
    link.touch_byte(0x44);
    clock.advance(800ms);
  }
  int power(const Rom& rom) {
    select(rom);
    link.touch_byte(0xB4);
    return link.touch_bit(1);
  }

  testing_support::ManualClock clock;
  std::shared_ptr<onewire::sim::SimBus> bus;
  onewire::sim::SimLink link;
};

TEST(DeviceFile, FamiliesAndTheirKeysReachTheModels) {
  const Rom s20_rom = onewire::sim::make_rom(0x10, 0xABCDEF);
  const auto setup = qvtool::parse_device_setup(R"({"devices": [
    {"family": "B1", "celsius": 19.5, "skip_conversions": true},
    {"family": "c", "serial": "000000000000", "reports_parasite": true, "eeprom_writes": 8},
    {"type": "DS18B20", "family": "E", "th": 30, "tl": -5, "resolution": 10, "parasite": true},
    {"rom": ")" + rom_text(s20_rom) + R"(", "family": "DS18S20", "th": -10, "fail_conversions": 1},
    {"family": "A1", "corrupt_reads": 1, "corrupt_every": 0},
    {"family": "F", "parasite": true, "parasite_works": true},
    {"type": "DS18B20", "celsius": 21.5}
  ]})",
                                                "f.json");
  const auto t = thermometers(*setup.bus);
  ASSERT_EQ(t.size(), 7u);
  const F families[] = {F::kB1, F::kC, F::kE, F::kDs18s20, F::kA1, F::kF, F::kA1};
  for (std::size_t i = 0; i < t.size(); ++i) EXPECT_EQ(t[i]->family(), families[i]) << i;
  // Without a ROM the ROM follows the family's pattern; serial 0 is the
  // published example.
  EXPECT_EQ(t[0]->rom()[1], 0xAA);
  EXPECT_EQ(t[1]->rom(), (Rom{0x28, 0xFF, 0x64, 0x1D, 0xCD, 0x96, 0xF2, 0x01}));
  EXPECT_EQ(t[3]->rom(), s20_rom);
  EXPECT_EQ(t[6]->rom()[0], 0x28);

  LoadedBus bus(setup.bus);
  // B1 never converts: the power-up 85.0 stays.
  bus.convert(t[0]->rom());
  EXPECT_EQ(bus.read(t[0]->rom())[1], 0x05);
  // C says it is parasite-powered, and its worn EEPROM keeps nothing new.
  EXPECT_EQ(bus.power(t[1]->rom()), 0);
  bus.select(t[1]->rom());
  bus.link.touch_byte(0x4E);
  for (int b : {0x11, 0x22, 0x7F}) bus.link.touch_byte(b);
  bus.select(t[1]->rom());
  bus.link.touch_byte(0x48);
  bus.clock.advance(20ms);
  EXPECT_EQ(t[1]->power_up_settings()[0], 0x55);
  EXPECT_EQ(t[1]->eeprom_writes(), 9);
  // E: the alarm bytes and resolution are what it loads at power-up.
  EXPECT_EQ(t[2]->power_up_settings(), (std::array<std::uint8_t, 3>{0x1E, 0xFB, 0x3F}));
  const auto e = bus.read(t[2]->rom());
  EXPECT_EQ(e[2], 0x1E);
  EXPECT_EQ(e[3], 0xFB);
  EXPECT_EQ(e[4], 0x3F);
  EXPECT_EQ(bus.power(t[2]->rom()), 0);
  EXPECT_EQ(bus.read(t[3]->rom())[2], 0xF6);
  bus.convert(t[3]->rom());
  EXPECT_EQ(bus.read(t[3]->rom())[1], 0x07) << "the failed conversion";
  // A1's first read is corrupted, the next is not.
  EXPECT_NE(onewire::crc8(bus.read(t[4]->rom()).data(), 9), 0);
  EXPECT_EQ(onewire::crc8(bus.read(t[4]->rom()).data(), 9), 0);
  // F with VDD floating converts on parasite power.
  bus.select(t[5]->rom());
  bus.link.touch_byte_pullup(0x44);
  bus.clock.advance(100ms);
  bus.link.end_strong_pullup();
  EXPECT_EQ(bus.read(t[5]->rom())[0], 0x90) << "25 degrees";
}

TEST(DeviceFile, OldFilesKeepTheirBusesAndTheExamplesLoad) {
  const auto old = qvtool::load_device_setup(QVDS_SOURCE_DIR "/examples/devices.json");
  std::map<Rom, F> families;
  for (const auto& t : thermometers(*old.bus)) families[t->rom()] = t->family();
  EXPECT_EQ(families.at(onewire::sim::make_rom(0x28, 0x0416913C6BFF)), F::kA1);
  EXPECT_EQ(families.at(onewire::sim::make_rom(0x28, 0x0316A2B80C11)), F::kA1);
  EXPECT_EQ(families.at(onewire::sim::make_rom(0x10, 0x000802B4A1C3)), F::kDs18s20);
  EXPECT_EQ(old.bus->devices().size(), 5u);

  const auto clones = qvtool::load_device_setup(QVDS_SOURCE_DIR "/examples/clones.json");
  std::vector<F> found;
  for (const auto& t : thermometers(*clones.bus)) found.push_back(t->family());
  EXPECT_EQ(found, (std::vector<F>{F::kA1, F::kB1, F::kE, F::kD1, F::kC, F::kB2, F::kF, F::kG, F::kDs18s20}));
}

TEST(DeviceFile, KeysAndValuesThatCannotBeUsedAreErrorsNamingTheDevice) {
  const std::string s20 = rom_text(onewire::sim::make_rom(0x10, 1));
  const std::string ds2401 = rom_text(onewire::sim::make_rom(0x01, 1));
  struct Case {
    std::string device;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {R"({"family": "Z9"})", {"unknown family \"Z9\"", "A1, A1-fishy, A2"}},
      {R"({"family": 28})", {"\"family\" must be a family name"}},
      {R"({"type": "DS18S20", "family": "B1"})", {"family B1", "no \"DS18S20\"", "0x28"}},
      {R"({"rom": ")" + s20 + R"(", "family": "B1"})", {"family B1", "0x28", "the ROM's 0x10"}},
      {R"({"rom": ")" + ds2401 + R"(", "th": 5})", {"family 0x01", "has no \"th\""}},
      {R"({"type": "DS2401", "skip_conversions": 1})", {"has no \"skip_conversions\""}},
      {R"({"family": "D1", "eeprom_writes": 3})", {"family D1", "no EEPROM"}},
      {R"({"family": "F", "eeprom_writes": 3})", {"family F", "no EEPROM"}},
      {R"({"family": "B1", "th": 128})", {"\"th\" must be within -128..127"}},
      {R"({"family": "B1", "tl": -129})", {"\"tl\" must be within -128..127"}},
      {R"({"family": "B1", "tl": 1.5})", {"\"tl\" must be a whole number"}},
      {R"({"family": "B1", "skip_conversions": "always"})", {"\"skip_conversions\" must be a whole number", "true"}},
      {R"({"family": "B1", "fail_conversions": -1})", {"\"fail_conversions\" must be within 0..1000000"}},
      {R"({"family": "B1", "corrupt_every": true})", {"\"corrupt_every\" must be a whole number"}},
      {R"({"family": "B1", "parasite_works": 1})", {"\"parasite_works\" must be true or false"}},
      {R"({"family": "B1", "reports_parasite": "no"})", {"\"reports_parasite\" must be true or false"}},
      {R"({"family": "DS18S20", "resolution": 10})", {"a DS18S20 has no \"resolution\""}},
      {R"({"family": "B1", "resolution": 13})", {"\"resolution\" must be within 9..12"}},
      {R"({"family": "B1", "eprom_writes": 1})", {"unknown key \"eprom_writes\"", "family", "skip_conversions"}},
      {R"({"serial": "000000000001"})", {"needs a \"type\", a \"family\" or a \"rom\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    const std::string message = error_of(R"({"devices": [{"type": "DS18B20"}, )" + c.device + "]}");
    EXPECT_EQ(message.rfind("f.json: device 1: ", 0), 0u) << message;
    for (const std::string& part : c.expected) EXPECT_NE(message.find(part), std::string::npos) << message;
  }
  // One family, one serial: one ROM twice.
  EXPECT_NE(error_of(R"({"devices": [{"family": "B1", "serial": "000000000005"},
                                     {"family": "B1", "serial": "000000000005"}]})")
                .find("device 1: has the same ROM as device 0"),
            std::string::npos);
}

}  // namespace
