// The DS2490 emulator, transfer by transfer: descriptors and standard
// requests, the mode registers, the communication commands and their
// results, the FIFOs, and the chip's timing model.
#include "onewire/sim/ds2490_emulator.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "onewire/ds2490/protocol.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "support/adapter_support.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::sim::Ds2490Emulator;
using onewire::sim::SimBus;
using testing_support::SensorBus;
using testing_support::StepClock;
using testing_support::sim_bus_builder;
using Bytes = std::vector<std::uint8_t>;
namespace p = onewire::ds2490;

constexpr auto kTimeout = std::chrono::milliseconds(1000);

struct Ds2490Chip : ::testing::Test {
  Ds2490Chip() {
    chip.open();
    EXPECT_EQ(chip.claim_interface(0), 0);
    EXPECT_EQ(chip.set_alt_setting(0, 3), 0);
  }
  int ctl(std::uint8_t request, std::uint16_t value, std::uint16_t index = 0) {
    return chip.control(p::kVendorOut, request, value, index, nullptr, 0, kTimeout);
  }
  int comm(std::uint16_t value, std::uint16_t index = 0) { return ctl(p::kRequestComm, value, index); }
  Bytes status() {
    std::array<std::uint8_t, 32> buf{};
    int got = 0;
    EXPECT_EQ(chip.interrupt(p::kEpStatus, buf.data(), 32, got, kTimeout), 0);
    return Bytes(buf.begin(), buf.begin() + got);
  }
  // Polls until idle; every result byte seen on the way.
  Bytes wait_idle() {
    Bytes results;
    for (int i = 0; i < 200; ++i) {
      const Bytes s = status();
      if (s.size() < 16) return results;
      results.insert(results.end(), s.begin() + 16, s.end());
      if ((s[8] & p::kStIdle) != 0) return results;
    }
    ADD_FAILURE() << "the chip never became idle";
    return results;
  }
  void put(const Bytes& b) {
    Bytes copy = b;
    int done = 0;
    ASSERT_EQ(chip.bulk(p::kEpToBus, copy.data(), static_cast<int>(copy.size()), done, kTimeout), 0);
    ASSERT_EQ(done, static_cast<int>(b.size()));
  }
  Bytes get(int n, int* rc = nullptr) {
    Bytes buf(static_cast<std::size_t>(n));
    int got = 0;
    const int r = chip.bulk(p::kEpFromBus, buf.data(), n, got, kTimeout);
    if (rc != nullptr) *rc = r;
    buf.resize(static_cast<std::size_t>(got));
    return buf;
  }

  StepClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
  Ds2490Emulator chip{bus, &clock};
};

TEST_F(Ds2490Chip, DescriptorsAndStandardRequests) {
  std::size_t n = 0;
  const std::uint8_t* d = Ds2490Emulator::device_descriptor(n);
  ASSERT_EQ(n, 18u);
  EXPECT_EQ(d[8] | (d[9] << 8), 0x04FA);
  EXPECT_EQ(d[10] | (d[11] << 8), 0x2490);
  const std::uint8_t* c = Ds2490Emulator::config_descriptor(n);
  EXPECT_EQ(c[2] | (c[3] << 8), static_cast<int>(n));
  // Four alternate settings of interface 0, three endpoints each; the
  // status endpoint polls at 10 ms in 0 and 1, at 1 ms in 2 and 3.
  int alts = 0;
  for (std::size_t k = 0; k < n; k += c[k]) {
    if (c[k + 1] == 4) {
      EXPECT_EQ(c[k + 3], alts);
      EXPECT_EQ(c[k + 4], 3);
      ++alts;
    }
    if (c[k + 1] == 5 && c[k + 2] == p::kEpStatus) {
      EXPECT_EQ(c[k + 6], alts <= 2 ? 10 : 1);
    }
  }
  EXPECT_EQ(alts, 4);
  // Strings are not served, unknown vendor requests stall.
  std::array<std::uint8_t, 64> buf{};
  EXPECT_EQ(chip.control(0x80, 0x06, 0x0301, 0, buf.data(), 64, kTimeout), p::kUsbErrorPipe);
  EXPECT_EQ(chip.control(0x80, 0x06, 0x0100, 0, buf.data(), 64, kTimeout), 18);
  EXPECT_EQ(ctl(0x03, 0), p::kUsbErrorPipe);
  EXPECT_EQ(ctl(p::kRequestMode, 0x0009, 1), p::kUsbErrorPipe);
  EXPECT_EQ(comm(0x0090), p::kUsbErrorPipe);
}

TEST_F(Ds2490Chip, PowerOnRegistersAndTheDaemonStyleInitialisation) {
  const Bytes on = status();
  ASSERT_EQ(on.size(), 16u);
  EXPECT_EQ(Bytes(on.begin(), on.begin() + 9), (Bytes{0x00, 0x00, 0x20, 0x40, 0x05, 0x04, 0x04, 0x00, 0x20}));
  ASSERT_EQ(ctl(p::kRequestControl, p::kCtlResetDevice), 0);
  ASSERT_EQ(comm(0x0013, 0x00), 0);  // strong pull-up: infinite
  ASSERT_EQ(comm(0x001B, 0x3C), 0);  // programming pulse: 480 us
  ASSERT_EQ(ctl(p::kRequestMode, p::kModePulseEnable, 0x03), 0);
  ASSERT_EQ(ctl(p::kRequestMode, p::kModeSpeedChangeEnable, 1), 0);
  ASSERT_EQ(ctl(p::kRequestMode, p::kModeSpeed, 1), 0);
  ASSERT_EQ(ctl(p::kRequestMode, p::kModeSlewRate, 4), 0);
  ASSERT_EQ(ctl(p::kRequestMode, p::kModeWrite1Low, 4), 0);
  ASSERT_EQ(ctl(p::kRequestMode, p::kModeDsoW0r, 4), 0);
  wait_idle();
  ASSERT_EQ(comm(0x0043), 0);  // reset, no NTF, on an empty bus
  // Poll until the result shows up; the packet that carries it is the
  // one the datasheet's register layout gives.
  Bytes packet;
  for (int i = 0; i < 10 && packet.size() <= 16; ++i) packet = status();
  EXPECT_EQ(packet, (Bytes{0x07, 0x01, 0x00, 0x3C, 0x04, 0x04, 0x04, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x01}));
  // Results are reported once.
  EXPECT_EQ(status().size(), 16u);
  // RESET DEVICE brings the power-on modes back.
  ASSERT_EQ(ctl(p::kRequestControl, p::kCtlResetDevice), 0);
  EXPECT_EQ(status()[1], 0x00);
}

TEST_F(Ds2490Chip, ResetResultsFollowNtfAndIcp) {
  // Nobody there: NRS, posted also without NTF.
  comm(0x0043);
  EXPECT_EQ(wait_idle(), Bytes{0x01});
  sim_bus_builder(bus).add_sensor(0x28, 1);
  comm(0x0043);
  EXPECT_EQ(wait_idle(), Bytes{});
  comm(0x0443);  // NTF: a 0x00 for a clean reset
  EXPECT_EQ(wait_idle(), Bytes{0x00});
  comm(0x0643);  // ICP suppresses even that
  EXPECT_EQ(wait_idle(), Bytes{});
  bus->set_short(true);
  comm(0x0443);
  EXPECT_EQ(wait_idle(), Bytes{0x02});
  // While the reset runs the chip is busy with it.
  bus->set_short(false);
  comm(0x0443);
  const Bytes busy = status();
  EXPECT_EQ(busy[8] & p::kStIdle, 0);
  EXPECT_EQ(busy[9] | (busy[10] << 8), 0x0443);
}

TEST_F(Ds2490Chip, BytesBlocksAndTheReadBackFifo) {
  auto d = sim_bus_builder(bus).add_sensor(0x28, 7, 21.5).last_sensor();
  comm(0x0043);
  wait_idle();
  // READ ROM through BYTE I/O: the echo, then the ROM bytes.
  comm(0x0053, 0x33);
  EXPECT_EQ(get(1), Bytes{0x33});
  Bytes rom;
  for (int i = 0; i < 8; ++i) {
    comm(0x0053, 0xFF);
    rom.push_back(get(1).at(0));
  }
  EXPECT_EQ(rom, Bytes(d->rom().begin(), d->rom().end()));
  // The same through one BLOCK I/O with a reset.
  Bytes block = {0x33, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  put(block);
  comm(0x0175, static_cast<std::uint16_t>(block.size()));
  wait_idle();
  EXPECT_EQ(status()[13], 9);
  Bytes expect = {0x33};
  expect.insert(expect.end(), d->rom().begin(), d->rom().end());
  EXPECT_EQ(get(9), expect);
  // Asking for fewer bytes than the FIFO's packet holds loses the packet.
  put(block);
  comm(0x0175, static_cast<std::uint16_t>(block.size()));
  wait_idle();
  int rc = 0;
  get(4, &rc);
  EXPECT_EQ(rc, p::kUsbErrorOverflow);
  EXPECT_EQ(status()[13], 0);
  // An empty FIFO makes a bulk read wait out its deadline.
  get(1, &rc);
  EXPECT_EQ(rc, p::kUsbErrorTimeout);
}

TEST_F(Ds2490Chip, SearchAccessOneRomAtATimeAndAllAtOnce) {
  SensorBus sensors(6);
  bus = sensors.bus;
  Ds2490Emulator c(bus, &clock);
  c.open();
  c.claim_interface(0);
  c.set_alt_setting(0, 3);
  auto run_search = [&](const Rom& start, std::uint16_t value, std::uint16_t index, Bytes& results) {
    Rom copy = start;
    int done = 0;
    EXPECT_EQ(c.bulk(p::kEpToBus, copy.data(), 8, done, kTimeout), 0);
    EXPECT_EQ(c.control(p::kVendorOut, p::kRequestComm, value, index, nullptr, 0, kTimeout), 0);
    std::array<std::uint8_t, 32> s{};
    int got = 0;
    for (int i = 0; i < 300; ++i) {
      EXPECT_EQ(c.interrupt(p::kEpStatus, s.data(), 32, got, kTimeout), 0);
      results.insert(results.end(), s.begin() + 16, s.begin() + got);
      if ((s[8] & p::kStIdle) != 0) break;
    }
    Bytes out(s[13]);
    int n = 0;
    if (!out.empty()) {
      EXPECT_EQ(c.bulk(p::kEpFromBus, out.data(), static_cast<int>(out.size()), n, kTimeout), 0);
    }
    return out;
  };
  // One ROM per command, continuing from the discrepancy map as hosts do.
  std::vector<Rom> found;
  Rom start{};
  for (int round = 0; round < 10; ++round) {
    Bytes results;
    const Bytes out = run_search(start, 0x49FD, 0x01F0, results);
    ASSERT_TRUE(out.size() == 8 || out.size() == 16) << out.size();
    Rom rom{};
    std::copy(out.begin(), out.begin() + 8, rom.begin());
    EXPECT_EQ(onewire::crc8(rom.data(), 8), 0);
    found.push_back(rom);
    EXPECT_TRUE(results.empty());
    if (out.size() == 8) break;
    int next = -1;
    for (int i = 63; i >= 0 && next < 0; --i)
      if (((out[8 + i / 8] >> (i % 8)) & 1) != 0 && ((rom[i / 8] >> (i % 8)) & 1) == 0) next = i;
    ASSERT_GE(next, 0);
    start = rom;
    start[next / 8] |= static_cast<std::uint8_t>(1 << (next % 8));
    for (int i = next + 1; i < 64; ++i) start[i / 8] &= static_cast<std::uint8_t>(~(1 << (i % 8)));
  }
  EXPECT_EQ(found, sensors.sorted_roms());
  // No limit: every ROM in one command, no map, and no EOS.
  Bytes results;
  const Bytes all = run_search(Rom{}, 0x49FD, 0x00F0, results);
  ASSERT_EQ(all.size(), 48u);
  for (std::size_t k = 0; k < 6; ++k) EXPECT_TRUE(std::equal(all.begin() + 8 * k, all.begin() + 8 * k + 8, found[k].begin()));
  EXPECT_TRUE(results.empty());
  // A limit above the device count ends with EOS.
  results.clear();
  EXPECT_EQ(run_search(Rom{}, 0x49FD, 0x08F0, results).size(), 48u);
  EXPECT_EQ(results, Bytes{p::kResultEos});
  // Alarm search with nobody alarming: nothing, and EOS.
  results.clear();
  EXPECT_TRUE(run_search(Rom{}, 0x49FD, 0x01EC, results).empty());
  EXPECT_EQ(results, Bytes{p::kResultEos});
}

TEST_F(Ds2490Chip, StrongPullupNeedsSpueAndLastsItsDuration) {
  sim_bus_builder(bus).add_sensor(0x28, 3);
  comm(0x0013, 2);  // 32 ms
  wait_idle();
  // Without SPUE the SPU flag is ignored.
  comm(0x1053, 0xFF);
  EXPECT_EQ(get(1), Bytes{0xFF});
  EXPECT_NE(status()[8] & p::kStIdle, 0);
  ctl(p::kRequestMode, p::kModePulseEnable, p::kPulseSpue);
  comm(0x1053, 0xFF);
  // The echo is there before the pull-up ends.
  EXPECT_EQ(get(1), Bytes{0xFF});
  const Bytes during = status();
  EXPECT_EQ(during[8] & (p::kStSpua | p::kStIdle), p::kStSpua);
  const auto start = clock.now();
  wait_idle();
  EXPECT_GE(clock.now() - start, 28ms);
  EXPECT_EQ(status()[8] & p::kStSpua, 0);
  // Duration 0: until HALT EXE IDLE.
  comm(0x0013, 0);
  comm(0x1053, 0xFF);
  get(1);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(status()[8] & (p::kStSpua | p::kStIdle), p::kStSpua);
  ctl(p::kRequestControl, p::kCtlHaltExeIdle);
  ctl(p::kRequestControl, p::kCtlResumeExe);
  EXPECT_EQ(status()[8] & (p::kStSpua | p::kStIdle | p::kStHalt), p::kStIdle);
}

TEST_F(Ds2490Chip, QueuedCommandsStartExeAndTheEp0Overflow) {
  sim_bus_builder(bus).add_sensor(0x28, 3);
  // IM = 0: queued until START EXE.
  comm(0x0052, 0x33);
  Bytes s = status();
  EXPECT_EQ(s[8] & p::kStIdle, 0);
  EXPECT_EQ(s[11], 3);
  ctl(p::kRequestControl, p::kCtlStartExe);
  EXPECT_EQ(get(1), Bytes{0x33});
  // Sixteen FIFO bytes fill up: the next setup packet is dropped and only
  // EP0F tells, until RESET DEVICE.
  for (int i = 0; i < 6; ++i) comm(0x0052, 0x33);
  s = status();
  EXPECT_NE(s[8] & p::kStEp0f, 0);
  EXPECT_EQ(s[11], 15);
  ctl(p::kRequestControl, p::kCtlResetDevice);
  s = status();
  EXPECT_EQ(s[8], p::kStIdle);
  EXPECT_EQ(s[11], 0);
}

TEST_F(Ds2490Chip, TransfersWaitForUsbFramesAndBusTime) {
  sim_bus_builder(bus).add_sensor(0x28, 3);
  chip.reset_stats();
  const auto t0 = clock.now();
  comm(0x0053, 0xFF);
  get(1);
  const auto byte_time = clock.now() - t0;
  // A control transfer and a bulk read: two frames at least, and the
  // byte's eight slots fit in the second.
  EXPECT_GE(byte_time, 1ms);
  EXPECT_LE(byte_time, 2ms);
  const auto t1 = clock.now();
  put(Bytes(64, 0xFF));
  comm(0x0075, 64);
  get(64);
  // 64 bytes of 8 slots of 65 us: 33 ms of bus time.
  EXPECT_GE(clock.now() - t1, 33ms);
  EXPECT_LE(clock.now() - t1, 37ms);
  const auto stats = chip.stats();
  EXPECT_EQ(stats.control, 2u);
  EXPECT_EQ(stats.bulk_in, 2u);
  EXPECT_EQ(stats.bulk_out, 1u);
  // In alternate setting 0 the status endpoint answers every 10 ms.
  chip.set_alt_setting(0, 0);
  const auto t2 = clock.now();
  status();
  status();
  EXPECT_GE(clock.now() - t2, 10ms);
}

}  // namespace
