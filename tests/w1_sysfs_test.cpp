// How the w1 link finds the kernel's masters in sysfs: by their folders'
// numbers, with the kernel's count of devices on each where it has one.
#include <gtest/gtest.h>

#include <filesystem>

#include "onewire/w1/w1_master.hpp"
#include "support/w1_sysfs.hpp"

namespace {

namespace w1 = onewire::w1;


TEST(W1Sysfs, MastersAreListedByNumber) {
  testing_support::ScratchSysfs sysfs;
  ASSERT_FALSE(sysfs.root().empty());
  EXPECT_FALSE(w1::w1_loaded(sysfs.root()));
  EXPECT_TRUE(w1::list_masters(sysfs.root()).empty());
  sysfs.load_w1();
  EXPECT_TRUE(w1::w1_loaded(sysfs.root()));
  sysfs.add_master(10, 0);
  sysfs.add_master(2, 3);
  sysfs.add_master(1);
  // Slaves and other entries beside the masters are not masters.
  std::filesystem::create_directories(sysfs.devices() / "28-0416913c6bff");
  std::filesystem::create_directories(sysfs.devices() / "w1_bus_master");
  std::filesystem::create_directories(sysfs.devices() / "w1_bus_master07");
  std::filesystem::create_directories(sysfs.devices() / "w1_bus_master3x");
  const auto masters = w1::list_masters(sysfs.root());
  ASSERT_EQ(masters.size(), 3u);
  EXPECT_EQ(masters[0].number, 1);
  EXPECT_EQ(masters[0].devices, -1);
  EXPECT_EQ(masters[1].number, 2);
  EXPECT_EQ(masters[1].devices, 3);
  EXPECT_EQ(masters[2].number, 10);
  EXPECT_EQ(masters[2].devices, 0);
  EXPECT_EQ(masters[1].directory, w1::master_directory(sysfs.root(), 2));
  EXPECT_EQ(w1::master_number("w1_bus_master12"), 12);
  EXPECT_FALSE(w1::master_number("w1_bus_master0"));
  EXPECT_FALSE(w1::master_number("w1_bus_master-1"));
  EXPECT_FALSE(w1::master_number("w1_bus_master99999999999"));
  EXPECT_FALSE(w1::master_number("W1_BUS_MASTER1"));
}

}  // namespace
