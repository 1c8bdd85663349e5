#include "qvds18x20/sim_adapter_command.hpp"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "onewire/sim/virtual_adapter.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "rtl/clock.hpp"

namespace {

struct SimAdapterOptions {
  std::string type = "ds2480b";
  std::string devices;
  std::string link;
  bool realtime = false;
  double latency_ms = 0;
};

std::atomic<bool> g_stop{false};

void request_stop() { g_stop.store(true); }

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "qvds18x20 sim-adapter: %s\n", message.c_str());
  std::exit(qvtool::kExitFailed);
}

void run_sim_adapter(const SimAdapterOptions& o) {
  std::shared_ptr<onewire::sim::SimBus> bus;
  try {
    bus = o.devices.empty() ? qvtool::demo_bus() : qvtool::load_device_file(o.devices);
  } catch (const std::exception& e) {
    fail(e.what());
  }
  // Taking over a running adapter's link would cut its users off and
  // delete the link when this one stops.
  if (!o.link.empty()) {
    if (const std::string target = qvtool::live_terminal_link(o.link); !target.empty())
      fail(o.link + " already leads to " + target + ", a terminal in use (another virtual adapter?); not taking it over");
  }
  rtl::RealClock real_time;
  onewire::sim::VirtualAdapterOptions options;
  options.kind = o.type == "passive" ? onewire::sim::AdapterKind::kPassive : onewire::sim::AdapterKind::kDs2480b;
  options.link_path = o.link;
  options.pacing = o.realtime ? &real_time : nullptr;
  options.bridge_latency = std::chrono::duration_cast<rtl::Duration>(std::chrono::duration<double, std::milli>(o.latency_ms));
  g_stop.store(false);
  qvtool::on_interrupt(request_stop);
  {
    onewire::sim::VirtualAdapter adapter(bus, options);
    if (adapter.start() != 1)
      fail(o.link.empty() ? "cannot make a pseudo-terminal"
                          : "cannot make a pseudo-terminal linked at " + o.link + " (is something else there?)");
    // The one line a script waits for.
    std::printf("%s\n", adapter.path().c_str());
    std::fflush(stdout);
    // A signal only sets the flag; a tenth of a second is quick enough to
    // notice it.
    while (!g_stop.load()) rtl::GetClock().sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace

void add_sim_adapter_command(CLI::App& app) {
  auto o = std::make_shared<SimAdapterOptions>();
  auto* cmd = app.add_subcommand(
      "sim-adapter",
      "serve the simulated bus as a serial 1-Wire adapter on a pseudo-terminal (prints its path; Ctrl-C stops)");
  cmd->add_option("--type", o->type, "adapter: ds2480b (DS9097U) or passive (DS9097)")
      ->transform(CLI::IsMember({"ds2480b", "passive"}, CLI::ignore_case))
      ->capture_default_str();
  const CLI::Validator not_empty(
      [](std::string& value) { return value.empty() ? std::string("an empty value is not allowed") : std::string(); },
      "TEXT", "not empty");
  cmd->add_option("--devices", o->devices, "JSON device file (default: the demonstration devices)")->check(not_empty);
  cmd->add_option("--link", o->link, "also reach the adapter through a symbolic link at this path")->check(not_empty);
  cmd->add_flag("--realtime", o->realtime,
                "answer as slowly as a real adapter would (serial character times and 1-Wire times)");
  cmd->add_option("--latency", o->latency_ms,
                  "model a USB serial bridge whose latency timer ticks every MS milliseconds (16 is the FTDI "
                  "default, 1 its low-latency mode): answers reach the host only on its ticks")
      ->check(CLI::Range(0.0, 255.0))
      ->capture_default_str();
  cmd->callback([o] { run_sim_adapter(*o); });
}
