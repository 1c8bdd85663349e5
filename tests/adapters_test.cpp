// The adapter table against the driver it describes: every row's number
// and names, presence as the built-in driver answers it, the version text,
// capabilities as the links have them, and a row added by a test reaching
// its bus through the driver and the port names with nothing else changed.
#include "onewire/adapters.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "onewire/sim/sim_link.hpp"
#include "rtl/clock.hpp"

namespace {

using onewire::AdapterRow;
using onewire::PortForm;

std::string version_of(onewire::TmexDriver& driver, int type) {
  std::array<char, 101> text{};
  if (driver.TMGetTypeVersion(static_cast<std::int16_t>(type), text.data()) != 1) return "";
  return text.data();
}

TEST(AdapterTable, RowsHaveOneNumberAndOneNameEachAndAreFoundByEither) {
  const auto& rows = onewire::builtin_adapters();
  ASSERT_GE(rows.size(), 5u);
  std::set<int> numbers;
  std::set<std::string> names;
  for (const AdapterRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(numbers.insert(row.type).second) << "type " << row.type << " twice";
    EXPECT_TRUE(names.insert(row.name).second);
    EXPECT_GE(row.type, 0);
    EXPECT_LE(row.type, 255);
    for (const char* c = row.name; *c != 0; ++c) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(*c)));
    EXPECT_NE(std::string(row.label), "");
    EXPECT_NE(std::string(row.description), "");
    EXPECT_NE(row.open, nullptr);
    EXPECT_EQ(onewire::find_adapter(row.type), &row);
    EXPECT_EQ(onewire::find_adapter_named(row.name), &row);
    std::string upper = row.name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(onewire::find_adapter_named(upper), &row) << "names are taken in any letter case";
    // "auto" is the tool's: no row may take it.
    EXPECT_NE(std::string(row.name), "auto");
  }
  // The numbers the component, the vendor's driver and our users know.
  const std::vector<std::pair<int, std::string>> known = {
      {onewire::kAdapterTypePassive, "passive"}, {onewire::kAdapterTypeDs2480b, "ds2480b"},
      {onewire::kAdapterTypeDs2490, "usb"},      {onewire::kAdapterTypeDs2482, "ds2482"},
      {onewire::kAdapterTypeW1, "w1"}};
  for (const auto& [type, name] : known) {
    const AdapterRow* row = onewire::find_adapter(type);
    ASSERT_NE(row, nullptr) << type;
    EXPECT_EQ(row->name, name);
  }
  EXPECT_EQ(onewire::find_adapter(1)->ports, PortForm::kSerial);
  EXPECT_EQ(onewire::find_adapter(5)->ports, PortForm::kSerial);
  EXPECT_EQ(onewire::find_adapter(6)->ports, PortForm::kUsb);
  EXPECT_EQ(onewire::find_adapter(8)->ports, PortForm::kI2c);
  EXPECT_EQ(onewire::find_adapter(9)->ports, PortForm::kKernelW1);
  EXPECT_EQ(onewire::find_adapter(2), nullptr);
  EXPECT_EQ(onewire::find_adapter_named("ds2480"), nullptr);
}

TEST(AdapterTable, TheDriverAnswersExactlyThePresentRowsAndSaysWhyOthersAreAbsent) {
  const auto driver = onewire::make_builtin_driver();
  for (const AdapterRow& row : onewire::builtin_adapters()) {
    SCOPED_TRACE(row.name);
    const bool present = onewire::adapter_present(row);
    const std::string version = version_of(*driver, row.type);
    EXPECT_EQ(!version.empty(), present);
    if (present) {
      EXPECT_NE(version.find(std::to_string(row.type) + " " + row.label), std::string::npos) << version;
    } else {
      EXPECT_NE(std::string(row.absent_reason), "") << "an absent row says why";
      EXPECT_EQ(driver->TMExtendedStartSession(1, static_cast<std::int16_t>(row.type), nullptr),
                onewire::kErrAdapterType);
    }
  }
  // Every build has the serial adapters; the others need their systems.
  EXPECT_TRUE(onewire::adapter_present(*onewire::find_adapter(1)));
  EXPECT_TRUE(onewire::adapter_present(*onewire::find_adapter(5)));
  EXPECT_EQ(version_of(*driver, 2), "");
  EXPECT_EQ(driver->TMExtendedStartSession(1, 2, nullptr), onewire::kErrAdapterType);
}

TEST(AdapterTable, StandInsMakeTheirRowsPresentAndTheVersionTextFitsItsHundredCharacters) {
  onewire::BuiltinDriverOptions options;
  options.usb_devices = [](int) { return std::unique_ptr<onewire::ds2490::UsbDevice>(); };
  options.i2c_buses = [](const std::string&) { return std::unique_ptr<onewire::ds2482::I2cBus>(); };
  const auto driver = onewire::make_builtin_driver(options);
  EXPECT_NE(version_of(*driver, 6), "");
  EXPECT_NE(version_of(*driver, 8), "");
  const std::string all = onewire::adapters_version_text(onewire::builtin_adapters(), options);
  EXPECT_LE(all.size(), 100u) << all;
  EXPECT_EQ(all.rfind("qvds18x20 adapters: ", 0), 0u) << all;

  // Serial rows alone are said to be so.
  std::vector<AdapterRow> serial;
  for (const AdapterRow& row : onewire::builtin_adapters())
    if (row.ports == PortForm::kSerial) serial.push_back(row);
  EXPECT_EQ(onewire::adapters_version_text(serial, {}),
            "qvds18x20 serial adapters: 1 passive (DS9097), 5 DS2480B (DS9097U)");
  // A table longer than a version holds loses whole rows, never half one.
  std::vector<AdapterRow> many = onewire::builtin_adapters();
  for (int i = 0; i < 6; ++i) {
    AdapterRow extra = serial.front();
    extra.type = 200 + i;
    many.push_back(extra);
  }
  const std::string cut = onewire::adapters_version_text(many, options);
  EXPECT_LE(cut.size(), 100u);
  EXPECT_NE(cut.back(), ',');
  EXPECT_EQ(cut.find("200 passive (DS9097)"), std::string::npos) << "no room for it: " << cut;
}

TEST(AdapterTable, CapabilitiesAreTheLinksOwn) {
  // Each row's link, made on a port that leads nowhere (nothing opens):
  // what the table says of its strong pull-up is what the link does.
  constexpr int kPort = 251;
  onewire::pin_port(kPort, "/nonexistent/qvds-capabilities");
  auto chip = std::make_shared<onewire::sim::Ds2490Emulator>(std::make_shared<onewire::sim::SimBus>());
  auto i2c = std::make_shared<onewire::sim::EmulatedI2cBus>(0);
  onewire::BuiltinDriverOptions options;
  options.usb_devices = [chip](int) -> std::unique_ptr<onewire::ds2490::UsbDevice> {
    return std::make_unique<onewire::sim::EmulatedUsbDevice>(chip);
  };
  options.i2c_buses = [i2c](const std::string&) { return i2c->connect(); };
  int checked = 0;
  for (const AdapterRow& row : onewire::builtin_adapters()) {
    SCOPED_TRACE(row.name);
    if (row.ports == PortForm::kI2c) onewire::pin_port(kPort, "/dev/i2c-1:0x18");
    if (row.ports == PortForm::kSerial) onewire::pin_port(kPort, "/nonexistent/qvds-capabilities");
    std::int16_t error = 0;
    const auto link = row.open(options, kPort, error);
    if (!link) {
      // Only a row this build lacks may have no link to look at.
      EXPECT_FALSE(row.present(options));
      EXPECT_EQ(error, onewire::kErrAdapterType);
      continue;
    }
    EXPECT_EQ(link->can_strong_pullup(), row.can.strong_pullup);
    ++checked;
  }
  onewire::unpin_port(kPort);
  EXPECT_GE(checked, 4);
  // The rows that serve parasite-powered sensors, as README says.
  EXPECT_FALSE(onewire::find_adapter(onewire::kAdapterTypeW1)->can.strong_pullup);
  EXPECT_TRUE(onewire::find_adapter(onewire::kAdapterTypeDs2480b)->can.strong_pullup);
}

// --- a row of a test's own -------------------------------------------------

// The bus behind the test row: a plain function can reach nothing else.
std::shared_ptr<onewire::sim::SimBus>& loop_bus() {
  static auto bus = std::make_shared<onewire::sim::SimBus>();
  return bus;
}

// Its ports are serial ports named "loop:N"; only loop:1 leads to a bus.
std::unique_ptr<onewire::Link> open_loop(const onewire::BuiltinDriverOptions&, int port, std::int16_t& error) {
  const auto device = onewire::port_device(PortForm::kSerial, port);
  if (!device || *device != "/loop:1") {
    error = onewire::kErrPortUnavailable;
    return nullptr;
  }
  return std::make_unique<onewire::sim::SimLink>(loop_bus());
}

bool present(const onewire::BuiltinDriverOptions&) { return true; }

const std::vector<AdapterRow>& table_with_loop() {
  static const std::vector<AdapterRow> table = [] {
    std::vector<AdapterRow> t = onewire::builtin_adapters();
    t.push_back({.type = 42,
                 .name = "loop",
                 .label = "loop (test)",
                 .description = "a simulated bus behind a serial port name",
                 .ports = PortForm::kSerial,
                 .present = present,
                 .absent_reason = "",
                 .access_group = "",
                 .can = {.strong_pullup = true, .block_exchange = false},
                 .open = open_loop,
                 .detect_rank = 3});
    return t;
  }();
  return table;
}

TEST(AdapterTable, ANewRowIsAnsweredByTheDriverWithNothingElseChanged) {
  rtl::SkipClock clock;
  rtl::ClockGuard clock_guard(clock);
  loop_bus() = std::make_shared<onewire::sim::SimBus>();
  const onewire::Rom rom = onewire::sim::make_rom(0x28, 0x4242);
  loop_bus()->add(std::make_shared<onewire::sim::Ds18x20>(rom, 21.5));

  onewire::BuiltinDriverOptions options;
  options.adapters = &table_with_loop();
  const auto driver = onewire::make_builtin_driver(options);
  const std::string version = version_of(*driver, 42);
  ASSERT_NE(version, "") << "the driver does not answer the new type";
  // The built-in rows are answered as before.
  EXPECT_NE(version_of(*driver, 5), "");
  ASSERT_EQ(onewire::find_adapter_named("loop", table_with_loop())->type, 42);
  EXPECT_EQ(onewire::find_adapter_named("loop"), nullptr) << "the built-in table stays as it is";

  // Its port name goes through the resolver to a number and back.
  const auto resolved = onewire::resolve_port("/loop:1", onewire::find_adapter(42, table_with_loop())->ports);
  ASSERT_TRUE(resolved.port);
  const std::int32_t session =
      driver->TMExtendedStartSession(static_cast<std::int16_t>(resolved.port->number), 42, nullptr);
  ASSERT_GT(session, 0);
  std::vector<std::uint8_t> state(15360);
  ASSERT_EQ(driver->TMFirst(session, state.data()), 1);
  std::array<std::uint16_t, 8> found{};
  ASSERT_EQ(driver->TMRom(session, state.data(), found.data()), 1);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(found[i], rom[i]);
  EXPECT_EQ(driver->TMEndSession(session), 1);

  // Another number of its form leads nowhere, and detection finds it by
  // its rank once the serial adapters before it have failed.
  const auto other = onewire::resolve_port("/loop:2", PortForm::kSerial);
  ASSERT_TRUE(other.port);
  EXPECT_EQ(driver->TMExtendedStartSession(static_cast<std::int16_t>(other.port->number), 42, nullptr),
            onewire::kErrPortUnavailable);
  std::int16_t error = 0;
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, resolved.port->number, options, error, 0, table_with_loop()),
            42);
  EXPECT_EQ(error, 0);
  onewire::unpin_port(resolved.port->number);
  onewire::unpin_port(other.port->number);
}

}  // namespace
