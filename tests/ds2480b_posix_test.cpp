// The DS2480B: our emulator of the chip byte by byte, our host backend
// against it in process (with the faults a serial line has), and both
// through a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <vector>

#include "onewire/driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/ds2480b/protocol.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "onewire/sim/sim_link.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::Speed;
using onewire::ds2480b::Ds2480bLink;
using onewire::ds2480b::Ds2480bOptions;
using onewire::sim::Ds18x20;
using onewire::sim::Ds2480bEmulator;
using onewire::sim::EmulatedPort;
using onewire::sim::SimBus;
using testing_support::SensorBus;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------- emulator

struct Ds2480bChip : ::testing::Test {
  Bytes send(const Bytes& in) {
    Bytes out;
    for (auto b : in) chip.receive(b, out);
    return out;
  }
  // Calibrated and in command mode.
  void calibrate() { ASSERT_TRUE(send({0xC1}).empty()); }

  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  Ds2480bEmulator chip{bus};
};

TEST_F(Ds2480bChip, MasterResetSwallowsCalibrationAndRestoresDefaults) {
  // Power-up: the first byte only calibrates, whatever it is.
  EXPECT_TRUE(chip.awaiting_calibration());
  EXPECT_TRUE(send({0xC1}).empty());
  EXPECT_EQ(bus->resets(), 0u);
  // Change rate, enter data mode; a break undoes everything.
  EXPECT_EQ(send({0x77}), Bytes{0x76});
  EXPECT_EQ(chip.baud(), 115200);
  send({0xE1});
  EXPECT_TRUE(chip.data_mode());
  chip.line_break();
  EXPECT_FALSE(chip.data_mode());
  EXPECT_EQ(chip.baud(), 9600);
  EXPECT_TRUE(send({0xC5}).empty());  // calibration again
  EXPECT_EQ(send({0x0F}), Bytes{0x00});
}

TEST_F(Ds2480bChip, NulInCommandModeIsAMasterReset) {
  calibrate();
  send({0x73});
  EXPECT_EQ(chip.baud(), 19200);
  EXPECT_TRUE(send({0x00}).empty());
  EXPECT_TRUE(chip.awaiting_calibration());
  EXPECT_EQ(chip.baud(), 9600);
  // In data mode a NUL is data; E3 first makes it the master reset.
  calibrate();
  EXPECT_EQ(send({0xE1, 0x00}), Bytes{0x00});
  EXPECT_FALSE(chip.awaiting_calibration());
  EXPECT_TRUE(send({0xE3, 0x00}).empty());
  EXPECT_TRUE(chip.awaiting_calibration());
}

TEST_F(Ds2480bChip, EscapeRule) {
  calibrate();
  // E1 E3 E3: one E3 on the bus, one answer, still in data mode.
  const auto slots = bus->slots();
  EXPECT_EQ(send({0xE1, 0xE3, 0xE3}), Bytes{0xE3});
  EXPECT_EQ(bus->slots() - slots, 8u);
  EXPECT_TRUE(chip.data_mode());
  // E3 C5: the E3 was a mode switch and C5 runs as a reset command.
  EXPECT_EQ(send({0xE3, 0xC5}), Bytes{0xCF});
  EXPECT_FALSE(chip.data_mode());
  // E3 in command mode does nothing.
  EXPECT_TRUE(send({0xE3}).empty());
  EXPECT_FALSE(chip.data_mode());
}

TEST_F(Ds2480bChip, ConfigurationWritesEchoAndReadsReturnTheValue) {
  calibrate();
  EXPECT_EQ(send({0x17, 0x45, 0x5B, 0x3F, 0x29}), (Bytes{0x16, 0x44, 0x5A, 0x3E, 0x28}));
  EXPECT_EQ(send({0x03, 0x05, 0x07, 0x09, 0x0B, 0x0F}), (Bytes{0x06, 0x08, 0x0E, 0x04, 0x0A, 0x00}));
  EXPECT_EQ(chip.parameter(3), 7);
  // The rate change answers at the new rate and the chip keeps it.
  EXPECT_EQ(send({0x75}), Bytes{0x74});
  EXPECT_EQ(send({0x0F}), Bytes{0x04});
  EXPECT_EQ(chip.baud(), 57600);
}

TEST_F(Ds2480bChip, ResetAnswersPresenceShortAndNone) {
  calibrate();
  EXPECT_EQ(send({0xC1}), Bytes{0xCF});
  bus->add(std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 1)));
  EXPECT_EQ(send({0xC1}), Bytes{0xCD});
  // The speed bits are not echoed.
  EXPECT_EQ(send({0xC5}), Bytes{0xCD});
  EXPECT_EQ(chip.speed(), Speed::kRelaxed);
  bus->set_short(true);
  EXPECT_EQ(send({0xC9}), Bytes{0xCC});
  EXPECT_EQ(chip.speed(), Speed::kOverdrive);
}

TEST_F(Ds2480bChip, SingleBitsCopyTheCommandAndDoubleTheBit) {
  calibrate();
  // Empty bus: a read slot reads 1, a write-0 slot reads 0.
  EXPECT_EQ(send({0x91}), Bytes{0x93});
  EXPECT_EQ(send({0x81}), Bytes{0x80});
  EXPECT_EQ(send({0x85}), Bytes{0x84});
  // Pull-up bit: replaced in the answer; with SPUD infinite the pulse
  // answer comes exactly once, at F1.
  EXPECT_EQ(send({0x3F}), Bytes{0x3E});
  EXPECT_EQ(send({0x97}), Bytes{0x97});
  EXPECT_TRUE(chip.pulse_active());
  EXPECT_EQ(send({0xF1}), Bytes{0xEC});
  EXPECT_TRUE(send({0xF1}).empty());
  // With a finite SPUD it ends by itself and answers right away.
  EXPECT_EQ(send({0x31}), Bytes{0x30});
  EXPECT_EQ(send({0x83}), (Bytes{0x80, 0xEC}));
  EXPECT_FALSE(chip.pulse_active());
}

TEST_F(Ds2480bChip, ConvertWithStrongPullUpAsHostsDoIt) {
  auto sensor = std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 7), 30.5);
  bus->add(sensor);
  calibrate();
  // Reset, skip ROM, then 0x44 bit by bit with the pull-up on the last.
  EXPECT_EQ(send({0xC5, 0xE1, 0xCC, 0xE3, 0x3F}), (Bytes{0xCD, 0xCC, 0x3E}));
  EXPECT_EQ(send({0x85, 0x85, 0x95, 0x85, 0x85, 0x85, 0x95, 0x87}),
            (Bytes{0x84, 0x84, 0x97, 0x84, 0x84, 0x84, 0x97, 0x84}));
  EXPECT_EQ(sensor->conversions(), 1);
  EXPECT_EQ(send({0xF1}), Bytes{0xEC});
}

TEST_F(Ds2480bChip, SearchAcceleratorExchangesSixteenBytes) {
  calibrate();
  const Bytes zeros(16, 0x00);
  auto pass = [&](const Bytes& request) {
    Bytes in = {0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1};
    in.insert(in.end(), request.begin(), request.end());
    in.insert(in.end(), {0xE3, 0xA1});
    Bytes out = send(in);
    EXPECT_EQ(out.size(), 18u);  // reset, F0 echo, 16
    EXPECT_FALSE(chip.search_accelerator());
    EXPECT_FALSE(chip.data_mode());
    return out;
  };
  // Nobody on the bus: every bit reads 1,1, all flags and directions 1.
  Bytes out = pass(zeros);
  EXPECT_EQ(out[0], 0xCF);
  EXPECT_EQ(Bytes(out.begin() + 2, out.end()), Bytes(16, 0xFF));

  // The two ROMs of the worked example.
  bus->add(onewire::sim::make_rom_device(Rom{0x10, 0x01, 0, 0, 0, 0, 0, 0xCC}));
  bus->add(onewire::sim::make_rom_device(Rom{0x28, 0x01, 0, 0, 0, 0, 0, 0x29}));
  out = pass(zeros);
  EXPECT_EQ(out[1], 0xF0);
  EXPECT_EQ(Bytes(out.begin() + 2, out.end()),
            (Bytes{0x40, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xA0}));
}

TEST_F(Ds2480bChip, AcceleratedSearchReportsAnErrorWhenTheDeviceLeaves) {
  auto rom = onewire::sim::make_rom(0x28, 0x123456);
  bus->add(onewire::sim::make_rom_device(rom));
  calibrate();
  // Start the search, then pull the device before the accelerated part:
  // from then on nobody answers, and every later bit is flag 1, dir 1.
  EXPECT_EQ(send({0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1}), (Bytes{0xCD, 0xF0}));
  Bytes out = send(Bytes(4, 0x00));
  bus->remove(rom);
  const Bytes rest = send(Bytes(12, 0x00));
  EXPECT_EQ(rest, Bytes(12, 0xFF));
  // The first 16 ROM bits came through with no discrepancy.
  for (std::size_t k = 0; k < 4; ++k)
    for (int j = 0; j < 4; ++j) {
      const int n = static_cast<int>(k) * 4 + j;
      EXPECT_EQ((out[k] >> (2 * j)) & 1, 0) << n;
      EXPECT_EQ((out[k] >> (2 * j + 1)) & 1, (rom[static_cast<std::size_t>(n / 8)] >> (n % 8)) & 1) << n;
    }
}

TEST_F(Ds2480bChip, HostFlushAfterALostSearchEndRepairsTheMode) {
  calibrate();
  Bytes in = {0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1};
  in.insert(in.end(), 16, 0x00);
  send(in);
  // "E3 A5" lost to the host's flush.
  EXPECT_TRUE(chip.search_accelerator());
  chip.host_discarded_output();
  EXPECT_FALSE(chip.search_accelerator());
  EXPECT_EQ(send({0xC5}), Bytes{0xCF});
  // Outside a search a flush changes nothing.
  send({0xE1});
  chip.host_discarded_output();
  EXPECT_TRUE(chip.data_mode());
}

TEST_F(Ds2480bChip, TimingOfEachByte) {
  calibrate();
  send({0xC1});
  EXPECT_EQ(chip.last_timing().receive, onewire::serial::char_time(9600));
  EXPECT_EQ(chip.last_timing().wire, 1096us);
  send({0xE1, 0x12});
  EXPECT_EQ(chip.last_timing().wire, 8 * 60us);
  send({0xE3, 0x77});
  // The rate change: received at 9600, answered at 115200.
  EXPECT_EQ(chip.last_timing().receive, onewire::serial::char_time(9600));
  EXPECT_EQ(chip.last_timing().answer, onewire::serial::char_time(115200));
}

// ------------------------------------------------------- host, in process

struct Ds2480bHost : ::testing::Test {
  explicit Ds2480bHost(int sensors = 5) : sensors_(sensors) {}

  std::unique_ptr<Ds2480bLink> make_link(Ds2480bOptions options = {}) {
    auto p = std::make_unique<EmulatedPort>(chip);
    port = p.get();
    return std::make_unique<Ds2480bLink>(std::move(p), options);
  }

  // Timeouts of a silent adapter run on the skipping clock in no time.
  rtl::SkipClock skip;
  rtl::ClockGuard guard{skip};
  SensorBus sensors_;
  std::shared_ptr<Ds2480bEmulator> chip = std::make_shared<Ds2480bEmulator>(sensors_.bus);
  EmulatedPort* port = nullptr;
};

TEST_F(Ds2480bHost, OpenDetectsTheChipWithTheExactSequence) {
  Ds2480bOptions at9600;
  at9600.baud = 9600;
  auto link = make_link(at9600);
  ASSERT_EQ(link->open(), 1);
  EXPECT_TRUE(link->is_open());
  EXPECT_EQ(port->breaks(), 1u);
  // Break in bytes, calibration and the setup in one write.
  EXPECT_EQ(port->written(), (Bytes{0xE3, 0x00, 0xC1, 0x17, 0x45, 0x5B, 0x3F, 0x29, 0x0F, 0x91}));
  EXPECT_EQ(port->writes(), 2u);
  EXPECT_FALSE(chip->awaiting_calibration());
  EXPECT_EQ(chip->parameter(1), 3);  // slew rate 1.37 V/us
  EXPECT_EQ(chip->parameter(3), 7);  // infinite strong pull-up
  EXPECT_EQ(link->baud(), 9600);
}

TEST_F(Ds2480bHost, OpenSwitchesTo115200ByDefaultAndReadsTheRateBack) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // The rate change rides on the setup write; at the new rate the rate
  // is read back with one configuration write beside it.
  EXPECT_EQ(port->written(), (Bytes{0xE3, 0x00, 0xC1, 0x17, 0x45, 0x5B, 0x3F, 0x29, 0x0F, 0x91, 0x77, 0x0F, 0x45}));
  EXPECT_EQ(port->writes(), 3u);
  EXPECT_EQ(chip->baud(), 115200);
  EXPECT_EQ(link->baud(), 115200);
  EXPECT_EQ(link->serial_baud(), 115200);
  EXPECT_FALSE(link->baud_fallback());
}

TEST_F(Ds2480bHost, OpenWorksWithoutABreakFromAnyChipState) {
  port = nullptr;
  auto link = make_link();
  port->set_break_supported(false);
  // Leave the chip in data mode with a pending escape: the worst case.
  Bytes junk;
  for (auto b : Bytes{0xC1, 0xE1, 0xE3}) chip->receive(b, junk);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, ResetDecodesEveryResult) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  sensors_.bus->set_short(true);
  EXPECT_EQ(link->reset(), onewire::kResetShort);
  sensors_.bus->set_short(false);
  for (const auto& s : sensors_.sensors) sensors_.bus->remove(s->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), 0);
}

TEST_F(Ds2480bHost, SearchFindsWhatTheBitwiseSearchFinds) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // A third ROM sharing the first 60 bits with another makes a deep
  // discrepancy.
  Rom twin = sensors_.sensors[1]->rom();
  twin[6] ^= 0x80;
  twin[7] = onewire::crc8(twin.data(), 7);
  sensors_.bus->add(onewire::sim::make_rom_device(twin));
  onewire::sim::SimLink reference(sensors_.bus);
  reference.open();
  const auto expected = testing_support::search_all(reference);
  ASSERT_EQ(expected.size(), 6u);
  const auto writes = port->writes();
  const auto found = testing_support::search_all(*link);
  EXPECT_EQ(found, expected);
  // Per pass one exchange: the reset with the 16 accelerator bytes,
  // never bit by bit.
  EXPECT_EQ(port->writes() - writes, found.size());
}

TEST_F(Ds2480bHost, AlarmSearchFindsOnlyAlarmingSensors) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // TH 40, TL 5 on every sensor; only the DS18S20s measure outside.
  for (const auto& s : sensors_.sensors) s->set_temperature(s->rom()[0] == 0x10 ? 50.0 : 20.0);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  for (int b : {0xCC, 0x4E, 0x28, 0x05, 0x7F}) link->touch_byte(b);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  for (int b : {0xCC, 0x44}) link->touch_byte(b);
  skip.sleep_for(800ms);
  std::vector<Rom> alarming;
  for (const auto& s : sensors_.sensors)
    if (s->rom()[0] == 0x10) alarming.push_back(s->rom());
  std::sort(alarming.begin(), alarming.end(), testing_support::bus_order_less);
  EXPECT_EQ(testing_support::search_all(*link, true), alarming);
}

TEST_F(Ds2480bHost, DataByteE3IsDoubledAndReachesTheBus) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  const Rom rom = sensors_.sensors[0]->rom();
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  link->touch_byte(0x55);
  for (auto b : rom) link->touch_byte(b);
  port->clear_written();
  // WRITE SCRATCHPAD with TH = E3.
  EXPECT_EQ(link->touch_byte(0x4E), 0x4E);
  EXPECT_EQ(link->touch_byte(0xE3), 0xE3);
  EXPECT_EQ(port->written(), (Bytes{0x4E, 0xE3, 0xE3}));
  EXPECT_EQ(link->touch_byte(0x11), 0x11);
  EXPECT_EQ(link->touch_byte(0x7F), 0x7F);
  EXPECT_EQ(sensors_.sensors[0]->scratchpad(rtl::GetClock().now())[2], 0xE3);
  // And the chip stayed in data mode throughout.
  EXPECT_TRUE(chip->data_mode());
}

TEST_F(Ds2480bHost, BitsAndSpeeds) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->set_speed(Speed::kOverdrive), static_cast<int>(Speed::kOverdrive));
  EXPECT_EQ(chip->speed(), Speed::kOverdrive);
  port->clear_written();
  EXPECT_EQ(link->touch_bit(1), 1);
  EXPECT_EQ(link->touch_bit(0), 0);
  EXPECT_EQ(port->written(), (Bytes{0x99, 0x89}));
  EXPECT_EQ(link->set_speed(Speed::kRelaxed), static_cast<int>(Speed::kRelaxed));
  EXPECT_EQ(chip->speed(), Speed::kRelaxed);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(port->written().back(), 0xC5);
}

TEST_F(Ds2480bHost, HigherBaudRate) {
  Ds2480bOptions options;
  options.baud = 115200;
  auto link = make_link(options);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(chip->baud(), 115200);
  EXPECT_EQ(port->baud(), 115200);
  EXPECT_EQ(testing_support::search_all(*link), sensors_.sorted_roms());
}

TEST_F(Ds2480bHost, SpeedSurvivesAResync) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  ASSERT_EQ(link->set_speed(Speed::kRelaxed), 2);
  port->drop_answer(1);
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->touch_byte(0xFF), 0xFF);
  EXPECT_EQ(chip->speed(), Speed::kRelaxed);
}

// ------------------------------------------------------- host faults

TEST_F(Ds2480bHost, SilentAdapterFailsOpenInBoundedTime) {
  auto link = make_link();
  port->set_silent(true);
  const auto skipped = skip.skipped();
  EXPECT_EQ(link->open(), onewire::kErrAdapterNoResponse);
  EXPECT_FALSE(link->is_open());
  // Three detection cycles, each bounded by its reply deadline.
  EXPECT_LT(skip.skipped() - skipped, 3s);
}

TEST_F(Ds2480bHost, LostAnswerFailsTheCallAndTheNextCallResyncs) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->drop_answer(1);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  const auto breaks = port->breaks();
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(port->breaks(), breaks + 1);
  EXPECT_EQ(testing_support::search_all(*link), sensors_.sorted_roms());
}

TEST_F(Ds2480bHost, TruncatedSearchAnswer) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  // Reset answer of the search, then the F0 echo, then the 16: drop the
  // last one.
  port->drop_answer(18);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(testing_support::search_all(*link), sensors_.sorted_roms());
}

TEST_F(Ds2480bHost, WrongEchoesAreRejected) {
  Ds2480bOptions at9600;  // a resync then answers 7 bytes
  at9600.baud = 9600;
  auto link = make_link(at9600);
  ASSERT_EQ(link->open(), 1);
  // A data byte whose answer has a bit the host wrote as 0.
  port->corrupt_answer(1, 0x01);
  EXPECT_EQ(link->touch_byte(0x00), onewire::kErrAdapterNoResponse);
  // A reset answer without its top bits.
  port->corrupt_answer(1 + 7, 0x80);  // after the 7 answers of the resync
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  // A bit answer whose two read bits differ.
  port->corrupt_answer(1 + 7, 0x01);
  EXPECT_EQ(link->touch_bit(1), onewire::kErrAdapterNoResponse);
  // A search whose command echo is wrong.
  port->corrupt_answer(2 + 7, 0x04);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, GarbageBeforeAnAnswer) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->inject({0x3C});
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, GarbageDuringDetectionIsRetried) {
  auto link = make_link();
  // The first detection's configuration answers get a wrong byte.
  port->corrupt_answer(2, 0x40);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(port->breaks(), 2u);
}

TEST_F(Ds2480bHost, AdapterFallingSilentFailsEveryCallInBoundedTime) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->set_silent(true);
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  port->set_silent(false);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, VanishedDeviceIsAnIoErrorAndReopensWhenBack) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->set_vanished(true);
  EXPECT_EQ(link->reset(), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->open(), onewire::kErrPortUnavailable);
  port->set_vanished(false);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

// ------------------------------------------------------- the driver

struct Ds2480bDriver : Ds2480bHost {
  Ds2480bDriver() : Ds2480bHost(10) {}

  std::shared_ptr<onewire::BusDriver> make_driver() {
    return std::make_shared<onewire::BusDriver>(
        [this](int port_number, int type, std::int16_t& error) -> std::unique_ptr<onewire::Link> {
          if (port_number != 3 || type != 5) {
            error = onewire::kErrPortUnavailable;
            return nullptr;
          }
          return make_link();
        },
        "test", [](int t) { return t == 5; });
  }
};

TEST_F(Ds2480bDriver, FindsEverySensorAndReadsItsTemperature) {
  auto driver = make_driver();
  const std::int32_t session = driver->TMExtendedStartSession(3, 5, nullptr);
  ASSERT_GT(session, 0);
  testing_support::DriverWalk walk{*driver, session};
  int end = 1;
  const auto roms = walk.roms(&end);
  EXPECT_EQ(end, 0);
  ASSERT_EQ(roms, sensors_.sorted_roms());
  ASSERT_EQ(walk.convert_all(), 1);
  skip.sleep_for(800ms);
  for (const auto& s : sensors_.sensors) {
    int error = 1;
    const auto bytes = walk.command(s->rom(), 0xBE, 9, &error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(bytes.size(), 9u);
    EXPECT_EQ(onewire::crc8(bytes.data(), 9), 0);
    testing_support::Scratchpad pad{};
    std::copy(bytes.begin(), bytes.end(), pad.begin());
    EXPECT_NEAR(testing_support::scratchpad_celsius(s->rom()[0], pad), s->temperature(), 0.07);
  }
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

TEST_F(Ds2480bDriver, FaultsBecomeNegativeDriverCodes) {
  auto driver = make_driver();
  EXPECT_EQ(driver->TMExtendedStartSession(4, 5, nullptr), onewire::kErrPortUnavailable);
  const std::int32_t session = driver->TMExtendedStartSession(3, 5, nullptr);
  ASSERT_GT(session, 0);
  port->set_silent(true);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrAdapterNoResponse);
  port->set_silent(false);
  port->set_vanished(true);
  EXPECT_EQ(driver->TMTouchByte(session, 0xFF), onewire::kErrPortIo);
  // The session stays; once the device is back the next call reopens it.
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrPortUnavailable);
  port->set_vanished(false);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kResetPresence);
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

// ------------------------------------------------------- pseudo-terminal

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
      int error = 1;
      const auto pad = walk.command(sensors.sensors[2]->rom(), 0xBE, 9, &error);
      EXPECT_EQ(error, 0);
      ASSERT_EQ(pad.size(), 9u);
      EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
      // The same read as one block exchange.
      std::array<std::uint8_t, 10> block{0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      EXPECT_EQ(driver->QvBlockExchange(session, walk.state.data(), onewire::kBlockSelect, block.data(), 10), 1);
      EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 1, block.end()), pad);
      EXPECT_EQ(driver->TMEndSession(session), 1);
    }
    // Every session's close powered the adapter down.
    EXPECT_TRUE(testing_support::PumpUntil([&] { return adapter.stats().power_cycles == 2; }, 5s))
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

TEST(Ds2480bPty, SilentPseudoTerminalFailsOpenInBoundedTime) {
  // A pseudo-terminal nobody serves: every byte goes unanswered.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  Ds2480bOptions options;
  options.reply_timeout = 50ms;
  options.detect_attempts = 2;
  Ds2480bLink link(onewire::serial::make_serial_port(ptsname(master)), options);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(link.open(), onewire::kErrAdapterNoResponse);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  close(master);
}

}  // namespace
