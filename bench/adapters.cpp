// One full measurement of ten sensors through each virtual serial adapter,
// driven by our built-in driver exactly as the component drives it, with
// the adapter answering as slowly as a real one (realtime pacing).
//
// A measurement is: the search for every ROM (TMFirst/TMNext/TMRom), one
// CONVERT T for the whole bus, and for every sensor TMAccess, READ
// SCRATCHPAD and nine bytes. The 750 ms conversion wait is skipped: it is
// the application's wait, not the adapter's.
//
// Counters per measurement: elapsed_ms (real time), round_trips (host
// requests answered by the adapter), model_ms (what a real adapter would
// have been busy: its serial characters at its rate plus the 1-Wire time,
// reception, bus and answers overlapping as in the chip) and ratio =
// elapsed / model; 1.00 would mean that the host side, the
// pseudo-terminal and the scheduler cost nothing.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "onewire/tmex_driver.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/crc.hpp"
#include "onewire/serial/port_map.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "rtl/clock.hpp"

namespace {

constexpr int kPort = 200;

struct Rig {
  Rig(onewire::sim::AdapterKind kind, int baud, int sensors) {
    for (int i = 0; i < sensors; ++i) {
      const std::uint8_t family = i % 4 == 3 ? 0x10 : 0x28;
      bus->add(std::make_shared<onewire::sim::Ds18x20>(
          onewire::sim::make_rom(family, 0x3000 + static_cast<std::uint64_t>(i) * 0x2468), 18.0 + i * 0.75));
    }
    onewire::sim::VirtualAdapterOptions o;
    o.kind = kind;
    o.pacing = &real;
    adapter = std::make_unique<onewire::sim::VirtualAdapter>(bus, o);
    if (adapter->start() != 1) return;
    onewire::serial::pin_port(kPort, adapter->path());
    onewire::BuiltinDriverOptions d;
    d.ds2480b_baud = baud;
    driver = onewire::make_builtin_driver(d);
    session = driver->TMExtendedStartSession(kPort, kind == onewire::sim::AdapterKind::kPassive ? 1 : 5, nullptr);
  }
  ~Rig() {
    if (driver && session > 0) driver->TMEndSession(session);
    onewire::serial::unpin_port(kPort);
  }

  // One measurement; false when anything failed.
  bool measure(int sensors) {
    std::vector<std::uint8_t> state(onewire::kStateBufferSize);
    std::vector<std::array<std::uint16_t, 8>> roms;
    for (int r = driver->TMFirst(session, state.data()); r == 1; r = driver->TMNext(session, state.data())) {
      std::array<std::uint16_t, 8> rom{};
      if (driver->TMRom(session, state.data(), rom.data()) != 1) return false;
      roms.push_back(rom);
    }
    if (static_cast<int>(roms.size()) != sensors) return false;
    if (driver->TMTouchReset(session) != 1 || driver->TMTouchByte(session, 0xCC) != 0xCC ||
        driver->TMTouchByte(session, 0x44) != 0x44)
      return false;
    rtl::GetClock().sleep_for(std::chrono::milliseconds(750));
    for (auto& rom : roms) {
      if (driver->TMRom(session, state.data(), rom.data()) != 1 || driver->TMAccess(session, state.data()) != 1 ||
          driver->TMTouchByte(session, 0xBE) != 0xBE)
        return false;
      std::array<std::uint8_t, 9> pad{};
      for (auto& b : pad) {
        const int v = driver->TMTouchByte(session, 0xFF);
        if (v < 0) return false;
        b = static_cast<std::uint8_t>(v);
      }
      if (onewire::crc8(pad.data(), pad.size()) != 0) return false;
    }
    return true;
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
  if (rig.session <= 0) {
    state.SkipWithError("the adapter could not be opened");
    return;
  }
  double elapsed = 0;
  double model = 0;
  double trips = 0;
  for (auto _ : state) {
    rig.adapter->reset_stats();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = rig.measure(sensors);
    const auto stop = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError("the measurement failed");
      return;
    }
    const auto stats = rig.adapter->stats();
    const double e = std::chrono::duration<double>(stop - start).count();
    elapsed += e;
    model += std::chrono::duration<double>(stats.modelled).count();
    trips += static_cast<double>(stats.round_trips);
    state.SetIterationTime(e);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["model_ms"] = model / n * 1e3;
  state.counters["round_trips"] = trips / n;
  state.counters["ratio"] = elapsed / model;
}

void BM_Ds2480b9600(benchmark::State& state) { measurement(state, onewire::sim::AdapterKind::kDs2480b, 9600); }
void BM_Ds2480b115200(benchmark::State& state) { measurement(state, onewire::sim::AdapterKind::kDs2480b, 115200); }
void BM_Passive(benchmark::State& state) { measurement(state, onewire::sim::AdapterKind::kPassive, 9600); }

BENCHMARK(BM_Ds2480b9600)->Arg(10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Ds2480b115200)->Arg(10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Passive)->Arg(10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
