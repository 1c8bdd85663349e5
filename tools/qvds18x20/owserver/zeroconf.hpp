// Announcing the server over zeroconf (mDNS/DNS-SD) as _owserver._tcp,
// where Home Assistant's discovery finds it: through avahi's own
// avahi-publish, run beside the server for as long as it serves. Where
// avahi is not installed or its daemon does not run, nothing is announced
// and the server works all the same.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace qvtool::owserver {

class Announcement {
 public:
  virtual ~Announcement() = default;
};

// Starts announcing `name` on `port`; what avahi says (the name it got, or
// why it could not) goes to `note`, from a thread of its own. Nothing when
// avahi-publish is not installed.
std::unique_ptr<Announcement> announce(const std::string& name, unsigned short port,
                                       std::function<void(const std::string&)> note);

}  // namespace qvtool::owserver
