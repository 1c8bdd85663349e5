#include "qvds18x20/w1_ports.hpp"

#include <cstdio>

#include "onewire/w1/w1_master.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {

namespace {
constexpr int kMaxMaster = 255;  // the component's port numbers end there
}

std::optional<int> w1_master_port(const std::string& name) {
  const auto slash = name.find_last_of('/');
  const auto n = onewire::w1::master_number(slash == std::string::npos ? name : name.substr(slash + 1));
  if (!n || *n > kMaxMaster) return std::nullopt;
  return n;
}

std::optional<int> w1_port_number(const std::string& port) {
  if (const auto n = w1_master_port(port)) return n;
  const std::int32_t n = StrToIntDef(port, -1);
  if (n < 1 || n > kMaxMaster || std::to_string(n) != port) return std::nullopt;
  return n;
}

int print_w1_ports() {
  if (!onewire::w1::w1_available()) {
    std::fprintf(stderr, "qvds18x20: no kernel w1 masters: they are reached on Linux only\n");
    return 0;
  }
  int shown = 0;
  for (const auto& m : onewire::w1::list_masters()) {
    if (m.number > kMaxMaster) continue;
    const std::string name = "w1_bus_master" + std::to_string(m.number);
    const std::string devices =
        m.devices < 0 ? "" : ", " + std::to_string(m.devices) + (m.devices == 1 ? " device" : " devices");
    std::printf("%-7s %s (kernel w1 master%s)\n", name.c_str(), m.directory.c_str(), devices.c_str());
    ++shown;
  }
  return shown;
}

}  // namespace qvtool
