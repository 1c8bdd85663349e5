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
// through the libusb stand-in, one owread of an uncached temperature per
// sensor (owserver converts and waits itself, 750 ms each), for
// comparison; it is skipped when owserver or the tool is not there.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measurement_rig.hpp"
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
  if (rig.session <= 0) {
    state.SkipWithError("the adapter could not be opened");
    return;
  }
  bench::time_measurements(
      state, *rig.driver, rig.session, sensors, [&] { rig.chip->reset_stats(); },
      [&] {
        const auto stats = rig.chip->stats();
        return std::pair{stats.modelled, static_cast<double>(stats.transfers())};
      },
      "transfers");
}

int run(const std::string& command) { return std::system(command.c_str()); }

std::string owfs_id(const onewire::Rom& rom) {
  char id[32];
  std::snprintf(id, sizeof id, "%02X.%02X%02X%02X%02X%02X%02X", rom[0], rom[1], rom[2], rom[3], rom[4], rom[5], rom[6]);
  return id;
}

void BM_OwserverDs2490(benchmark::State& state) {
  const std::string tool = QVDS_TOOL_PATH;
  if (tool.empty() || run("command -v owserver >/dev/null && command -v owread >/dev/null") != 0) {
    state.SkipWithError("owserver/owread or the tool are not there");
    return;
  }
  const std::string dir = "/tmp/qvds-bench-ds2490-" + std::to_string(::getpid());
  run("mkdir -p " + dir);
  {
    std::ofstream f(dir + "/devices.json");
    f << "{\"devices\": [";
    for (int i = 0; i < kSensors; ++i) {
      const auto rom = bench::sensor_rom(i);
      char serial[16];
      std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X%02X%02X", rom[6], rom[5], rom[4], rom[3], rom[2], rom[1]);
      f << (i ? "," : "") << "{\"type\": \"" << (rom[0] == 0x10 ? "DS18S20" : "DS18B20") << "\", \"serial\": \"" << serial
        << "\", \"celsius\": " << bench::sensor_celsius(i) << "}";
    }
    f << "]}\n";
  }
  const std::string port = std::to_string(30000 + ::getpid() % 20000);
  run(tool + " sim-usb --devices " + dir + "/devices.json -- owserver -u -p 127.0.0.1:" + port +
      " --foreground --error_level=0 >" + dir + "/owserver.log 2>&1 & echo $! >" + dir + "/pid");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool up = false;
  while (!up && std::chrono::steady_clock::now() < deadline)
    up = run("owdir -s 127.0.0.1:" + port + " / 2>/dev/null | grep -q '^/28\\.'") == 0 ||
         (run("sleep 0.2"), false);
  // One owread per sensor: a single request for all ten can outlast the
  // client's network deadline, since owserver converts them one by one.
  std::vector<std::string> reads;
  for (int i = 0; i < kSensors; ++i)
    reads.push_back("owread -s 127.0.0.1:" + port + " /uncached/" + owfs_id(bench::sensor_rom(i)) + "/temperature >>" + dir +
                    "/owread.out 2>&1");
  if (!up) {
    state.SkipWithError("owserver did not come up");
  } else {
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      bool ok = true;
      for (const auto& r : reads) ok = ok && run(r) == 0;
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!ok) {
        std::ifstream out(dir + "/owread.out");
        std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
        state.SkipWithError(("owread failed: " + text).c_str());
        break;
      }
    }
  }
  run("kill $(cat " + dir + "/pid) 2>/dev/null; sleep 0.5; rm -rf " + dir);
}

BENCHMARK(BM_Ds2490)->Arg(kSensors)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OwserverDs2490)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
