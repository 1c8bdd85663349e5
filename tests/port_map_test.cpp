// COM numbering of serial device nodes, checked on a folder of fake nodes.
#include "onewire/serial/port_map.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using onewire::serial::enumerate_ports;
using onewire::serial::path_for_port;
using onewire::serial::pin_port;
using onewire::serial::PortEntry;
using onewire::serial::unpin_port;

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
      const fs::path p = fs::temp_directory_path() / ("qvds_ports_" + std::to_string(rd()));
      if (fs::create_directory(p)) root_ = p.string();
    }
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override {
    for (int n = 0; n <= 256; ++n) unpin_port(n);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void node(const std::string& name) { std::ofstream(fs::path(root_) / name).put('x'); }
  std::string path(const std::string& name) const { return (fs::path(root_) / name).string(); }

  std::vector<std::pair<int, std::string>> numbering() const {
    std::vector<std::pair<int, std::string>> out;
    for (const PortEntry& e : enumerate_ports(root_)) out.emplace_back(e.number, e.path);
    return out;
  }

  std::string root_;
};

using Numbering = std::vector<std::pair<int, std::string>>;

TEST_F(PortMapTest, FamiliesAreNumberedInOrderFromOne) {
  // Made out of order on purpose: the numbering must not follow the folder.
  node("ttyACM1");
  node("ttyUSB0");
  node("ttyS1");
  node("ttyACM0");
  node("ttyS0");
  EXPECT_EQ(numbering(), (Numbering{{1, path("ttyS0")},
                                    {2, path("ttyS1")},
                                    {3, path("ttyUSB0")},
                                    {4, path("ttyACM0")},
                                    {5, path("ttyACM1")}}));
}

TEST_F(PortMapTest, FirstMissingIndexEndsItsFamilyOnly) {
  node("ttyS0");
  node("ttyS2");    // after the gap at ttyS1: not a port
  node("ttyUSB1");  // ttyUSB0 is missing, so no USB port at all
  node("ttyACM0");
  node("ttyXYZ0");  // not a family that is looked at
  EXPECT_EQ(numbering(), (Numbering{{1, path("ttyS0")}, {2, path("ttyACM0")}}));
}

TEST_F(PortMapTest, NoNodesOrNoFolderGivesNoPorts) {
  EXPECT_TRUE(numbering().empty());
  EXPECT_TRUE(enumerate_ports(path("does-not-exist")).empty());
  EXPECT_FALSE(path_for_port(1, root_).has_value());
}

TEST_F(PortMapTest, PinsReserveTheirNumbersAndCandidatesFillTheRest) {
  node("ttyS0");
  node("ttyS1");
  node("ttyUSB0");
  pin_port(2, "/somewhere/pinned");
  pin_port(6, "/somewhere/far");
  EXPECT_EQ(numbering(), (Numbering{{1, path("ttyS0")},
                                    {2, "/somewhere/pinned"},
                                    {3, path("ttyS1")},
                                    {4, path("ttyUSB0")},
                                    {6, "/somewhere/far"}}));
  EXPECT_EQ(path_for_port(2, root_), "/somewhere/pinned");
  EXPECT_EQ(path_for_port(4, root_), path("ttyUSB0"));
  EXPECT_FALSE(path_for_port(5, root_).has_value());

  pin_port(2, "/somewhere/else");  // pinning again replaces
  EXPECT_EQ(path_for_port(2, root_), "/somewhere/else");

  unpin_port(2);
  unpin_port(6);
  EXPECT_EQ(numbering(), (Numbering{{1, path("ttyS0")}, {2, path("ttyS1")}, {3, path("ttyUSB0")}}));
}

TEST_F(PortMapTest, NumbersOutsideTheRangeAreNeitherPinnedNorFound) {
  pin_port(0, "/zero");
  pin_port(256, "/too-high");
  pin_port(-3, "/negative");
  pin_port(255, "/last");
  EXPECT_EQ(numbering(), (Numbering{{255, "/last"}}));
  EXPECT_FALSE(path_for_port(0, root_).has_value());
  EXPECT_FALSE(path_for_port(256, root_).has_value());
  EXPECT_EQ(path_for_port(255, root_), "/last");
}

TEST_F(PortMapTest, AtMost255PortsAreNumbered) {
  for (int i = 0; i < 255; ++i) node("ttyS" + std::to_string(i));
  node("ttyUSB0");
  auto ports = numbering();
  ASSERT_EQ(ports.size(), 255u);
  EXPECT_EQ(ports.back(), std::make_pair(255, path("ttyS254")));

  // A pin takes one of the numbers, so the last candidate drops out.
  pin_port(1, "/pinned");
  ports = numbering();
  ASSERT_EQ(ports.size(), 255u);
  EXPECT_EQ(ports.front(), std::make_pair(1, std::string("/pinned")));
  EXPECT_EQ(ports[1], std::make_pair(2, path("ttyS0")));
  EXPECT_EQ(ports.back(), std::make_pair(255, path("ttyS253")));
}

TEST_F(PortMapTest, NumberingStaysWholeWhilePinsChangeOnAnotherThread) {
  node("ttyS0");
  node("ttyS1");
  const Numbering unpinned{{1, path("ttyS0")}, {2, path("ttyS1")}};
  const Numbering pinned{{1, "/pinned"}, {2, path("ttyS0")}, {3, path("ttyS1")}};
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    while (!stop.load()) {
      pin_port(1, "/pinned");
      unpin_port(1);
    }
  });
  int torn = 0;
  for (int i = 0; i < 300; ++i) {
    const Numbering seen = numbering();
    if (seen != unpinned && seen != pinned) ++torn;
  }
  stop = true;
  toggler.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
