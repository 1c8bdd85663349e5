// Windows has no i2c-dev to stand in for: no sim-i2c there.
#include "qvds18x20/sim_i2c_command.hpp"

void add_sim_i2c_command(CLI::App&) {}
