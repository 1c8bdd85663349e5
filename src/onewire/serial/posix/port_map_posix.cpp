#include "onewire/serial/port_map.hpp"

namespace onewire::serial {

std::optional<std::string> path_for_port(int number) { return path_for_port(number, "/dev"); }

}  // namespace onewire::serial
