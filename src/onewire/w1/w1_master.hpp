// The kernel's w1 bus masters (w1-gpio on a pin, or any other master
// driver of Linux) as adapters: where sysfs shows them, and the link to
// one of them by its number, over the netlink connector.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onewire/link.hpp"
#include "rtl/clock.hpp"

namespace onewire::w1 {

struct W1Options {
  // Where sysfs is mounted; tests lay out a scratch folder of their own.
  std::string sysfs_root = "/sys";
  // The netlink port the requests go to: 0 is the kernel; a test's fake
  // kernel answers from a port of its own.
  std::uint32_t netlink_port = 0;
  // How long the kernel may take to answer W1_LIST_MASTERS when the link
  // opens. It answers that at once, so silence means nobody is there.
  rtl::Duration open_timeout = std::chrono::seconds(1);
  // How long the kernel may take to answer a command: its master thread
  // may be in a search of its own first.
  rtl::Duration reply_timeout = std::chrono::seconds(5);
};

// Whether this build reaches the kernel's w1 masters (Linux builds).
bool w1_available();

// "w1_bus_master3" -> 3; nothing for any other text.
std::optional<int> master_number(const std::string& name);

// <root>/bus/w1/devices/w1_bus_master<n>.
std::string master_directory(const std::string& sysfs_root, int number);

// Whether <root>/bus/w1 exists: the kernel's w1 subsystem is loaded.
bool w1_loaded(const std::string& sysfs_root);

struct MasterInfo {
  int number = 0;
  std::string directory;  // its folder under sysfs
  int devices = -1;       // the kernel's count of devices on it, -1 when unknown
};
// The masters sysfs shows, by number; empty when the w1 subsystem is not
// loaded.
std::vector<MasterInfo> list_masters(const std::string& sysfs_root = "/sys");

// The link to master `number`, not yet opened; null with `error` set
// (kErrAdapterType) where the build has no w1.
std::unique_ptr<Link> make_w1_link(int number, const W1Options& options, std::int16_t& error);

}  // namespace onewire::w1
