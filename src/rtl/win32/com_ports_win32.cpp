// Windows numbers its COM ports itself: COMn is \\.\COMn unless pinned.
#include "rtl/com_ports.hpp"

namespace rtl::com {

std::optional<std::string> path_for_port(int number) {
  if (number < 1 || number > kMaxPortNumber) return std::nullopt;
  // Pins come first; there are no device nodes to number on Windows.
  if (auto pinned = path_for_port(number, "/dev")) return pinned;
  return "\\\\.\\COM" + std::to_string(number);
}

}  // namespace rtl::com
