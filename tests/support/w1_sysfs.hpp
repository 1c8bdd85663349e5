// A scratch folder laid out as the part of sysfs the w1 link reads:
// <root>/bus/w1/devices/w1_bus_master<n>/w1_master_slave_count.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace testing_support {

class ScratchSysfs {
 public:
  ScratchSysfs() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
      const auto p = std::filesystem::temp_directory_path() / ("qvds_sysfs_" + std::to_string(rd()));
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) root_ = p.string();
    }
  }
  ~ScratchSysfs() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  ScratchSysfs(const ScratchSysfs&) = delete;
  ScratchSysfs& operator=(const ScratchSysfs&) = delete;

  // Empty when no folder could be made.
  const std::string& root() const { return root_; }
  std::filesystem::path devices() const { return std::filesystem::path(root_) / "bus" / "w1" / "devices"; }

  // The w1 subsystem loaded, with no master yet.
  void load_w1() { std::filesystem::create_directories(devices()); }
  void unload_w1() { std::filesystem::remove_all(std::filesystem::path(root_) / "bus"); }
  // A master with the kernel's count of devices on it (none written when
  // negative).
  void add_master(int n, int devices_known = -1) {
    const auto dir = devices() / ("w1_bus_master" + std::to_string(n));
    std::filesystem::create_directories(dir);
    if (devices_known >= 0) std::ofstream(dir / "w1_master_slave_count") << devices_known << "\n";
  }
  void remove_master(int n) { std::filesystem::remove_all(devices() / ("w1_bus_master" + std::to_string(n))); }

 private:
  std::string root_;
};

}  // namespace testing_support
