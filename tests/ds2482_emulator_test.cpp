// The emulated DS2482-100/-800 transfer by transfer, held to the data
// sheet's rules: the byte sequences a host sends (status 0x18 after a
// device reset, the complemented configuration byte, the reset outcomes,
// the triplet table, the -800's channel codes that read back differently),
// what the chip refuses (commands while busy, bad parameters, extra
// bytes), its busy time, the strong pull-up, and the I2C bus's own timing.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/ds2482/protocol.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "rtl/clock.hpp"
#include "support/sim_bus_builder.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::sim::Ds2482Emulator;
using onewire::sim::EmulatedI2cBus;
using onewire::sim::SimBus;
using testing_support::StepClock;
using Bytes = std::vector<std::uint8_t>;
namespace p = onewire::ds2482;

struct Ds2482Chip : ::testing::Test {
  Ds2482Chip() {
    i2c.attach(0x18, chip);
    EXPECT_EQ(i2c.open(), p::kI2cOk);
  }
  int w(const Bytes& b) { return i2c.write(0x18, b.data(), b.size()); }
  std::uint8_t r() {
    std::uint8_t v = 0xEE;
    EXPECT_EQ(i2c.read(0x18, &v, 1), p::kI2cOk);
    return v;
  }
  // Status reads until 1WB falls, as hosts poll.
  std::uint8_t idle() {
    for (int i = 0; i < 2000; ++i) {
      const std::uint8_t s = r();
      if ((s & p::kSt1wb) == 0) return s;
      clock.sleep_for(10us);
    }
    ADD_FAILURE() << "the chip stayed busy";
    return 0xFF;
  }
  std::uint8_t data_byte() {
    EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrData}), p::kI2cOk);
    return r();
  }
  std::uint8_t config() {
    EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrConfig}), p::kI2cOk);
    return r();
  }
  // Device reset and APU, as every host starts.
  void start() {
    ASSERT_EQ(w({p::kCmdDeviceReset}), p::kI2cOk);
    ASSERT_EQ(r(), 0x18);
    ASSERT_EQ(w({p::kCmdWriteConfig, 0xE1}), p::kI2cOk);
    ASSERT_EQ(r(), 0x01);
  }
  std::uint8_t one_wire_reset() {
    EXPECT_EQ(w({p::kCmdReset}), p::kI2cOk);
    return idle();
  }
  void write_byte(std::uint8_t b) {
    ASSERT_EQ(w({p::kCmdWriteByte, b}), p::kI2cOk);
    idle();
  }
  std::uint8_t read_byte() {
    EXPECT_EQ(w({p::kCmdReadByte}), p::kI2cOk);
    idle();
    return data_byte();
  }

  StepClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<SimBus> wire = std::make_shared<SimBus>();
  std::shared_ptr<Ds2482Emulator> chip = std::make_shared<Ds2482Emulator>(wire);
  EmulatedI2cBus i2c{0, &clock};
};

TEST_F(Ds2482Chip, DeviceResetThenTheComplementedConfigurationByte) {
  // Power-on: RST with the line high, configuration 00h.
  EXPECT_EQ(r(), 0x18);
  EXPECT_EQ(config(), 0x00);
  // Each desired set of bits, written with its complement above it, reads
  // back as the lower nibble alone; the first write clears RST.
  const std::array<std::pair<std::uint8_t, std::uint8_t>, 6> table = {
      {{0xF0, 0x00}, {0xE1, 0x01}, {0xA5, 0x05}, {0xB4, 0x04}, {0x78, 0x08}, {0x69, 0x09}}};
  for (const auto& [written, back] : table) {
    EXPECT_EQ(written, p::config_byte(back));
    ASSERT_EQ(w({p::kCmdWriteConfig, written}), p::kI2cOk);
    EXPECT_EQ(r(), back) << std::hex << int{written};
  }
  EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrStatus}), p::kI2cOk);
  EXPECT_EQ(r(), 0x08);
  // A byte without its complement is refused and changes nothing.
  EXPECT_EQ(w({p::kCmdWriteConfig, 0xE2}), p::kI2cNack);
  EXPECT_EQ(w({p::kCmdWriteConfig, 0x01}), p::kI2cNack);
  EXPECT_EQ(config(), 0x09);
  // Device reset: RST again, configuration cleared.
  EXPECT_EQ(w({p::kCmdDeviceReset}), p::kI2cOk);
  EXPECT_EQ(r(), 0x18);
  EXPECT_EQ(config(), 0x00);
}

TEST_F(Ds2482Chip, ResetOutcomesAndTheBusyTime) {
  start();
  // Nobody on the line: 08h; a device: 0Ah; a short: 04h (SD, line low).
  EXPECT_EQ(one_wire_reset(), 0x08);
  wire->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 7)));
  EXPECT_EQ(one_wire_reset(), 0x0A);
  wire->set_short(true);
  EXPECT_EQ(one_wire_reset(), 0x04);
  wire->set_short(false);
  EXPECT_EQ(one_wire_reset(), 0x0A);
  // 1WB holds for the reset's 1148 us from the command's acknowledge (the
  // bus here takes no time itself), and the result shows when it falls.
  ASSERT_EQ(w({p::kCmdReset}), p::kI2cOk);
  clock.sleep_for(1147us);
  EXPECT_EQ(r(), 0x0B);
  clock.sleep_for(1us);
  EXPECT_EQ(r(), 0x0A);
  // A byte: eight 70 us slots; a triplet three, a bit one.
  ASSERT_EQ(w({p::kCmdWriteByte, 0xCC}), p::kI2cOk);
  clock.sleep_for(559us);
  EXPECT_EQ(r() & p::kSt1wb, 1);
  clock.sleep_for(1us);
  EXPECT_EQ(r() & p::kSt1wb, 0);
  const auto before = chip->stats().wire;
  ASSERT_EQ(w({p::kCmdSingleBit, 0x80}), p::kI2cOk);
  idle();
  ASSERT_EQ(w({p::kCmdTriplet, 0x80}), p::kI2cOk);
  idle();
  EXPECT_EQ(chip->stats().wire - before, 4 * 70us);
}

TEST_F(Ds2482Chip, WhileBusyOnlyDeviceResetAndSetReadPointerAreTaken) {
  start();
  ASSERT_EQ(w({p::kCmdReset}), p::kI2cOk);
  for (const Bytes& refused : {Bytes{p::kCmdReset}, Bytes{p::kCmdWriteByte, 0xCC}, Bytes{p::kCmdReadByte},
                               Bytes{p::kCmdWriteConfig, 0xE1}, Bytes{p::kCmdTriplet, 0x00}})
    EXPECT_EQ(w(refused), p::kI2cNack) << std::hex << int{refused[0]};
  // Set Read Pointer moves the pointer of the running command.
  EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrConfig}), p::kI2cOk);
  EXPECT_EQ(r(), 0x01);
  EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrStatus}), p::kI2cOk);
  EXPECT_EQ(r() & p::kSt1wb, 1);
  // Device reset ends the command at once.
  EXPECT_EQ(w({p::kCmdDeviceReset}), p::kI2cOk);
  EXPECT_EQ(r(), 0x18);
  EXPECT_EQ(chip->stats().refused, 5u);
}

TEST_F(Ds2482Chip, BadCodesParametersAndExtraBytesAreNotAcknowledged) {
  start();
  EXPECT_EQ(w({0x55}), p::kI2cNack);                                  // no such command
  EXPECT_EQ(w({p::kCmdSetReadPointer, 0x00}), p::kI2cNack);           // no such register
  EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrChannel}), p::kI2cNack);  // a -800's register
  EXPECT_EQ(w({p::kCmdChannelSelect, 0xF0}), p::kI2cNack);            // a -800's command
  // A command with one byte too many runs, and the extra byte is refused.
  wire->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 9)));
  EXPECT_EQ(w({p::kCmdReset, 0x00}), p::kI2cNack);
  EXPECT_EQ(idle(), 0x0A);
  EXPECT_EQ(w({p::kCmdWriteByte, 0x33, 0x00}), p::kI2cNack);
  idle();
  EXPECT_EQ(read_byte(), 0x01);  // READ ROM took: the family code came back
  // A command cut off before its parameter does nothing.
  const auto commands = chip->stats().commands;
  EXPECT_EQ(w({p::kCmdWriteByte}), p::kI2cOk);
  EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrStatus}), p::kI2cOk);
  EXPECT_EQ(r() & p::kSt1wb, 0);
  EXPECT_EQ(chip->stats().commands, commands);
}

TEST_F(Ds2482Chip, ReadAndWriteByteFillTheDataRegister) {
  start();
  auto sensor = testing_support::sim_bus_builder(wire).add_sensor(0x28, 0x1234, 21.5).last_sensor();
  ASSERT_EQ(one_wire_reset(), 0x0A);
  write_byte(0xCC);
  write_byte(0x44);
  clock.sleep_for(750ms);
  ASSERT_EQ(one_wire_reset(), 0x0A);
  write_byte(0xCC);
  write_byte(0xBE);
  // Read Byte (96h) for the first half, Write Byte of FFh (the OWFS way)
  // for the rest: both leave the byte in the data register.
  std::array<std::uint8_t, 9> pad{};
  for (std::size_t i = 0; i < 9; ++i) {
    if (i < 5) {
      pad[i] = read_byte();
    } else {
      write_byte(0xFF);
      pad[i] = data_byte();
    }
  }
  EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
  EXPECT_EQ(pad, sensor->scratchpad(clock.now()));
  EXPECT_EQ(static_cast<std::int16_t>(pad[0] | (pad[1] << 8)) / 16.0, 21.5);
}

TEST_F(Ds2482Chip, TripletsFollowTheTable) {
  start();
  // Two ROMs that agree on bit 0 (1) and differ at bit 1.
  wire->add(onewire::sim::make_rom_device({0x01, 0, 0, 0, 0, 0, 0, 0}));
  wire->add(onewire::sim::make_rom_device({0x03, 0, 0, 0, 0, 0, 0, 0}));
  auto triplet = [&](std::uint8_t v) {
    EXPECT_EQ(w({p::kCmdTriplet, v}), p::kI2cOk);
    return idle();
  };
  // The reset's PPD (02h) stays in the status until the next reset.
  ASSERT_EQ(one_wire_reset(), 0x0A);
  write_byte(0xF0);
  EXPECT_EQ(triplet(0x00), 0xAA);  // both 1: SBR, DIR 1 whatever was asked
  EXPECT_EQ(triplet(0x80), 0x8A);  // they disagree: the 1 branch, as asked
  EXPECT_EQ(triplet(0x00), 0x4A);  // the one left has 0 there: TSB, DIR 0
  // The same discrepancy with V = 0 takes the 0 branch ("FF" and "00" are
  // what hosts send for the two directions). A reset changes PPD and SD
  // only: TSB stays from the last triplet.
  ASSERT_EQ(one_wire_reset(), 0x4A);
  write_byte(0xF0);
  EXPECT_EQ(triplet(0xFF), 0xAA);
  EXPECT_EQ(triplet(0x00), 0x0A);
  // Nobody answering: both read slots high, a one written.
  wire->remove({0x01, 0, 0, 0, 0, 0, 0, 0});
  wire->remove({0x03, 0, 0, 0, 0, 0, 0, 0});
  one_wire_reset();
  write_byte(0xF0);
  EXPECT_EQ(triplet(0x00), 0xE8);
  // A single bit: a write-one slot reads the line.
  EXPECT_EQ(w({p::kCmdSingleBit, 0x80}), p::kI2cOk);
  EXPECT_EQ(idle() & p::kStSbr, p::kStSbr);
  EXPECT_EQ(w({p::kCmdSingleBit, 0x00}), p::kI2cOk);
  EXPECT_EQ(idle() & p::kStSbr, 0);
}

TEST_F(Ds2482Chip, RepeatedReadsWatchTheBusyFlagFallInOneTransfer) {
  // At 100 kHz a byte takes 90 us: a 20-byte read spans the whole reset.
  EmulatedI2cBus slow{100'000, &clock};
  slow.attach(0x18, chip);
  ASSERT_EQ(slow.open(), p::kI2cOk);
  start();
  wire->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 7)));
  const Bytes cmd = {p::kCmdReset};
  ASSERT_EQ(slow.write(0x18, cmd.data(), cmd.size()), p::kI2cOk);
  std::array<std::uint8_t, 20> s{};
  ASSERT_EQ(slow.read(0x18, s.data(), s.size()), p::kI2cOk);
  // While busy the status holds the bits from before (no PPD yet) and 1WB.
  std::size_t busy = 0;
  while (busy < s.size() && s[busy] == 0x09) ++busy;
  // The command started at its acknowledge, one bit time before the STOP;
  // the read's first byte leaves 10 bit times after its START: the reset's
  // 1148 us less 110 us are 11.5 bytes of 90 us.
  EXPECT_EQ(busy, 12u);
  for (std::size_t i = busy; i < s.size(); ++i) EXPECT_EQ(s[i], 0x0A) << i;
  EXPECT_EQ(chip->stats().busy_reads, 12u);
}

TEST_F(Ds2482Chip, TheI2cBusTimesItsTransfersAndRefusesAbsentAddresses) {
  EmulatedI2cBus slow{100'000, &clock};
  EmulatedI2cBus fast{400'000, &clock};
  for (EmulatedI2cBus* b : {&slow, &fast}) {
    b->attach(0x18, chip);
    ASSERT_EQ(b->open(), p::kI2cOk);
  }
  const Bytes two = {p::kCmdSetReadPointer, p::kPtrStatus};
  auto timed = [&](auto&& transfer) {
    const auto t0 = clock.now();
    transfer();
    return clock.now() - t0;
  };
  // START, address, two bytes, STOP: 29 bit times; a read of one, 20.
  EXPECT_EQ(timed([&] { slow.write(0x18, two.data(), 2); }), 290us);
  EXPECT_EQ(timed([&] { fast.write(0x18, two.data(), 2); }), 72500ns);
  std::uint8_t v = 0;
  EXPECT_EQ(timed([&] { slow.read(0x18, &v, 1); }), 200us);
  // Nobody at 0x19: the address is not acknowledged, after 11 bit times.
  EXPECT_EQ(timed([&] { EXPECT_EQ(slow.read(0x19, &v, 1), p::kI2cNack); }), 110us);
  EXPECT_EQ(slow.stats().transfers, 3u);
  EXPECT_EQ(slow.stats().nacks, 1u);
  EXPECT_EQ(slow.stats().time, 600us);
  // The bus's faults: a failed transfer, a bus gone, a bus refused.
  slow.fail_transfer(1, p::kI2cBusError);
  EXPECT_EQ(slow.read(0x18, &v, 1), p::kI2cBusError);
  EXPECT_EQ(slow.read(0x18, &v, 1), p::kI2cOk);
  slow.set_gone(true);
  EXPECT_EQ(slow.write(0x18, two.data(), 2), p::kI2cGone);
  slow.close();
  EXPECT_EQ(slow.open(), p::kI2cNoBus);
  slow.set_gone(false);
  slow.set_open_error(p::kI2cAccess);
  EXPECT_EQ(slow.open(), p::kI2cAccess);
  slow.set_open_error(p::kI2cOk);
  EXPECT_EQ(slow.open(), p::kI2cOk);
}

TEST_F(Ds2482Chip, StrongPullupFeedsAParasiteConversionUntilTheNextCommand) {
  auto sensor = testing_support::sim_bus_builder(wire).add_sensor(0x28, 0x77, 23.5).parasite().last_sensor();
  start();
  auto convert = [&](bool spu) {
    ASSERT_EQ(one_wire_reset(), 0x0A);
    write_byte(0xCC);
    if (spu) {
      // APU and SPU right before the byte (D2 A5), read back as 05h.
      ASSERT_EQ(w({p::kCmdWriteConfig, 0xA5}), p::kI2cOk);
      ASSERT_EQ(r(), 0x05);
    }
    write_byte(0x44);
    EXPECT_EQ(wire->strong_pullup_on(), spu);
    EXPECT_EQ(chip->pullup_on(), spu);
    // Status and register reads are no 1-Wire traffic: the pull-up holds.
    EXPECT_EQ(config(), spu ? 0x05 : 0x01);
    clock.sleep_for(750ms);
    EXPECT_EQ(wire->strong_pullup_on(), spu);
  };
  auto temperature = [&] {
    EXPECT_EQ(one_wire_reset(), 0x0A);
    write_byte(0xCC);
    write_byte(0xBE);
    const std::uint8_t lo = read_byte();
    const std::uint8_t hi = read_byte();
    return static_cast<std::int16_t>(lo | (hi << 8)) / 16.0;
  };
  // Fed: the next 1-Wire command (the reset) ends the pull-up and clears
  // SPU; the conversion is done.
  convert(true);
  EXPECT_EQ(temperature(), 23.5);
  EXPECT_FALSE(wire->strong_pullup_on());
  EXPECT_EQ(config(), 0x01);
  EXPECT_EQ(sensor->brownouts(), 0);
  // Unfed: the device browns out and comes back at 85 degrees.
  convert(false);
  EXPECT_EQ(temperature(), 85.0);
  EXPECT_EQ(sensor->brownouts(), 1);
  // A configuration write without SPU ends it too, and so does a device
  // reset.
  for (const Bytes& end : {Bytes{p::kCmdWriteConfig, 0xE1}, Bytes{p::kCmdDeviceReset}}) {
    convert(true);
    ASSERT_EQ(w(end), p::kI2cOk);
    EXPECT_FALSE(wire->strong_pullup_on());
    EXPECT_FALSE(chip->pullup_on());
    if (end[0] == p::kCmdDeviceReset) start();
    EXPECT_EQ(temperature(), 23.5);
  }
  EXPECT_EQ(sensor->brownouts(), 1);
  EXPECT_EQ(wire->strong_pullups(), 3u);
}

struct Ds2482Chip800 : Ds2482Chip {
  Ds2482Chip800() {
    for (auto& b : buses) b = std::make_shared<SimBus>();
    eight = std::make_shared<Ds2482Emulator>(buses);
    i2c.detach(0x18);
    i2c.attach(0x18, eight);
  }
  std::array<std::shared_ptr<SimBus>, 8> buses;
  std::shared_ptr<Ds2482Emulator> eight;
};

TEST_F(Ds2482Chip800, ChannelCodesReadBackAsTheirOwnAndEachChannelIsItsBus) {
  start();
  EXPECT_EQ(eight->channels(), 8);
  // IO3: C3h written, A3h read back through the pointer it leaves.
  ASSERT_EQ(w({p::kCmdChannelSelect, 0xC3}), p::kI2cOk);
  EXPECT_EQ(r(), 0xA3);
  const std::array<std::uint8_t, 8> written = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
  const std::array<std::uint8_t, 8> back = {0xB8, 0xB1, 0xAA, 0xA3, 0x9C, 0x95, 0x8E, 0x87};
  for (std::size_t i = 0; i < 8; ++i) {
    ASSERT_EQ(w({p::kCmdChannelSelect, written[i]}), p::kI2cOk);
    EXPECT_EQ(r(), back[i]);
    EXPECT_EQ(eight->channel(), static_cast<int>(i));
  }
  // Any other code is refused and the channel stays.
  EXPECT_EQ(w({p::kCmdChannelSelect, 0x00}), p::kI2cNack);
  EXPECT_EQ(eight->channel(), 7);
  EXPECT_EQ(w({p::kCmdSetReadPointer, p::kPtrChannel}), p::kI2cOk);
  EXPECT_EQ(r(), 0x87);
  // A device on IO5 only: present there, absent on IO0.
  buses[5]->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 5)));
  ASSERT_EQ(w({p::kCmdChannelSelect, 0xA5}), p::kI2cOk);
  EXPECT_EQ(one_wire_reset(), 0x0A);
  ASSERT_EQ(w({p::kCmdChannelSelect, 0xF0}), p::kI2cOk);
  EXPECT_EQ(one_wire_reset(), 0x08);
  EXPECT_EQ(buses[5]->resets(), 1u);
  // Device reset goes back to IO0; the one configuration serves all.
  ASSERT_EQ(w({p::kCmdChannelSelect, 0xA5}), p::kI2cOk);
  ASSERT_EQ(w({p::kCmdDeviceReset}), p::kI2cOk);
  EXPECT_EQ(eight->channel(), 0);
}

}  // namespace
