// The tool's command line: the commands, their options, and what the
// option texts mean. Every option of read, list, watch and version is
// declared in options.cpp.
#pragma once

#include <string>

#include "qvds18x20/bus_session.hpp"
#include "qvds18x20/output.hpp"
#include "qvds18x20/publish/publish.hpp"

namespace CLI {
class App;
}

namespace qvtool {

// The options as given; bus_choice() checks the bus ones.
struct Options {
  std::string port;            // COM name or device path; empty: simulated bus on COM1
  std::string adapter = "1";   // a number or an adapter name
  std::string speed = "normal";
  bool sim = false;            // --sim given
  std::string sim_file;        // --sim FILE
  Format format = Format::kTable;
  std::string log_file;
  double interval = 10.0;      // watch
  int count = 0;               // watch: 0 = until interrupted
  PublishOptions publish;      // read, watch: MQTT and Prometheus
};

// Adds read, list, watch, ports and version to `app`; the one that runs
// leaves its exit code in `result`.
void add_commands(CLI::App& app, int& result);

// The bus the options name; throws UsageError for an adapter or a speed
// it does not know.
BusChoice bus_choice(const Options& o);

}  // namespace qvtool
