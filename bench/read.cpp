// The whole `qvds18x20 read` of ten sensors (six DS18B20, four DS18S20)
// through the virtual adapters with real serial and 1-Wire timing: the
// component opens its session (detection, rate switch), enumerates,
// converts, waits the real 750 ms and reads every scratchpad, with the
// built-in driver exactly as the tool uses it. The DS2480B sits behind a
// modelled USB bridge with latency 0, 1, 4 and 16 ms and runs at the rate
// the link chooses (the baud counter: 115200 with prompt answers, 9600
// behind slower bridges), and for comparison at rates forced the other
// way; it keeps one byte of input, and the link never outruns it.
// The passive adapter is wired straight.
//
// Counters per read: elapsed_ms (real time from opening the session to
// the temperatures), round_trips (host requests answered by the adapter),
// limit_ms = 750 ms + what the adapter was busy (serial characters and
// 1-Wire time, overlapping as in the chip) + the time finished answers
// waited for the bridge's timer, and ratio = elapsed / limit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"

namespace {

constexpr int kPort = 201;
constexpr int kSensors = 10;

void read_all(benchmark::State& state, onewire::sim::AdapterKind kind, int latency_ms, int baud_asked) {
  rtl::RealClock real;
  auto bus = std::make_shared<onewire::sim::SimBus>();
  for (int i = 0; i < kSensors; ++i) {
    const std::uint8_t family = (i == 3 || i == 6 || i == 7 || i == 9) ? 0x10 : 0x28;
    bus->add(std::make_shared<onewire::sim::Ds18x20>(
        onewire::sim::make_rom(family, 0x3000 + static_cast<std::uint64_t>(i) * 0x2468), 18.0 + i * 0.75));
  }
  onewire::sim::VirtualAdapterOptions o;
  o.kind = kind;
  o.pacing = &real;
  o.bridge_latency = std::chrono::milliseconds(latency_ms);
  onewire::sim::VirtualAdapter adapter(bus, o);
  if (adapter.start() != 1) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  onewire::pin_port(kPort, adapter.path());
  onewire::BuiltinDriverOptions options;
  options.ds2480b_baud = baud_asked;
  const auto builtin = onewire::make_builtin_driver(options);
  onewire::DriverGuard driver(builtin);
  int baud = 0;
  const int type = kind == onewire::sim::AdapterKind::kPassive ? onewire::kAdapterTypePassive
                                                                : onewire::kAdapterTypeDs2480b;
  double elapsed = 0;
  double limit = 0;
  double trips = 0;
  for (auto _ : state) {
    adapter.reset_stats();
    const auto start = std::chrono::steady_clock::now();
    int read = 0;
    {
      TQvDs18x20 c(nullptr);
      c.ComPort("COM" + std::to_string(kPort));
      c.AdapterType(static_cast<std::uint8_t>(type));
      c.TMEXOpenSession();
      if (!c.SesionActive()) {
        state.SkipWithError("the session did not open");
        break;
      }
      c.TMEXGetTemp();
      RunMessageLoop([] { return ActiveWorker == nullptr; });
      ProcessMessages();
      for (int i = 0; i < c.SensorListCount(); ++i)
        if (!c.sensor(i)->temp.empty()) ++read;
      baud = builtin->serial_baud(kPort);
      c.Close();
    }
    const auto stop = std::chrono::steady_clock::now();
    if (read != kSensors) {
      state.SkipWithError("not every sensor was read");
      break;
    }
    const auto s = adapter.stats();
    const double e = std::chrono::duration<double>(stop - start).count();
    elapsed += e;
    limit += std::chrono::duration<double>(std::chrono::milliseconds(kConversionWaitMs) + s.modelled + s.bridge_wait)
                 .count();
    trips += static_cast<double>(s.round_trips);
    state.SetIterationTime(e);
  }
  onewire::unpin_port(kPort);
  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["limit_ms"] = limit / n * 1e3;
  state.counters["round_trips"] = trips / n;
  state.counters["ratio"] = elapsed / limit;
  state.counters["baud"] = baud;
}

void BM_ReadDs2480b(benchmark::State& state) {
  read_all(state, onewire::sim::AdapterKind::kDs2480b, static_cast<int>(state.range(0)),
           static_cast<int>(state.range(1)));
}
void BM_ReadPassive(benchmark::State& state) { read_all(state, onewire::sim::AdapterKind::kPassive, 0, 0); }

// Rate 0: the one the link chooses; the others forced, for comparison.
BENCHMARK(BM_ReadDs2480b)
    ->ArgNames({"latency_ms", "baud"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({16, 0})
    ->Args({1, 9600})
    ->Args({4, 115200})
    ->Args({16, 115200})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_ReadPassive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
