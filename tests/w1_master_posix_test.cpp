// The w1 link over a real NETLINK_CONNECTOR socket, against a fake of the
// kernel's w1 subsystem in this process that answers from a port of its
// own (one user socket may unicast to another on this protocol with
// CAP_NET_ADMIN; without it these cases skip and say so): the requests as
// the kernel's structures read them, the operations' answers against the
// simulated bus, the built-in driver's type 9 and a whole measurement of
// the component through it, what each missing piece of the system looks
// like, and hostile replies (the real kernel: w1_real_kernel_posix_test.cpp).
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "onewire/w1/netlink_channel.hpp"
#include "onewire/w1/w1_link.hpp"
#include "onewire/w1/w1_master.hpp"
#include "rtl/messages.hpp"
#include "support/adapter_support.hpp"
#include "support/fake_w1_kernel.hpp"
#include "support/pump.hpp"
#include "support/w1_sysfs.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using testing_support::SensorBus;
using testing_support::w1kernel::cn_msgs_of;
using testing_support::w1kernel::Cmd;
using testing_support::w1kernel::Datagram;
using testing_support::w1kernel::FakeW1Kernel;
using testing_support::w1kernel::kernel_request;
using testing_support::w1kernel::seq_of;
namespace k = testing_support::w1kernel;
namespace w1 = onewire::w1;

class W1Master : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kernel.ok()) GTEST_SKIP() << kernel.why();
    ASSERT_FALSE(sysfs.root().empty());
    sysfs.load_w1();
    sysfs.add_master(1, 4);
    kernel.add_master(1, sensors.bus);
  }

  w1::W1Options options() const {
    w1::W1Options o;
    o.sysfs_root = sysfs.root();
    o.netlink_port = kernel.port();
    o.open_timeout = 300ms;
    o.reply_timeout = 1s;
    return o;
  }
  std::unique_ptr<w1::W1Link> make_link(int master = 1) {
    const auto o = options();
    return std::make_unique<w1::W1Link>(master, w1::make_netlink_channel(o.netlink_port), o);
  }
  onewire::BuiltinDriverOptions driver_options() const {
    onewire::BuiltinDriverOptions o;
    o.w1_sysfs_root = sysfs.root();
    o.w1_netlink_port = kernel.port();
    return o;
  }
  // Every ROM the link's passes walk.
  static std::vector<Rom> walk(onewire::Link& link, bool alarm = false) {
    return testing_support::search_all(link, alarm);
  }

  rtl::SkipClock clock;
  rtl::ClockGuard guard{clock};
  FakeW1Kernel kernel;
  testing_support::ScratchSysfs sysfs;
  SensorBus sensors{4};
};

TEST_F(W1Master, RequestsAreTheKernelsStructuresAndRepliesComeGathered) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  auto check = [&](const std::vector<Cmd>& cmds, const char* what) {
    const auto got = kernel.requests();
    ASSERT_FALSE(got.empty()) << what;
    EXPECT_EQ(got.back(), kernel_request(seq_of(got.back()), 1, cmds)) << what;
  };
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  check({{k::W1_CMD_RESET, {}}}, "reset");
  EXPECT_EQ(link->touch_byte(0xCC), 0xCC);
  check({{k::W1_CMD_TOUCH, {0xCC}}}, "touch");
  const Rom rom = sensors.sensors[2]->rom();
  std::array<std::uint8_t, 10> pad{0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(link->block(&rom, false, pad.data(), pad.size()), 1);
  std::vector<std::uint8_t> touch{0x55};
  touch.insert(touch.end(), rom.begin(), rom.end());
  touch.insert(touch.end(), {0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  check({{k::W1_CMD_RESET, {}}, {k::W1_CMD_TOUCH, touch}}, "block");
  // One datagram back: the reset's status, the touched bytes, their
  // status, each in a cn_msg of its own for the acks differ.
  const auto replies = kernel.last_replies();
  ASSERT_EQ(replies.size(), 1u);
  const std::uint32_t seq = seq_of(kernel.requests().back());
  const auto cns = cn_msgs_of(replies[0]);
  ASSERT_EQ(cns.size(), 3u);
  EXPECT_EQ(cns[0], std::make_pair(seq, std::uint16_t{16}));
  EXPECT_EQ(cns[1], std::make_pair(seq + 1, std::uint16_t{16 + 19}));
  EXPECT_EQ(cns[2], std::make_pair(seq, std::uint16_t{16}));
  // What the block read is the sensor's scratchpad.
  EXPECT_EQ(onewire::crc8(pad.data() + 1, 9), 0);
  const auto expected = sensors.sensors[2]->scratchpad(clock.now());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pad.begin() + 1));
  onewire::SearchPass pass;
  ASSERT_EQ(link->search(pass), 1);
  check({{k::W1_CMD_SEARCH, {}}}, "search");
  onewire::SearchPass alarm;
  alarm.alarm_only = true;
  link->search(alarm);
  check({{k::W1_CMD_ALARM_SEARCH, {}}}, "alarm search");
}

TEST_F(W1Master, OperationsAnswerAsTheBusDoes) {
  // Two hot sensors beside the four: after a conversion, only the ones
  // outside their factory alarm window (TL 70, TH 75) alarm.
  auto warm = std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 0x00A1B2C3D4FF), 72.0);
  sensors.bus->add(warm);
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  std::vector<Rom> all = sensors.sorted_roms();
  all.push_back(warm->rom());
  std::sort(all.begin(), all.end(), testing_support::bus_order_less);
  EXPECT_EQ(walk(*link), all);
  EXPECT_EQ(kernel.slaves(1).size(), all.size()) << "the kernel keeps what its search found";
  std::array<std::uint8_t, 2> convert{0xCC, 0x44};
  ASSERT_EQ(link->block(nullptr, true, convert.data(), convert.size()), 1);
  clock.sleep_for(800ms);
  EXPECT_EQ(walk(*link, true), sensors.sorted_roms()) << "the 72-degree sensor is inside its window";
  // Each sensor's scratchpad through MATCH ROM.
  for (const auto& s : sensors.sensors) {
    std::array<std::uint8_t, 10> pad{};
    pad.fill(0xFF);
    pad[0] = 0xBE;
    const Rom rom = s->rom();
    ASSERT_EQ(link->block(&rom, false, pad.data(), pad.size()), 1);
    testing_support::Scratchpad sp{};
    std::copy(pad.begin() + 1, pad.end(), sp.begin());
    EXPECT_EQ(onewire::crc8(sp.data(), 9), 0);
    EXPECT_DOUBLE_EQ(testing_support::scratchpad_celsius(rom[0], sp), s->temperature());
  }
  // An empty bus: the reset finds nobody, the search nothing.
  for (const auto& d : sensors.bus->devices()) sensors.bus->remove(d->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), 0);
  const Rom gone = warm->rom();
  EXPECT_EQ(link->match(gone), 0);
}

TEST_F(W1Master, AKernelBefore316SendsEveryReplyApartAndTheLinkReadsThemAllTheSame) {
  kernel.set_bundling(false);
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  const Rom rom = sensors.sensors[0]->rom();
  std::array<std::uint8_t, 10> pad{};
  pad.fill(0xFF);
  pad[0] = 0xBE;
  ASSERT_EQ(link->block(&rom, false, pad.data(), pad.size()), 1);
  EXPECT_EQ(kernel.last_replies().size(), 3u);
  EXPECT_EQ(onewire::crc8(pad.data() + 1, 9), 0);
  EXPECT_EQ(walk(*link), sensors.sorted_roms());
}

TEST_F(W1Master, TheKernelsDeviceLimitCutsTheList) {
  kernel.set_max_slave_count(2);
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  const std::vector<Rom> all = sensors.sorted_roms();
  const std::vector<Rom> first_two(all.begin(), all.begin() + 2);
  EXPECT_EQ(walk(*link), first_two);
}

// The driver's type 9 and the component on it: the first thing a user on
// a board with w1-gpio runs.
TEST_F(W1Master, TheComponentMeasuresThroughAdapterTypeNine) {
  auto parasite = std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 0x0416913C6BFF), 21.5);
  parasite->set_parasite(true);
  sensors.bus->add(parasite);
  auto driver = onewire::make_builtin_driver(driver_options());
  std::array<char, 101> text{};
  ASSERT_EQ(driver->TMGetTypeVersion(onewire::kAdapterTypeW1, text.data()), 1);
  EXPECT_NE(std::string(text.data()).find("9 kernel w1"), std::string::npos) << text.data();
  // Port 2 is no master; port 1 is.
  EXPECT_EQ(driver->TMExtendedStartSession(2, onewire::kAdapterTypeW1, nullptr), onewire::kErrPortUnavailable);
  {
    const std::int32_t session = driver->TMExtendedStartSession(1, onewire::kAdapterTypeW1, nullptr);
    ASSERT_GT(session, 0);
    testing_support::DriverWalk walk{*driver, session};
    std::vector<Rom> all = sensors.sorted_roms();
    all.push_back(parasite->rom());
    std::sort(all.begin(), all.end(), testing_support::bus_order_less);
    EXPECT_EQ(walk.roms(), all);
    // Standard speed only.
    EXPECT_EQ(driver->TMOneWireCom(session, 0, 0), 0);
    EXPECT_EQ(driver->TMOneWireCom(session, 0, 1), onewire::kErrSpeed);
    EXPECT_EQ(driver->TMEndSession(session), 1);
  }
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.ComPort("COM1");
  c.AdapterType(onewire::kAdapterTypeW1);
  int temps = 0;
  c.OnGetTemp([&](TObject*) { ++temps; });
  c.TMEXOpenSession();
  ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  const std::size_t before = kernel.requests().size();
  c.TMEXGetTemp();
  ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }, 30s));
  ProcessMessages();
  EXPECT_EQ(temps, 1) << c.TMEXerror.str();
  ASSERT_EQ(c.SensorListCount(), 5);
  for (const auto& s : sensors.sensors) {
    const TSensor* got = nullptr;
    for (int i = 0; i < c.SensorListCount(); ++i)
      if (c.sensor(i)->rom == s->rom()) got = c.sensor(i);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->status, rsRead) << got->romstr;
    EXPECT_EQ(got->celsius, s->temperature()) << got->romstr;
    EXPECT_EQ(got->power, psExternal) << got->romstr;
  }
  // No strong pull-up over the connector: the parasite sensor is said to
  // be unfed, and shows no temperature.
  const std::vector<std::string> unfed = c.UnfedSensors();
  ASSERT_EQ(unfed.size(), 1u);
  for (int i = 0; i < c.SensorListCount(); ++i) {
    if (c.sensor(i)->rom != parasite->rom()) continue;
    EXPECT_EQ(c.sensor(i)->romstr, unfed[0]);
    EXPECT_EQ(c.sensor(i)->power, psParasiteUnfed);
    EXPECT_EQ(c.sensor(i)->status, rsPowerOnValue);
    EXPECT_EQ(c.sensor(i)->temp, "");
  }
  EXPECT_GT(kernel.requests().size(), before);
  c.Close();
}

TEST_F(W1Master, WhatIsMissingIsSaidAtTheStart) {
  auto driver = onewire::make_builtin_driver(driver_options());
  // The kernel has no such master, though sysfs still shows it.
  sysfs.add_master(3);
  EXPECT_EQ(driver->TMExtendedStartSession(3, onewire::kAdapterTypeW1, nullptr), onewire::kErrPortUnavailable);
  // Nobody answers: the connector has no w1 callback.
  kernel.set_silent(true);
  EXPECT_EQ(make_link()->open(), onewire::kErrW1NoConnector);
  kernel.set_silent(false);
  // The module is not loaded.
  sysfs.unload_w1();
  EXPECT_EQ(driver->TMExtendedStartSession(1, onewire::kAdapterTypeW1, nullptr), onewire::kErrW1NotLoaded);
  // The component says what to do about it.
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.ComPort("COM1");
  c.AdapterType(onewire::kAdapterTypeW1);
  c.TMEXOpenSession();
  EXPECT_FALSE(c.SesionActive());
  EXPECT_EQ(c.LastResult(), onewire::kErrW1NotLoaded);
  EXPECT_NE(TQvDs18x20::DescribeResult(c.LastResult()).find("modprobe w1-gpio"), std::string::npos);
}

TEST_F(W1Master, AMasterThatGoesAwayEndsTheCallAndIsFoundAgainWhenBack) {
  auto driver = onewire::make_builtin_driver(driver_options());
  const std::int32_t session = driver->TMExtendedStartSession(1, onewire::kAdapterTypeW1, nullptr);
  ASSERT_GT(session, 0);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kResetPresence);
  kernel.remove_master(1);
  sysfs.remove_master(1);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrPortIo);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrPortUnavailable);
  kernel.add_master(1, sensors.bus);
  sysfs.add_master(1);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kResetPresence);
  testing_support::DriverWalk walk{*driver, session};
  EXPECT_EQ(walk.roms(), sensors.sorted_roms());
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

TEST_F(W1Master, HostileRepliesOverTheSocketNeitherCrashNorHang) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  struct Case {
    const char* what;
    std::function<void(std::vector<Datagram>&)> mangle;
  };
  const std::vector<Case> cases = {
      {"cut short", [](std::vector<Datagram>& r) { r[0].resize(r[0].size() / 2); }},
      {"a netlink length past the datagram",
       [](std::vector<Datagram>& r) {
         nlmsghdr h{};
         std::memcpy(&h, r[0].data(), sizeof h);
         h.nlmsg_len = 0xFFFF;
         std::memcpy(r[0].data(), &h, sizeof h);
       }},
      {"a wrong sequence number",
       [](std::vector<Datagram>& r) {
         for (auto& d : r) {
           cn_msg cn{};
           std::memcpy(&cn, d.data() + NLMSG_HDRLEN, sizeof cn);
           cn.seq ^= 0x5555;
           std::memcpy(d.data() + NLMSG_HDRLEN, &cn, sizeof cn);
         }
       }},
      {"an oversized cn.len",
       [](std::vector<Datagram>& r) {
         cn_msg cn{};
         std::memcpy(&cn, r[0].data() + NLMSG_HDRLEN, sizeof cn);
         cn.len = 0xFFF0;
         std::memcpy(r[0].data() + NLMSG_HDRLEN, &cn, sizeof cn);
       }},
      {"an error status on the data",
       [](std::vector<Datagram>& r) { r[0][NLMSG_HDRLEN + sizeof(cn_msg) + 1] = 12; }},
      {"an error status (ENOMEM) on the command",
       [](std::vector<Datagram>& r) {
         // The second cn_msg holds the status.
         cn_msg first{};
         std::memcpy(&first, r[0].data() + NLMSG_HDRLEN, sizeof first);
         r[0][NLMSG_HDRLEN + sizeof(cn_msg) + first.len + sizeof(cn_msg) + 1] = 12;
       }},
      {"nothing", [](std::vector<Datagram>& r) { r.clear(); }},
      {"a datagram of 70000 bytes", [](std::vector<Datagram>& r) { r.insert(r.begin(), Datagram(70000, 0x11)); }},
  };
  for (const auto& c : cases) {
    kernel.set_mangler(c.mangle);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(link->touch_byte(0xFF), 0) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.what;
    kernel.set_mangler(nullptr);
    EXPECT_EQ(link->touch_byte(0x3C), 0x3C) << c.what;
  }
}

// Capabilities are per thread on Linux: a thread that drops CAP_NET_ADMIN
// from its effective set is an unprivileged sender for the kernel.
TEST_F(W1Master, WithoutCapNetAdminTheUnicastIsRefusedAndSaidSo) {
  int result = 1;
  std::string why;
  std::thread unprivileged([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (syscall(SYS_capget, &header, caps) != 0) {
      why = "capget failed";
      return;
    }
    caps[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
    if (syscall(SYS_capset, &header, caps) != 0) {
      why = "capset failed";
      return;
    }
    result = make_link()->open();
  });
  unprivileged.join();
  if (!why.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(result, onewire::kErrPermission);
  EXPECT_NE(onewire::describe(result).find("CAP_NET_ADMIN"), std::string::npos);
  // This thread still may.
  EXPECT_EQ(make_link()->open(), 1);
}

}  // namespace
