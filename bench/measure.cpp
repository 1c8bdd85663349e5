// One TMEXGetTemp, one enumeration and the decoding, timed against what the
// 1-Wire bus itself needs for the same traffic.
//
// The simulated bus waits the modelled time of every reset and slot
// (standard speed: reset 1096 us, slot 60 us) on the real clock; the 750 ms
// conversion wait is skipped, so what is left is the bus traffic and our
// own overhead. "ratio" is elapsed time over modelled bus time: 1.00 would
// mean the component and driver cost nothing beyond the wire.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <memory>

#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"

namespace {

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Rig {
  explicit Rig(int sensors) : bus(std::make_shared<onewire::sim::SimBus>()), driver(std::make_shared<onewire::sim::SimDriver>()) {
    for (int i = 0; i < sensors; ++i) {
      const std::uint8_t family = i % 4 == 3 ? 0x10 : 0x28;
      bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(family, 0x100 + static_cast<std::uint64_t>(i) * 0x1357),
                                                       20.0 + i * 0.5));
    }
    driver->attach(1, bus);
    onewire::InstallDriver(driver);
    component = std::make_unique<TQvDs18x20>(nullptr);
    component->TMEXOpenSession();
  }
  ~Rig() {
    component.reset();
    onewire::InstallDriver(nullptr);
  }

  void run(void (TQvDs18x20::*starter)()) {
    (component.get()->*starter)();
    RunMessageLoop([this] { return !component->Working(); });
  }

  std::shared_ptr<onewire::sim::SimBus> bus;
  std::shared_ptr<onewire::sim::SimDriver> driver;
  std::unique_ptr<TQvDs18x20> component;
};

// Times `op` with the bus paced on the real clock and reports it next to
// the modelled bus time of the same traffic.
template <typename Op>
void timed_against_bus(benchmark::State& state, Rig& rig, int per, Op op) {
  rtl::RealClock real;
  rig.bus->set_pacing(&real);
  double elapsed = 0, modelled = 0, cpu = 0;
  for (auto _ : state) {
    const auto bus_before = rig.bus->bus_time();
    const double cpu_before = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    op();
    const auto stop = std::chrono::steady_clock::now();
    cpu += process_cpu_seconds() - cpu_before;
    const double e = std::chrono::duration<double>(stop - start).count();
    elapsed += e;
    modelled += std::chrono::duration<double>(rig.bus->bus_time() - bus_before).count();
    state.SetIterationTime(e);
  }
  rig.bus->set_pacing(nullptr);
  const double n = static_cast<double>(state.iterations());
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["bus_model_ms"] = modelled / n * 1e3;
  state.counters["ratio"] = elapsed / modelled;
  state.counters["cpu_us_per_sensor_paced"] = cpu / n / per * 1e6;
}

// CPU time of the same work with the bus unpaced: what the component, the
// driver and the bus model cost per sensor, without the wake-ups of the
// pacing sleeps (which a real adapter replaces by blocking reads).
template <typename Op>
void cpu_per_sensor(benchmark::State& state, int per, Op op) {
  double cpu = 0;
  for (auto _ : state) {
    const double before = process_cpu_seconds();
    op();
    cpu += process_cpu_seconds() - before;
  }
  state.counters["cpu_us_per_sensor"] = cpu / static_cast<double>(state.iterations()) / per * 1e6;
  state.counters["bus_model_us_per_sensor"] = 0;  // filled by the caller
}

void BM_GetTemp(benchmark::State& state) {
  rtl::SkipClock skip;  // the 750 ms conversion wait costs nothing here
  rtl::ClockGuard guard(skip);
  const int sensors = static_cast<int>(state.range(0));
  Rig rig(sensors);
  rig.run(&TQvDs18x20::TMEXGetDSCount);
  if (rig.component->FSensorCount != sensors) state.SkipWithError("enumeration did not find every sensor");
  timed_against_bus(state, rig, sensors, [&] { rig.run(&TQvDs18x20::TMEXGetTemp); });
  for (int i = 0; i < sensors; ++i)
    if (rig.component->sensor(i)->temp.empty()) state.SkipWithError("a sensor was not read");
}
BENCHMARK(BM_GetTemp)->Arg(1)->Arg(8)->Arg(21)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_GetTempCpu(benchmark::State& state) {
  rtl::SkipClock skip;
  rtl::ClockGuard guard(skip);
  const int sensors = static_cast<int>(state.range(0));
  Rig rig(sensors);
  rig.run(&TQvDs18x20::TMEXGetDSCount);
  const auto bus_before = rig.bus->bus_time();
  cpu_per_sensor(state, sensors, [&] { rig.run(&TQvDs18x20::TMEXGetTemp); });
  state.counters["bus_model_us_per_sensor"] =
      std::chrono::duration<double, std::micro>(rig.bus->bus_time() - bus_before).count() /
      static_cast<double>(state.iterations()) / sensors;
}
BENCHMARK(BM_GetTempCpu)->Arg(1)->Arg(8)->Arg(21)->Unit(benchmark::kMicrosecond);

void BM_Enumerate21(benchmark::State& state) {
  rtl::SkipClock skip;
  rtl::ClockGuard guard(skip);
  Rig rig(21);
  timed_against_bus(state, rig, 21, [&] { rig.run(&TQvDs18x20::TMEXGetDSCount); });
  if (rig.component->FSensorCount != 21) state.SkipWithError("enumeration did not find every sensor");
}
BENCHMARK(BM_Enumerate21)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Decoding one sensor, next to what reading its scratchpad off the bus
// takes at standard speed (reset, MATCH ROM with its 8 ROM bytes, READ
// SCRATCHPAD and 9 bytes: 1096 us + 19 bytes of 480 us).
void BM_ObliczTemp(benchmark::State& state) {
  std::uint16_t raw = 0;
  for (auto _ : state) {
    auto text = TMGetDsCount::ObliczTemp(0x28, static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8), 0, 0x7F);
    benchmark::DoNotOptimize(text);
    raw = static_cast<std::uint16_t>(raw + 7);
  }
  state.counters["scratchpad_read_us"] = 1096 + 19 * 480;
}
BENCHMARK(BM_ObliczTemp);

}  // namespace

BENCHMARK_MAIN();
