// A build without libsystemd (QVDS_WITH_SYSTEMD off, or not Linux): a
// unit of Type=notify cannot run it; Type=exec can.
#include "qvds18x20/service_notify.hpp"

namespace qvtool {

void notify_ready() {}
void notify_alive() {}
void notify_status(const std::string&) {}
void notify_stopping() {}

}  // namespace qvtool
