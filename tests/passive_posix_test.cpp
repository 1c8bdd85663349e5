// The passive serial adapter: our emulator character by character, our
// host backend against it in process (with the faults a serial line
// has), and both through a real pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "onewire/driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "onewire/sim/sim_link.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "support/adapter_support.hpp"
#include "support/adapter_emulator_bytes.hpp"
#include "support/emulated_port_host.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::Speed;
using onewire::passive::PassiveLink;
using onewire::sim::EmulatedPort;
using onewire::sim::PassiveEmulator;
using onewire::sim::SimBus;
using testing_support::SensorBus;
using testing_support::sim_bus_builder;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------- emulator

struct PassiveUart : ::testing::Test {
  Bytes send(const Bytes& in) { return testing_support::feed(adapter, in); }
  // One byte as eight slot characters (LSB first), and the byte read.
  int byte(int value) {
    Bytes in;
    for (int i = 0; i < 8; ++i) in.push_back(((value >> i) & 1) != 0 ? 0xFF : 0x00);
    const Bytes out = send(in);
    int r = 0;
    for (int i = 0; i < 8; ++i)
      if (out[static_cast<std::size_t>(i)] == 0xFF) r |= 1 << i;
    return r;
  }

  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  PassiveEmulator adapter{bus};
};

TEST_F(PassiveUart, ResetCharacterAnswersPresence) {
  EXPECT_EQ(send({0xF0}), Bytes{0xF0});
  sim_bus_builder(bus).add_sensor(0x28, 1);
  EXPECT_EQ(send({0xF0}), Bytes{0xE0});
  bus->set_short(true);
  EXPECT_EQ(send({0xF0}), Bytes{0x00});
  EXPECT_EQ(bus->resets(), 3u);
}

TEST_F(PassiveUart, SlotCharacters) {
  const Rom rom = onewire::sim::make_rom(0x28, 0x1234);
  sim_bus_builder(bus).add_rom_device(rom);
  send({0xF0});
  // READ ROM, then read it back: FF comes back unchanged for a 1 and with
  // bits 0..2 cleared for a 0; 00 always echoes.
  EXPECT_EQ(byte(0x33), 0x33);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(byte(0xFF), rom[i]) << i;
  // SEARCH ROM: bit 0 of family 0x28 is 0 (the device pulls the read slot
  // low), its complement 1.
  send({0xF0});
  EXPECT_EQ(byte(0xF0), 0xF0);
  EXPECT_EQ(send({0xFF}), Bytes{0xF8});
  EXPECT_EQ(send({0xFF}), Bytes{0xFF});
}

TEST_F(PassiveUart, WriteZeroCharactersOfOtherHosts) {
  // 0x80 (start bit plus seven zeros) is as much a write-0 slot as 0x00;
  // only bit 0 decides. A device sees the same command either way.
  auto sensor = sim_bus_builder(bus).add_sensor(0x28, 9, 12.5).last_sensor();
  send({0xF0});
  // SKIP ROM (CC) and CONVERT T (44), zeros sent as 0x80.
  Bytes in;
  for (int value : {0xCC, 0x44})
    for (int i = 0; i < 8; ++i) in.push_back(((value >> i) & 1) != 0 ? 0xFF : 0x80);
  const Bytes out = send(in);
  EXPECT_EQ(out, in);
  EXPECT_EQ(sensor->conversions(), 1);
}

TEST_F(PassiveUart, TimingIsOneCharacterAtTheRateOfTheOperation) {
  send({0xF0});
  EXPECT_EQ(adapter.last_timing().receive, onewire::serial::char_time(9600));
  EXPECT_EQ(adapter.last_timing().answer, rtl::Duration(0));
  send({0xFF});
  EXPECT_EQ(adapter.last_timing().receive, onewire::serial::char_time(115200));
}

// ------------------------------------------------------- host, in process

struct PassiveHost : testing_support::EmulatedPortHost<PassiveLink, PassiveEmulator> {
  PassiveHost() : EmulatedPortHost(5) {}
};

TEST_F(PassiveHost, OpenProbesWithAResetAndSlotsRunAt115200) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(port->written(), Bytes{0xF0});
  EXPECT_EQ(port->baud(), 9600);
  port->clear_written();
  EXPECT_EQ(link->touch_byte(0xA5), 0xA5);
  EXPECT_EQ(port->baud(), 115200);
  EXPECT_EQ(port->written(), (Bytes{0xFF, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0xFF}));
  // One write of eight characters, not eight writes.
  const auto writes = port->writes();
  link->touch_byte(0xFF);
  EXPECT_EQ(port->writes(), writes + 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(port->baud(), 9600);
}

TEST_F(PassiveHost, ResetResults) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  sensors.bus->set_short(true);
  EXPECT_EQ(link->reset(), onewire::kResetShort);
  sensors.bus->set_short(false);
  for (const auto& s : sensors.sensors) sensors.bus->remove(s->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
}

TEST_F(PassiveHost, SearchAndBits) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(testing_support::search_all(*link), sensors.sorted_roms());
  // A read slot on an idle bus reads 1; a write-0 slot reads 0.
  EXPECT_EQ(link->touch_bit(1), 1);
  EXPECT_EQ(link->touch_bit(0), 0);
}

// Directions known before the pass (the path to the last discrepancy,
// or a whole ROM a repeated walk expects) go out in one write; what comes
// back is what a pass that waited for every bit finds, also when the
// guess was wrong.
TEST_F(PassiveHost, SearchSendsKnownDirectionsAheadAndChecksEveryBit) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  onewire::sim::SimLink reference(sensors.bus);
  reference.open();
  const auto roms = sensors.sorted_roms();
  ASSERT_EQ(testing_support::search_all(reference), roms);
  // Each pass after the first sends its path up to the last discrepancy
  // at once: fewer writes than a reset, the command and 64 triplets.
  auto writes = port->writes();
  EXPECT_EQ(testing_support::search_all(*link), roms);
  const auto bitwise_writes = 1 + 1 + 63;
  EXPECT_LT(port->writes() - writes, roms.size() * bitwise_writes);
  // Expecting the ROMs found: a reset and one write per pass.
  onewire::SearchPass pass;
  for (std::size_t k = 0; k < roms.size(); ++k) {
    writes = port->writes();
    pass.has_expected = true;
    pass.expected = roms[k];
    ASSERT_EQ(link->search(pass), 1);
    EXPECT_EQ(pass.rom, roms[k]);
    EXPECT_EQ(port->writes() - writes, 2u);
    pass.last_discrepancy = pass.last_zero;
  }
  EXPECT_EQ(pass.last_zero, 0);
  // A wrong guess: the second ROM expected, but it has left the bus. The
  // pass walks the bus again and finds what the reference finds, with the
  // same last discrepancies.
  sensors.bus->remove(roms[1]);
  onewire::SearchPass guessed;
  guessed.has_expected = true;
  guessed.expected = roms[1];
  onewire::SearchPass plain;
  ASSERT_EQ(reference.search(plain), 1);
  ASSERT_EQ(link->search(guessed), 1);
  EXPECT_EQ(guessed.rom, plain.rom);
  EXPECT_EQ(guessed.last_zero, plain.last_zero);
  EXPECT_EQ(guessed.last_family_zero, plain.last_family_zero);
  // A wrong known path (the previous ROM's device gone) is walked again
  // too.
  onewire::SearchPass stale;
  stale.rom = roms[1];
  stale.last_discrepancy = 40;
  onewire::SearchPass stale_plain = stale;
  ASSERT_EQ(reference.search(stale_plain), link->search(stale));
  EXPECT_EQ(stale.rom, stale_plain.rom);
  EXPECT_EQ(stale.last_zero, stale_plain.last_zero);
}

TEST_F(PassiveHost, OnlyStandardSpeed) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->set_speed(Speed::kNormal), 0);
  EXPECT_EQ(link->set_speed(Speed::kOverdrive), onewire::kErrSpeed);
  EXPECT_EQ(link->set_speed(Speed::kRelaxed), onewire::kErrSpeed);
}

TEST_F(PassiveHost, SilentAdapterFailsOpenInBoundedTime) { expect_silent_adapter_fails_open_within(1s); }

TEST_F(PassiveHost, TruncatedByteFailsAndTheNextCallWorks) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->drop_answer(8);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(PassiveHost, ImpossibleEchoes) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // A write-0 slot cannot come back with a bit set.
  port->corrupt_answer(1, 0x10);
  EXPECT_EQ(link->touch_bit(0), onewire::kErrAdapterNoResponse);
  // Nor can a reset character with any of bits 0..3 set.
  port->corrupt_answer(1, 0x01);
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  // Garbage waiting before the echo.
  port->inject({0x5A});
  EXPECT_EQ(link->touch_byte(0x00), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->touch_byte(0x00), 0x00);
}

TEST_F(PassiveHost, VanishedDevice) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->set_vanished(true);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->open(), onewire::kErrPortUnavailable);
  port->set_vanished(false);
  EXPECT_EQ(link->open(), 1);
}

// ------------------------------------------------------- the driver

// TMFirst walks the bus twice; the second walk knows every ROM it should
// find, and on the passive adapter each of its passes is a reset and one
// write of all the slots.
TEST(PassiveDriver, TheCheckingWalkSendsEachPassInOneWrite) {
  rtl::SkipClock skip;
  rtl::ClockGuard guard(skip);
  SensorBus sensors(7);
  // One walk through a link of its own: what the first walk costs.
  auto own = std::make_unique<EmulatedPort>(std::make_shared<PassiveEmulator>(sensors.bus));
  EmulatedPort& own_port = *own;
  PassiveLink link(std::move(own));
  ASSERT_EQ(link.open(), 1);
  const auto before = own_port.writes();
  ASSERT_EQ(testing_support::search_all(link), sensors.sorted_roms());
  const auto one_walk = own_port.writes() - before;

  EmulatedPort* port = nullptr;
  auto driver = std::make_shared<onewire::BusDriver>(
      [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
        auto p = std::make_unique<EmulatedPort>(std::make_shared<PassiveEmulator>(sensors.bus));
        port = p.get();
        return std::make_unique<PassiveLink>(std::move(p));
      },
      "test", [](int t) { return t == 1; });
  const std::int32_t session = driver->TMExtendedStartSession(1, 1, nullptr);
  ASSERT_GT(session, 0);
  std::vector<std::uint8_t> state(onewire::kStateBufferSize);
  ASSERT_EQ(driver->TMTouchReset(session), onewire::kResetPresence);
  const auto start = port->writes();
  ASSERT_EQ(driver->TMFirst(session, state.data()), 1);
  // The checking walk, then the question whether any thermometer is
  // parasite-powered: a reset and one write (none is, here).
  EXPECT_EQ(port->writes() - start, one_walk + 2 * sensors.sensors.size() + 2);
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

TEST(PassiveDriver, ReadsEveryTemperatureInProcessAndOnAPseudoTerminal) {
  rtl::SkipClock skip;
  rtl::ClockGuard guard(skip);
  SensorBus sensors(7);
  onewire::sim::VirtualAdapter pty(sensors.bus, {onewire::sim::AdapterKind::kPassive, "", nullptr});
  ASSERT_EQ(pty.start(), 1);
  for (bool on_pty : {false, true}) {
    SCOPED_TRACE(on_pty ? "pseudo-terminal" : "in process");
    auto driver = std::make_shared<onewire::BusDriver>(
        [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
          if (on_pty) return std::make_unique<PassiveLink>(onewire::serial::make_serial_port(pty.path()));
          return std::make_unique<PassiveLink>(
              std::make_unique<EmulatedPort>(std::make_shared<PassiveEmulator>(sensors.bus)));
        },
        "test", [](int t) { return t == 1; });
    EXPECT_EQ(driver->TMExtendedStartSession(1, 5, nullptr), onewire::kErrAdapterType);
    const std::int32_t session = driver->TMExtendedStartSession(1, 1, nullptr);
    ASSERT_GT(session, 0);
    // New temperatures for each run: what is read is this run's conversion.
    for (auto& s : sensors.sensors) s->set_temperature(s->temperature() + 1.0);
    testing_support::expect_measurement_of_every_sensor(*driver, session, sensors, [&] { skip.sleep_for(800ms); });
  }
}

// Behind a USB bridge with the FTDI default latency timer: every exchange
// waits for a tick, and the search's one exchange per triplet keeps that
// to seconds.
TEST(PassivePty, DriverBehindABridge) {
  SensorBus sensors(2);
  onewire::sim::VirtualAdapterOptions o;
  o.kind = onewire::sim::AdapterKind::kPassive;
  o.bridge_latency = 16ms;
  onewire::sim::VirtualAdapter pty(sensors.bus, o);
  ASSERT_EQ(pty.start(), 1);
  auto driver = std::make_shared<onewire::BusDriver>(
      [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
        return std::make_unique<PassiveLink>(onewire::serial::make_serial_port(pty.path()));
      },
      "test", [](int t) { return t == 1; });
  const std::int32_t session = driver->TMExtendedStartSession(1, 1, nullptr);
  ASSERT_GT(session, 0);
  testing_support::DriverWalk walk{*driver, session};
  EXPECT_EQ(walk.roms(), sensors.sorted_roms());
  for (const auto& s : sensors.sensors) testing_support::expect_scratchpad_by_command_and_block(walk, s->rom());
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

TEST(PassivePty, AdapterGoneMidSession) {
  SensorBus sensors(2);
  auto pty = std::make_unique<onewire::sim::VirtualAdapter>(
      sensors.bus, onewire::sim::VirtualAdapterOptions{onewire::sim::AdapterKind::kPassive, "", nullptr});
  ASSERT_EQ(pty->start(), 1);
  const std::string path = pty->path();
  PassiveLink link(onewire::serial::make_serial_port(path));
  ASSERT_EQ(link.open(), 1);
  EXPECT_EQ(link.touch_byte(0xCC), 0xCC);
  pty.reset();
  EXPECT_EQ(link.touch_byte(0xFF), onewire::kErrPortIo);
  EXPECT_FALSE(link.is_open());
}

}  // namespace
