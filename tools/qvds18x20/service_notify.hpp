// What the tool tells the service manager about a run: systemd's
// notifications (a unit of Type=notify, with WatchdogSec=) where the build
// has libsystemd, nothing elsewhere. Each is a no-op outside such a unit.
#pragma once

#include <string>

namespace qvtool {

// The run is up: its bus open, its publishers started.
void notify_ready();

// The run is alive: pets the watchdog when the manager keeps one, at most
// every quarter of its interval however often it is called. watch calls
// it every round and while it waits for the next, so that a loop that
// stopped turning (with its MQTT connection still up) is restarted.
void notify_alive();

// One line for `systemctl status`: what the last round did.
void notify_status(const std::string& status);

// The run is ending: its publishers deliver what they still can.
void notify_stopping();

}  // namespace qvtool
