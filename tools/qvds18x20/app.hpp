// The commands of the qvds18x20 tool, on top of the TQvDs18x20 component.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace qvtool {

enum class Format { kTable, kCsv, kJson };

struct Options {
  std::string port;            // COM name or device path; empty: simulated bus on COM1
  std::string adapter = "1";   // number, "passive" or "ds2480b"
  std::string speed = "normal";
  int baud = 115200;           // DS2480B serial rate after detection
  bool sim = false;            // --sim given
  std::string sim_file;        // --sim FILE
  Format format = Format::kTable;
  std::string log_file;
  double interval = 10.0;      // watch
  int count = 0;               // watch: 0 = until interrupted
};

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

int run_read(const Options& o);
int run_list(const Options& o);
int run_watch(const Options& o);
int run_ports(const Options& o);
int run_version(const Options& o);

// Asks a running command to stop after the current measurement (from a
// signal handler).
void request_stop();

}  // namespace qvtool
