#include "rtl/com_ports.hpp"

namespace rtl::com {

std::optional<std::string> path_for_port(int number) { return path_for_port(number, "/dev"); }

}  // namespace rtl::com
