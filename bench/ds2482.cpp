// One full measurement of ten sensors through the emulated DS2482-100 I2C
// bridge, driven by our built-in driver as adapter type 8 exactly as the
// component drives it, with the chip answering at a real chip's pace (its
// 1-Wire time per command, and every I2C transfer's bits at 100 or
// 400 kHz, on the real clock).
//
// A measurement is: the search for every ROM (TMFirst/TMNext/TMRom), one
// CONVERT T for the whole bus, and for every sensor TMAccess, READ
// SCRATCHPAD and nine bytes. The 750 ms conversion wait is skipped (the
// sensors' clock jumps over it): it is the application's wait, not the
// adapter's.
//
// Counters per measurement: elapsed_ms (real time), transfers (I2C
// transfers), wire_ms (the 1-Wire time of the chip's commands), i2c_ms
// (the bus time of every transfer), limit_ms (the modelled limit: the
// 1-Wire time plus the I2C time of every transfer but the status reads
// that found the chip still busy, i.e. what a host that never waited in
// vain would take with this protocol) and ratio = elapsed / limit.
//
// BM_OwserverDs2482 reads the same ten sensors with OWFS's owserver
// (--i2c) through the i2c-dev stand-in, one owread of an uncached
// temperature per sensor (owserver converts and waits itself, 750 ms
// each), for comparison; it is skipped when owserver or the tool is not
// there.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "onewire/builtin_driver.hpp"
#include "onewire/crc.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "onewire/tmex_driver.hpp"
#include "rtl/clock.hpp"

namespace {

constexpr int kSensors = 10;
constexpr int kPort = 250;

onewire::Rom sensor_rom(int i) {
  const std::uint8_t family = i % 4 == 3 ? 0x10 : 0x28;
  return onewire::sim::make_rom(family, 0x3000 + static_cast<std::uint64_t>(i) * 0x2468);
}
double sensor_celsius(int i) { return 18.0 + i * 0.75; }

struct Rig {
  Rig(int sensors, int hz) : i2c(std::make_shared<onewire::sim::EmulatedI2cBus>(hz, &real)) {
    bus->set_device_clock(&sensor_time);
    for (int i = 0; i < sensors; ++i)
      bus->add(std::make_shared<onewire::sim::Ds18x20>(sensor_rom(i), sensor_celsius(i)));
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
    sensor_time.sleep_for(std::chrono::milliseconds(750));
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
  if (rig.session <= 0) {
    state.SkipWithError("the adapter could not be opened");
    return;
  }
  double elapsed = 0, wire = 0, i2c = 0, limit = 0, transfers = 0;
  for (auto _ : state) {
    rig.chip->reset_stats();
    rig.i2c->reset_stats();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = rig.measure(sensors);
    const auto stop = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError("the measurement failed");
      return;
    }
    const auto chip = rig.chip->stats();
    const auto bus = rig.i2c->stats();
    const double e = std::chrono::duration<double>(stop - start).count();
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
    state.SetIterationTime(e);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["wire_ms"] = wire / n * 1e3;
  state.counters["i2c_ms"] = i2c / n * 1e3;
  state.counters["limit_ms"] = limit / n * 1e3;
  state.counters["transfers"] = transfers / n;
  state.counters["ratio"] = elapsed / limit;
}

int run(const std::string& command) { return std::system(command.c_str()); }

std::string owfs_id(const onewire::Rom& rom) {
  char id[32];
  std::snprintf(id, sizeof id, "%02X.%02X%02X%02X%02X%02X%02X", rom[0], rom[1], rom[2], rom[3], rom[4], rom[5], rom[6]);
  return id;
}

void BM_OwserverDs2482(benchmark::State& state) {
  const std::string tool = QVDS_TOOL_PATH;
  if (tool.empty() || run("command -v owserver >/dev/null && command -v owread >/dev/null") != 0) {
    state.SkipWithError("owserver/owread or the tool are not there");
    return;
  }
  const std::string dir = "/tmp/qvds-bench-ds2482-" + std::to_string(::getpid());
  run("mkdir -p " + dir);
  {
    std::ofstream f(dir + "/devices.json");
    f << "{\"devices\": [";
    for (int i = 0; i < kSensors; ++i) {
      const auto rom = sensor_rom(i);
      char serial[16];
      std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X%02X%02X", rom[6], rom[5], rom[4], rom[3], rom[2], rom[1]);
      f << (i ? "," : "") << "{\"type\": \"" << (rom[0] == 0x10 ? "DS18S20" : "DS18B20") << "\", \"serial\": \"" << serial
        << "\", \"celsius\": " << sensor_celsius(i) << "}";
    }
    f << "]}\n";
  }
  const std::string port = std::to_string(30000 + ::getpid() % 20000);
  run(tool + " sim-i2c --devices " + dir + "/devices.json -- owserver --i2c=/dev/i2c-1:ALL -p 127.0.0.1:" + port +
      " --foreground --error_level=0 >" + dir + "/owserver.log 2>&1 & echo $! >" + dir + "/pid");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool up = false;
  while (!up && std::chrono::steady_clock::now() < deadline)
    up = run("owdir -s 127.0.0.1:" + port + " / 2>/dev/null | grep -q '^/28\\.'") == 0 || (run("sleep 0.2"), false);
  std::vector<std::string> reads;
  for (int i = 0; i < kSensors; ++i)
    reads.push_back("owread -s 127.0.0.1:" + port + " /uncached/" + owfs_id(sensor_rom(i)) + "/temperature >>" + dir +
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
