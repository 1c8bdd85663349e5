#include "rtl/com_ports.hpp"

#include <array>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

namespace rtl::com {
namespace {

std::mutex g_pins_mu;

std::map<int, std::string>& pins() {
  static std::map<int, std::string> table;
  return table;
}

std::map<int, std::string> pins_snapshot() {
  std::lock_guard<std::mutex> lock(g_pins_mu);
  return pins();
}

bool node_exists(const std::filesystem::path& p) {
  std::error_code ec;
  // A dangling symbolic link counts as missing, as access(F_OK) sees it.
  return std::filesystem::exists(p, ec);
}

// Candidate paths in numbering order. No family can yield more nodes than
// there are numbers, which also bounds the scan of an odd folder.
std::vector<std::string> candidates(const std::string& dev_root) {
  static constexpr std::array<const char*, 3> kFamilies = {"ttyS", "ttyUSB", "ttyACM"};
  std::vector<std::string> out;
  const std::filesystem::path root(dev_root);
  for (const char* family : kFamilies) {
    for (int index = 0; index < kMaxPortNumber; ++index) {
      const std::filesystem::path node = root / (std::string(family) + std::to_string(index));
      if (!node_exists(node)) break;
      out.push_back(node.string());
    }
  }
  return out;
}

}  // namespace

std::vector<PortEntry> enumerate_ports(const std::string& dev_root) {
  const std::map<int, std::string> pinned = pins_snapshot();
  std::map<int, std::string> assigned = pinned;
  int next = 1;
  for (std::string& path : candidates(dev_root)) {
    while (next <= kMaxPortNumber && pinned.count(next) != 0) ++next;
    if (next > kMaxPortNumber) break;
    assigned.emplace(next, std::move(path));
    ++next;
  }
  std::vector<PortEntry> out;
  out.reserve(assigned.size());
  for (auto& [number, path] : assigned) out.push_back(PortEntry{number, std::move(path)});
  return out;
}

std::optional<std::string> path_for_port(int number, const std::string& dev_root) {
  if (number < 1 || number > kMaxPortNumber) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(g_pins_mu);
    auto it = pins().find(number);
    if (it != pins().end()) return it->second;
  }
  for (PortEntry& e : enumerate_ports(dev_root))
    if (e.number == number) return std::move(e.path);
  return std::nullopt;
}

void pin_port(int number, std::string path) {
  if (number < 1 || number > kMaxPortNumber) return;
  std::lock_guard<std::mutex> lock(g_pins_mu);
  pins()[number] = std::move(path);
}

void unpin_port(int number) {
  std::lock_guard<std::mutex> lock(g_pins_mu);
  pins().erase(number);
}

}  // namespace rtl::com
