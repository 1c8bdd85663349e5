// The "sim-adapter" command: the simulated bus served as a virtual serial
// 1-Wire adapter on a pseudo-terminal.
#pragma once

namespace CLI {
class App;
}

void add_sim_adapter_command(CLI::App& app);
