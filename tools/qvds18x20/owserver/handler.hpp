// The answer to one owserver request: what each message type does with
// the namespace (devices, their properties, /settings, /system,
// /simultaneous, /alarm), the flags it honours, and the values in OWFS's
// formats. Runs on the server's event loop; the answer may come later,
// when the buses have done their part.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qvds18x20/owserver/bus_hub.hpp"
#include "qvds18x20/owserver/names.hpp"
#include "qvds18x20/owserver/wire.hpp"

namespace qvtool::owserver {

// What the server says of itself under /system and /settings/timeout.
struct ServerInfo {
  std::string version;                    // /system/configuration/version
  long long pid = 0;                      // /system/process/pid
  std::map<std::string, long long> timeouts;  // /settings/timeout/NAME, seconds
};

class Handler {
 public:
  // The reply's messages, each a header and its payload, in order.
  using Done = std::function<void(std::vector<std::string> messages)>;

  Handler(BusHub& hub, ServerInfo info);

  // Answers `request`; every reply carries `reply_flags` (the request's,
  // with the persistence the server granted). `done` is called once, on
  // the event loop.
  void handle(const Request& request, std::int32_t reply_flags, Done done);

 private:
  struct Context;
  void read(const std::shared_ptr<Context>& c);
  void write(const std::shared_ptr<Context>& c);
  void list(const std::shared_ptr<Context>& c, bool slash, bool one_message);
  void presence(const std::shared_ptr<Context>& c);
  void device_value(const std::shared_ptr<Context>& c, const Located& where, const Property& p);
  void device_write(const std::shared_ptr<Context>& c, const Located& where, const Property& p);
  std::string fixed_value(const std::string& path, std::int32_t flags) const;

  BusHub& hub_;
  ServerInfo info_;
};

}  // namespace qvtool::owserver
