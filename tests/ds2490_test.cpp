// The DS2490 USB adapter: our emulator of the chip transfer by transfer,
// our backend against it in process (with the faults a USB line has), and
// the built-in driver and the component reaching it as adapter type 6.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <map>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/ds2490/ds2490_link.hpp"
#include "onewire/ds2490/protocol.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "rtl/messages.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::ds2490::Ds2490Link;
using onewire::ds2490::Status;
using onewire::sim::Ds18x20;
using onewire::sim::Ds2490Emulator;
using onewire::sim::EmulatedUsbDevice;
using onewire::sim::SimBus;
using testing_support::SensorBus;
using Bytes = std::vector<std::uint8_t>;
namespace p = onewire::ds2490;

constexpr auto kTimeout = std::chrono::milliseconds(1000);

// Time that moves only when someone waits on it, so that what the chip's
// timing model charges can be read exactly, however loaded the machine.
class StepClock final : public rtl::Clock {
 public:
  rtl::TimePoint now() override { return rtl::TimePoint(rtl::Duration(offset_.load())); }
  void sleep_for(rtl::Duration d) override {
    if (d.count() > 0) offset_ += d.count();
  }

 private:
  std::atomic<std::int64_t> offset_{1'000'000'000};
};

// ------------------------------------------------------------- emulator

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
  bus->add(std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 1)));
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
  auto d = std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 7), 21.5);
  bus->add(d);
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
  bus->add(std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 3)));
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
  bus->add(std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 3)));
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
  bus->add(std::make_shared<Ds18x20>(onewire::sim::make_rom(0x28, 3)));
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

// ------------------------------------------------------------- backend

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

std::string rom_text(const Rom& r) {
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int k = 7; k >= 0; --k) {
    s += hex[r[static_cast<std::size_t>(k)] >> 4];
    s += hex[r[static_cast<std::size_t>(k)] & 0xF];
  }
  return s;
}

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
