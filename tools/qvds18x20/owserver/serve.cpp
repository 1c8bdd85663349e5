// `qvds18x20 serve`: the buses the configuration or the command line
// names, run by the bus engine, served over the owserver protocol until
// Ctrl-C or a termination request.
#include <memory>
#include <string>
#include <vector>

#include "qvds/bus.hpp"
#include "qvds18x20/buses.hpp"
#include "qvds18x20/commands.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/net/event_loop.hpp"
#include "qvds18x20/net/listen_address.hpp"
#include "qvds18x20/owserver/bus_hub.hpp"
#include "qvds18x20/owserver/handler.hpp"
#include "qvds18x20/owserver/server.hpp"
#include "qvds18x20/owserver/zeroconf.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/report.hpp"
#include "rtl/messages.hpp"

namespace qvtool {
namespace {

// The buses the options name: every [[bus]] of the configuration, or the
// command line's one. The simulated bus only when asked for: a server of
// made-up temperatures must not start by accident.
std::vector<BusChoice> served_buses(const Options& o) {
  std::vector<BusChoice> choices = bus_choices(o);
  if (o.config.buses.empty() && !o.port_given && !o.sim)
    throw UsageError("serve needs a bus: give --port (and --adapter), --sim to serve the simulated bus, or "
                     "[[bus]] tables in the configuration file");
  return choices;
}

}  // namespace

int run_serve(const Options& o) {
  const net::ListenAddress listen = net::parse_listen_address("--owserver", o.owserver, "4304", "the buses");
  BusSet set(served_buses(o));
  set.open();
  // A bus that did not open answers every request with its error; the
  // others are served.
  for (const OpenedBus& b : set.buses())
    if (!b.error.empty()) report(Severity::kWarning, b.error + "; its requests fail until serve is started again");
  std::vector<qvds::Bus*> handles;
  for (OpenedBus& b : set.buses()) handles.push_back(&b.bus);

  net::EventLoop loop;
  owserver::HubOptions hub_options;
  owserver::BusHub hub(
      handles, [&loop](std::function<void()> f) { loop.post(std::move(f)); },
      [&loop](std::chrono::milliseconds d, std::function<void()> f) { loop.post_after(d, std::move(f)); }, hub_options);
  owserver::ServerOptions server_options;
  owserver::ServerInfo info;
  info.version = std::string("qvds18x20 ") + QVDS_TOOL_VERSION;
  info.pid = process_id();
  const auto seconds = [](std::chrono::milliseconds d) { return static_cast<long long>((d.count() + 999) / 1000); };
  info.timeouts = {{"volatile", seconds(hub_options.poll_window)},
                   {"directory", seconds(hub_options.listing_fresh)},
                   {"presence", seconds(hub_options.lookup_fresh)},
                   {"server", seconds(server_options.request_timeout)},
                   {"uncached", 0},
                   // Settings are read from each EEPROM once: this server
                   // alone writes them.
                   {"stable", 0},
                   {"serial", 5},
                   {"usb", 5},
                   {"network", 1},
                   {"ftp", 900},
                   {"ha7", 60},
                   {"w1", 30}};
  owserver::Handler handler(hub, info);
  auto server = std::make_unique<owserver::Server>(loop.context(), handler, listen.host, listen.port, server_options);

  std::string names;
  for (std::size_t i = 0; i < set.buses().size(); ++i)
    names += (i ? ", " : "") + std::string("bus.") + std::to_string(i) + " " + set.buses()[i].label;
  report(Severity::kInfo, "serving the owserver protocol on " + server->address() + " (" + names + ")");
  // Other machines find it by zeroconf, where it listens for them.
  std::unique_ptr<owserver::Announcement> announcement;
  if (!server->loopback())
    announcement = owserver::announce("qvds18x20 on port " + std::to_string(server->port()), server->port(),
                                      [](const std::string& line) { report(Severity::kInfo, "zeroconf: " + line); });
  loop.start();
  RunMessageLoop([] { return interrupt_requested(); });
  loop.stop();
  server.reset();
  announcement.reset();
  for (OpenedBus& b : set.buses()) b.bus.close();
  return kExitOk;
}

}  // namespace qvtool
