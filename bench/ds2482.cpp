// One full measurement of ten sensors through the emulated DS2482-100 I2C
// bridge, driven by our built-in driver as adapter type 8 exactly as the
// component drives it, with the chip answering at a real chip's pace (its
// 1-Wire time per command, and every I2C transfer's bits at 100 or
// 400 kHz, on the real clock).
//
// A measurement is the one measurement_rig.hpp makes. Only the sensors'
// clock jumps over the conversion wait: the link's own waits for the chip
// stay on the real clock.
//
// Counters per measurement: elapsed_ms (real time), transfers (I2C
// transfers), wire_ms (the 1-Wire time of the chip's commands), i2c_ms
// (the bus time of every transfer), limit_ms (the modelled limit: the
// 1-Wire time plus the I2C time of every transfer but the status reads
// that found the chip still busy, i.e. what a host that never waited in
// vain would take with this protocol) and ratio = elapsed / limit.
//
// BM_OwserverDs2482 reads the same ten sensors with OWFS's owserver
// (--i2c) through the i2c-dev stand-in, for comparison
// (posix/owserver_comparison.hpp).
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "measurement_rig.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "onewire/tmex_driver.hpp"
#include "posix/owserver_comparison.hpp"
#include "rtl/clock.hpp"

namespace {

constexpr int kSensors = 10;
constexpr int kPort = 250;

struct Rig {
  Rig(int sensors, int hz) : i2c(std::make_shared<onewire::sim::EmulatedI2cBus>(hz, &real)) {
    bus->set_device_clock(&sensor_time);
    bench::add_sensors(*bus, sensors);
    chip = std::make_shared<onewire::sim::Ds2482Emulator>(bus);
    i2c->attach(0x18, chip);
    onewire::BuiltinDriverOptions o;
    o.i2c_buses = [this](const std::string& device) -> std::unique_ptr<onewire::ds2482::I2cBus> {
      return device == "/dev/i2c-1" ? i2c->connect() : nullptr;
    };
    driver = onewire::make_builtin_driver(o);
    onewire::pin_port(kPort, "/dev/i2c-1");
    session = driver->TMExtendedStartSession(kPort, onewire::kAdapterTypeDs2482, nullptr);
  }
  ~Rig() {
    if (driver && session > 0) driver->TMEndSession(session);
    onewire::unpin_port(kPort);
  }

  rtl::RealClock real;
  rtl::SkipClock sensor_time;  // the conversion wait costs nothing here
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
  std::shared_ptr<onewire::sim::Ds2482Emulator> chip;
  std::shared_ptr<onewire::sim::EmulatedI2cBus> i2c;
  std::shared_ptr<onewire::TmexDriver> driver;
  std::int32_t session = 0;
};

void BM_Ds2482(benchmark::State& state) {
  const int sensors = static_cast<int>(state.range(0));
  const int hz = static_cast<int>(state.range(1));
  Rig rig(sensors, hz);
  double elapsed = 0, wire = 0, i2c = 0, limit = 0, transfers = 0;
  const bool ok = bench::time_each_measurement(
      state, *rig.driver, rig.session, sensors,
      [&] {
        rig.chip->reset_stats();
        rig.i2c->reset_stats();
      },
      [&](double e) {
        const auto chip = rig.chip->stats();
        const auto bus = rig.i2c->stats();
        const double w = std::chrono::duration<double>(chip.wire).count();
        const double t = std::chrono::duration<double>(bus.time).count();
        // A status read that found the chip busy: one byte after the address.
        const double wasted = static_cast<double>(chip.busy_reads) *
                              std::chrono::duration<double>(rig.i2c->transfer_time(1)).count();
        elapsed += e;
        wire += w;
        i2c += t;
        limit += w + t - wasted;
        transfers += static_cast<double>(bus.transfers);
      },
      rig.sensor_time);
  if (!ok) return;
  const double n = static_cast<double>(state.iterations());
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["wire_ms"] = wire / n * 1e3;
  state.counters["i2c_ms"] = i2c / n * 1e3;
  state.counters["limit_ms"] = limit / n * 1e3;
  state.counters["transfers"] = transfers / n;
  state.counters["ratio"] = elapsed / limit;
}

void BM_OwserverDs2482(benchmark::State& state) {
  bench::time_owserver(state, QVDS_TOOL_PATH, "ds2482", "sim-i2c", "--i2c=/dev/i2c-1:ALL", kSensors);
}

BENCHMARK(BM_Ds2482)
    ->Args({kSensors, 100'000})
    ->Args({kSensors, 400'000})
    ->ArgNames({"sensors", "hz"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_OwserverDs2482)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
