#include "onewire/w1/w1_master.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "onewire/errors.hpp"
#include "onewire/w1/netlink_channel.hpp"
#include "onewire/w1/w1_link.hpp"

namespace onewire::w1 {

namespace {

constexpr const char* kMasterPrefix = "w1_bus_master";

std::filesystem::path devices_of(const std::string& sysfs_root) {
  return std::filesystem::path(sysfs_root) / "bus" / "w1" / "devices";
}

}  // namespace

bool w1_available() { return netlink_available(); }

std::optional<int> master_number(const std::string& name) {
  const std::string prefix = kMasterPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::string digits = name.substr(prefix.size());
  // The kernel numbers masters from 1, and writes no leading zeros.
  if (digits.size() > 9 || digits[0] == '0' || !std::all_of(digits.begin(), digits.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return std::nullopt;
  return std::stoi(digits);
}

std::string master_directory(const std::string& sysfs_root, int number) {
  return (devices_of(sysfs_root) / (kMasterPrefix + std::to_string(number))).string();
}

bool w1_loaded(const std::string& sysfs_root) {
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::path(sysfs_root) / "bus" / "w1", ec);
}

std::vector<MasterInfo> list_masters(const std::string& sysfs_root) {
  std::vector<MasterInfo> found;
  std::error_code ec;
  std::filesystem::directory_iterator it(devices_of(sysfs_root), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const auto number = master_number(it->path().filename().string());
    if (!number) continue;
    MasterInfo info;
    info.number = *number;
    info.directory = it->path().string();
    std::ifstream count(it->path() / "w1_master_slave_count");
    int n = -1;
    if (count >> n && n >= 0) info.devices = n;
    found.push_back(info);
  }
  std::sort(found.begin(), found.end(), [](const MasterInfo& a, const MasterInfo& b) { return a.number < b.number; });
  return found;
}

std::unique_ptr<Link> make_w1_link(int number, const W1Options& options, std::int16_t& error) {
  auto channel = make_netlink_channel(options.netlink_port);
  if (!channel) {
    error = kErrAdapterType;
    return nullptr;
  }
  return std::make_unique<W1Link>(number, std::move(channel), options);
}

}  // namespace onewire::w1
