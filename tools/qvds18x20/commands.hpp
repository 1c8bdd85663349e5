// The commands of the qvds18x20 tool. Each returns its exit code, or
// throws UsageError, Failure or DeviceFileError; run_command turns those
// into one line on standard error and the exit code.
#pragma once

#include "qvds18x20/options.hpp"

namespace qvtool {

using Command = int (*)(const Options&);

int run_command(Command command, const Options& o);

int run_read(const Options& o);
int run_list(const Options& o);
int run_watch(const Options& o);
int run_ports(const Options& o);
int run_version(const Options& o);
int run_doctor(const Options& o);
int run_settings(const Options& o);
int run_alarms(const Options& o);

// Says on standard error that the bus is the simulated one, when no port
// was given and the simulated bus was not asked for either.
void say_if_simulated(const Options& o);
// The owserver protocol's server (owserver/serve.cpp).
int run_serve(const Options& o);

}  // namespace qvtool
