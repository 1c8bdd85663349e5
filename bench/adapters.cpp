// One full measurement of ten sensors through each virtual serial adapter,
// driven by our built-in driver exactly as the component drives it, with
// the adapter answering as slowly as a real one (realtime pacing).
//
// A measurement is the one measurement_rig.hpp makes.
//
// Counters per measurement: elapsed_ms (real time), round_trips (host
// requests answered by the adapter), model_ms (what a real adapter would
// have been busy: its serial characters at its rate plus the 1-Wire time,
// reception, bus and answers overlapping as in the chip) and ratio =
// elapsed / model; 1.00 would mean that the host side, the
// pseudo-terminal and the scheduler cost nothing.
#include <benchmark/benchmark.h>

#include <memory>
#include <utility>

#include "measurement_rig.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "onewire/tmex_driver.hpp"
#include "rtl/clock.hpp"

namespace {

constexpr int kPort = 200;

struct Rig {
  Rig(onewire::sim::AdapterKind kind, int baud, int sensors) {
    bench::add_sensors(*bus, sensors);
    onewire::sim::VirtualAdapterOptions o;
    o.kind = kind;
    o.pacing = &real;
    adapter = std::make_unique<onewire::sim::VirtualAdapter>(bus, o);
    onewire::BuiltinDriverOptions d;
    d.ds2480b_baud = baud;
    driver = onewire::make_builtin_driver(d);
    if (adapter->start() != 1) return;
    onewire::pin_port(kPort, adapter->path());
    session = driver->TMExtendedStartSession(kPort, kind == onewire::sim::AdapterKind::kPassive ? 1 : 5, nullptr);
  }
  ~Rig() {
    if (driver && session > 0) driver->TMEndSession(session);
    onewire::unpin_port(kPort);
  }

  rtl::RealClock real;
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
  std::unique_ptr<onewire::sim::VirtualAdapter> adapter;
  std::shared_ptr<onewire::TmexDriver> driver;
  std::int32_t session = 0;
};

void measurement(benchmark::State& state, onewire::sim::AdapterKind kind, int baud) {
  rtl::SkipClock skip;  // the conversion wait costs nothing here
  rtl::ClockGuard guard(skip);
  const int sensors = static_cast<int>(state.range(0));
  Rig rig(kind, baud, sensors);
  bench::time_measurements(
      state, *rig.driver, rig.session, sensors, [&] { rig.adapter->reset_stats(); },
      [&] {
        const auto stats = rig.adapter->stats();
        return std::pair{stats.modelled, static_cast<double>(stats.round_trips)};
      },
      "round_trips");
}

void BM_Ds2480b9600(benchmark::State& state) { measurement(state, onewire::sim::AdapterKind::kDs2480b, 9600); }
void BM_Ds2480b115200(benchmark::State& state) { measurement(state, onewire::sim::AdapterKind::kDs2480b, 115200); }
void BM_Passive(benchmark::State& state) { measurement(state, onewire::sim::AdapterKind::kPassive, 9600); }

BENCHMARK(BM_Ds2480b9600)->Arg(10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Ds2480b115200)->Arg(10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Passive)->Arg(10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
