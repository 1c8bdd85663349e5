// `qvds18x20 serve`: the buses the command line names, run by the bus
// engine, served over the owserver protocol until Ctrl-C or a termination
// request.
#include <memory>
#include <string>
#include <vector>

#include "onewire/sim/sim_link.hpp"
#include "qvds/bus.hpp"
#include "qvds18x20/adapter_options.hpp"
#include "qvds18x20/commands.hpp"
#include "qvds18x20/device_file.hpp"
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

// One bus the server answers for, as /bus.N in its order.
struct ServedBus {
  qvds::Bus bus;
  std::string label;  // the port, or "simulated"
};

// The buses the options name. Today one: --port with its adapter, or the
// simulated bus (--sim); the list is what the server takes, however it is
// filled.
std::vector<ServedBus> open_buses(const Options& o) {
  // A configuration file without a bus is named first.
  const BusChoice choice = bus_choice(o);
  if (!o.port_given && !o.sim)
    throw UsageError("serve needs a bus: give --port (and --adapter), or --sim to serve the simulated bus");
  std::vector<ServedBus> buses;
  if (choice.sim) {
    if (o.port_given || o.adapter_given)
      throw UsageError("serve --sim runs the simulated bus itself; it takes no USB adapter (leave out --port)");
    SimSetup setup;
    if (!choice.sim_file.empty()) {
      setup = load_device_setup(choice.sim_file);
    } else {
      setup.bus = demo_bus();
    }
    if (!setup.faults.empty())
      report(Severity::kWarning, "the device file's \"faults\" are the component driver's and are left out by serve");
    auto bus = qvds::Bus::adopt(std::make_unique<onewire::sim::SimLink>(setup.bus), "simulated");
    if (!bus) throw Failure("cannot open the simulated bus: " + bus.message());
    buses.push_back({std::move(*bus), "simulated"});
    return buses;
  }
  qvds::OpenOptions options;
  options.driver.ds2480b_baud = choice.baud;
  auto bus = choice.adapter == kAdapterAuto ? qvds::Bus::open("auto", choice.port, options)
                                            : qvds::Bus::open(choice.adapter, choice.port, options);
  if (!bus) throw Failure("cannot open the bus on " + choice.port + ": " + bus.message());
  buses.push_back({std::move(*bus), choice.port});
  return buses;
}

}  // namespace

int run_serve(const Options& o) {
  const net::ListenAddress listen = net::parse_listen_address("--owserver", o.owserver, "4304", "the buses");
  catch_interrupts();
  std::vector<ServedBus> buses = open_buses(o);
  std::vector<qvds::Bus*> handles;
  for (ServedBus& b : buses) handles.push_back(&b.bus);

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
  for (std::size_t i = 0; i < buses.size(); ++i)
    names += (i ? ", " : "") + std::string("bus.") + std::to_string(i) + " " + buses[i].label;
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
  for (ServedBus& b : buses) b.bus.close();
  return kExitOk;
}

}  // namespace qvtool
