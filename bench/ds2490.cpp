// One full measurement of ten sensors through the emulated DS2490 USB
// adapter, driven by our built-in driver as adapter type 6 exactly as the
// component drives it, with the chip answering at a real adapter's pace
// (1 ms USB frames plus 1-Wire time, on the real clock).
//
// A measurement is the one measurement_rig.hpp makes.
//
// Counters per measurement: elapsed_ms (real time), transfers (USB
// transfers), model_ms (what a host with no overhead of its own would
// have waited for the same transfers in the chip's timing model) and
// ratio = elapsed / model.
//
// BM_OwserverDs2490 reads the same ten sensors with OWFS's owserver (-u)
// through the libusb stand-in, for comparison
// (posix/owserver_comparison.hpp).
#include <benchmark/benchmark.h>

#include <memory>
#include <utility>

#include "measurement_rig.hpp"
#include "posix/owserver_comparison.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "rtl/clock.hpp"

namespace {

constexpr int kSensors = 10;

struct Rig {
  explicit Rig(int sensors) {
    bench::add_sensors(*bus, sensors);
    chip = std::make_shared<onewire::sim::Ds2490Emulator>(bus, &real);
    onewire::BuiltinDriverOptions o;
    o.usb_devices = [this](int port) -> std::unique_ptr<onewire::ds2490::UsbDevice> {
      if (port != 1) return nullptr;
      return std::make_unique<onewire::sim::EmulatedUsbDevice>(chip);
    };
    driver = onewire::make_builtin_driver(o);
    session = driver->TMExtendedStartSession(1, 6, nullptr);
  }
  ~Rig() {
    if (driver && session > 0) driver->TMEndSession(session);
  }

  rtl::RealClock real;
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
  std::shared_ptr<onewire::sim::Ds2490Emulator> chip;
  std::shared_ptr<onewire::TmexDriver> driver;
  std::int32_t session = 0;
};

void BM_Ds2490(benchmark::State& state) {
  rtl::SkipClock skip;  // the conversion wait costs nothing here
  rtl::ClockGuard guard(skip);
  const int sensors = static_cast<int>(state.range(0));
  Rig rig(sensors);
  bench::time_measurements(
      state, *rig.driver, rig.session, sensors, [&] { rig.chip->reset_stats(); },
      [&] {
        const auto stats = rig.chip->stats();
        return std::pair{stats.modelled, static_cast<double>(stats.transfers())};
      },
      "transfers");
}

void BM_OwserverDs2490(benchmark::State& state) {
  bench::time_owserver(state, QVDS_TOOL_PATH, "ds2490", "sim-usb", "-u", kSensors);
}

BENCHMARK(BM_Ds2490)->Arg(kSensors)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OwserverDs2490)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
