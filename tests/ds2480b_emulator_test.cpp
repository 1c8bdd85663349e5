// The DS2480B emulator: what the chip answers to every byte a host sends,
// and what each byte costs on the line.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/serial/transport.hpp"
#include "support/adapter_emulator_bytes.hpp"
#include "support/sim_bus_builder.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::Speed;
using onewire::sim::Ds2480bEmulator;
using onewire::sim::SimBus;
using testing_support::sim_bus_builder;
using Bytes = std::vector<std::uint8_t>;

struct Ds2480bChip : ::testing::Test {
  Bytes send(const Bytes& in) { return testing_support::feed(chip, in); }
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
  sim_bus_builder(bus).add_sensor(0x28, 1);
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
  auto sensor = sim_bus_builder(bus).add_sensor(0x28, 7, 30.5).last_sensor();
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
  sim_bus_builder(bus)
      .add_rom_device(Rom{0x10, 0x01, 0, 0, 0, 0, 0, 0xCC})
      .add_rom_device(Rom{0x28, 0x01, 0, 0, 0, 0, 0, 0x29});
  out = pass(zeros);
  EXPECT_EQ(out[1], 0xF0);
  EXPECT_EQ(Bytes(out.begin() + 2, out.end()),
            (Bytes{0x40, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xA0}));
}

TEST_F(Ds2480bChip, AcceleratedSearchReportsAnErrorWhenTheDeviceLeaves) {
  auto rom = onewire::sim::make_rom(0x28, 0x123456);
  sim_bus_builder(bus).add_rom_device(rom);
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

// The one-byte input buffer: bytes timed as a host streams them at a
// rate, each beginning when the previous character ended.
struct Ds2480bInput : Ds2480bChip {
  // Streams `in` back to back from `at` at the chip's current rate; the
  // answers, and `at` moved past the last character.
  Bytes stream(const Bytes& in, rtl::TimePoint& at) {
    Bytes out;
    for (auto b : in) {
      chip.receive_at(b, at, out);
      at += chip.last_timing().receive;
    }
    return out;
  }
  // Calibrated, then switched to 115200 (the answer to the switch comes
  // at the new rate).
  void at_115200(rtl::TimePoint& at) {
    ASSERT_TRUE(stream({0xC1}, at).empty());
    ASSERT_EQ(stream({0x77}, at), Bytes{0x76});
    ASSERT_EQ(chip.baud(), 115200);
  }
  rtl::TimePoint t{std::chrono::seconds(1)};
};

TEST_F(Ds2480bInput, DataBytesFasterThanTheBusAreLostBeyondOneBuffered) {
  sim_bus_builder(bus).add_sensor(0x28, 7, 20.0);
  at_115200(t);
  // Reset, data mode, then nine data bytes back to back: the reset takes
  // 1096 us, each data byte 480 us, a character 86.8 us.
  const Bytes out = stream({0xC1, 0xE1, 0xCC, 0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, t);
  // The reset is worked on, E1 waits in the buffer, and every byte that
  // comes while the chip holds one is lost: the answers are too few.
  EXPECT_GT(chip.lost_bytes(), 0u);
  EXPECT_LT(out.size(), 1u + 9u);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], 0xCD);
}

TEST_F(Ds2480bInput, NothingIsLostWhenTheCharacterTimeCoversTheBus) {
  // At 9600 a character (1042 us) is longer than a data byte (480 us) or
  // a search-accelerator byte (720 us); the reset's 1096 us is absorbed
  // by the one buffered byte.
  auto d = sim_bus_builder(bus).add_sensor(0x28, 7, 20.0).last_sensor();
  ASSERT_TRUE(stream({0xC1}, t).empty());
  Bytes block = {0xC1, 0xE1, 0x55};
  for (auto b : d->rom()) block.push_back(b);
  block.push_back(0xBE);
  for (int i = 0; i < 9; ++i) block.push_back(0xFF);
  const Bytes out = stream(block, t);
  EXPECT_EQ(chip.lost_bytes(), 0u);
  ASSERT_EQ(out.size(), 1u + 9u + 1u + 9u);
  EXPECT_EQ(out[0], 0xCD);
  Bytes pad(out.end() - 9, out.end());
  EXPECT_EQ(onewire::crc8(pad.data(), pad.size()), 0);
  // The search accelerator streams as well: 16 bytes of 12 slots.
  Bytes search = {0xE3, 0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1};
  for (int i = 0; i < 16; ++i) search.push_back(0x00);
  search.push_back(0xE3);
  search.push_back(0xA1);
  EXPECT_EQ(stream(search, t).size(), 1u + 1u + 16u);
  EXPECT_EQ(chip.lost_bytes(), 0u);
}

TEST_F(Ds2480bInput, ALostByteChangesNothingAndTheChipGoesOnWhenItHasRoom) {
  sim_bus_builder(bus).add_sensor(0x28, 7, 20.0);
  at_115200(t);
  Bytes out = stream({0xE1, 0xFF, 0xFF, 0xE3}, t);
  // The first data byte is worked on, the second waits, the E3 is lost:
  // the chip is still in data mode.
  EXPECT_EQ(out, (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(chip.lost_bytes(), 1u);
  EXPECT_TRUE(chip.data_mode());
  // Sent once the buffered byte has started, a byte is taken in again.
  t += 480us;
  EXPECT_EQ(stream({0xFF}, t), Bytes{0xFF});
  EXPECT_EQ(chip.lost_bytes(), 1u);
  // Command bytes take no time: after the chip is idle, mode switches and
  // configuration reads stream.
  t += 2ms;
  EXPECT_EQ(stream({0xE3, 0x0F, 0x0F, 0x0F, 0xE1, 0xE3, 0x0F}, t), (Bytes{0x06, 0x06, 0x06, 0x06}));
  EXPECT_EQ(chip.lost_bytes(), 1u);
}

TEST_F(Ds2480bInput, AMasterResetEmptiesTheBufferAndUntimedBytesAreAlwaysTaken) {
  at_115200(t);
  stream({0xC1, 0xC1, 0xC1, 0xC1}, t);
  EXPECT_GT(chip.lost_bytes(), 0u);
  const auto lost = chip.lost_bytes();
  chip.line_break();
  t += 1us;
  // Calibration, then a reset at once: both taken although the resets
  // before would still be running.
  EXPECT_EQ(stream({0xC1, 0xC1}, t).size(), 1u);
  EXPECT_EQ(chip.lost_bytes(), lost);
  // The untimed path (a test, a host that cannot say when bytes came)
  // never loses one, and the model can be switched off.
  EXPECT_EQ(send({0xC1, 0xC1, 0xC1}).size(), 3u);
  ASSERT_EQ(stream({0x77}, t), Bytes{0x76});
  chip.set_input_overrun(false);
  EXPECT_EQ(stream({0xC1, 0xC1, 0xC1, 0xC1}, t).size(), 4u);
  EXPECT_EQ(chip.lost_bytes(), lost);
}

}  // namespace
