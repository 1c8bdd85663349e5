// The w1 link against the real kernel: its connector without the w1
// module, and (only where the module is loaded) a master of its, read
// with nothing but a reset and searches.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "onewire/builtin_driver.hpp"
#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/w1/netlink_channel.hpp"
#include "onewire/w1/w1_link.hpp"
#include "onewire/w1/w1_master.hpp"
#include "support/adapter_support.hpp"
#include "support/w1_sysfs.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
namespace w1 = onewire::w1;

TEST(W1RealKernel, ItsConnectorWithoutTheW1ModuleLeavesRequestsUnanswered) {
  if (w1::w1_loaded("/sys"))
    GTEST_SKIP() << "the w1 module is loaded here: W1RealKernel.AMasterOfItsAnswers reads it";
  // sysfs as if w1 were loaded, the requests to the kernel itself.
  testing_support::ScratchSysfs sysfs;
  ASSERT_FALSE(sysfs.root().empty());
  sysfs.load_w1();
  sysfs.add_master(1);
  w1::W1Options o;
  o.sysfs_root = sysfs.root();
  o.netlink_port = 0;
  o.open_timeout = 300ms;
  w1::W1Link link(1, w1::make_netlink_channel(0), o);
  // No connector at all fails the socket; a connector without w1's
  // callback drops the request: either way the same code.
  EXPECT_EQ(link.open(), onewire::kErrW1NoConnector);
  // And the real sysfs says the module is missing, first.
  onewire::BuiltinDriverOptions plain;
  auto driver = onewire::make_builtin_driver(plain);
  EXPECT_EQ(driver->TMExtendedStartSession(1, onewire::kAdapterTypeW1, nullptr), onewire::kErrW1NotLoaded);
  EXPECT_TRUE(w1::list_masters("/sys").empty());
}

TEST(W1RealKernel, AMasterOfItsAnswers) {
  if (!w1::w1_loaded("/sys"))
    GTEST_SKIP() << "no /sys/bus/w1: the kernel's w1 module is not loaded on this machine";
  const auto masters = w1::list_masters("/sys");
  if (masters.empty()) GTEST_SKIP() << "the w1 module is loaded but has no bus master";
  w1::W1Options o;
  w1::W1Link link(masters[0].number, w1::make_netlink_channel(0), o);
  const int opened = link.open();
  if (opened == onewire::kErrPermission) GTEST_SKIP() << "this system refuses the netlink request";
  ASSERT_EQ(opened, 1) << onewire::describe(opened);
  // Only a reset and searches: nothing that changes a device.
  const int presence = link.reset();
  EXPECT_TRUE(presence == onewire::kResetPresence || presence == onewire::kResetNoPresence) << presence;
  const auto found = testing_support::search_all(link);
  std::ifstream listed(masters[0].directory + "/w1_master_slaves");
  const std::string text((std::istreambuf_iterator<char>(listed)), std::istreambuf_iterator<char>());
  for (const Rom& rom : found) {
    EXPECT_EQ(onewire::crc8(rom.data(), 8), 0);
    // The kernel's search adds what it found to its list: ff-ssssssssssss.
    char name[16];
    std::snprintf(name, sizeof name, "%02x-%02x%02x%02x%02x%02x%02x", rom[0], rom[6], rom[5], rom[4], rom[3],
                  rom[2], rom[1]);
    EXPECT_NE(text.find(name), std::string::npos) << name;
  }
}

}  // namespace
