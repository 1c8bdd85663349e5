// The bus engine on every adapter, with real timing throughout: the
// emulated adapters answer at a real adapter's pace and the sensors take
// their real conversion times (genuine DS18B20s about 600 ms, DS18S20s
// 750 ms).
//
//   BM_WholeRead    open the bus, search it (100 sensors), measure it
//   BM_Round        one measurement of 8 buses of 20 sensors at once: the
//                   8 channels of one DS2482-800, or 8 DS2480B adapters
//   BM_WatchRound   the steady-state round of `watch`: one measurement of
//                   10 sensors on a bus searched before
//   BM_ResolutionRound  the same round of 20 DS18B20 set to 9 or 12 bits:
//                   the wait follows the resolution
//
// Counters: elapsed_ms (real time), limit_ms (the modelled limit: the
// slowest sensor's conversion, plus what the adapter was busy with
// everything else the read needs: detection, search, conversion command
// and scratchpad reads, measured as the adapter model counts it, with a
// bridge's latency waits; polls during the conversion cost nothing, as
// they overlap it), and ratio = elapsed / limit. The channels of one
// DS2482-800 share the chip, so their traffic adds up; 8 adapters work
// side by side, so the slowest bounds the round.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "measurement_rig.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "qvds/bus.hpp"
#include "rtl/clock.hpp"

namespace {

using Seconds = std::chrono::duration<double>;

// One emulated adapter with its bus of sensors, and what it counts.
struct Rig {
  virtual ~Rig() = default;
  // The engine's bus on it, opened anew.
  virtual qvds::Result<qvds::Bus> open() = 0;
  virtual void reset_stats() = 0;
  // What the adapter was busy with since reset_stats().
  virtual double busy() const = 0;

  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
  double slowest_conversion() const {
    rtl::Duration slowest{0};
    for (const auto& d : bus->devices())
      if (const auto t = std::dynamic_pointer_cast<onewire::sim::Ds18x20>(d)) slowest = std::max(slowest, t->conversion_time());
    return Seconds(slowest).count();
  }
};

int g_next_port = 230;

struct SerialRig : Rig {
  SerialRig(int sensors, int latency_ms) : port(g_next_port++) {
    bench::add_sensors(*bus, sensors);
    onewire::sim::VirtualAdapterOptions o;
    o.kind = onewire::sim::AdapterKind::kDs2480b;
    o.pacing = &real;
    o.bridge_latency = std::chrono::milliseconds(latency_ms);
    adapter = std::make_unique<onewire::sim::VirtualAdapter>(bus, o);
    ok = adapter->start() == 1;
    if (ok) onewire::pin_port(port, adapter->path());
  }
  ~SerialRig() override { onewire::unpin_port(port); }
  qvds::Result<qvds::Bus> open() override {
    if (!ok) return qvds::Failure{qvds::Errc::kPortUnavailable, "no pseudo-terminal"};
    return qvds::Bus::open("ds2480b", "COM" + std::to_string(port));
  }
  void reset_stats() override { adapter->reset_stats(); }
  double busy() const override {
    const auto s = adapter->stats();
    return Seconds(s.modelled + s.bridge_wait).count();
  }
  rtl::RealClock real;
  int port;
  bool ok = false;
  std::unique_ptr<onewire::sim::VirtualAdapter> adapter;
};

struct UsbRig : Rig {
  explicit UsbRig(int sensors) {
    bench::add_sensors(*bus, sensors);
    chip = std::make_shared<onewire::sim::Ds2490Emulator>(bus, &real);
    options.driver.usb_devices = [this](int port) -> std::unique_ptr<onewire::ds2490::UsbDevice> {
      if (port != 1) return nullptr;
      return std::make_unique<onewire::sim::EmulatedUsbDevice>(chip);
    };
  }
  qvds::Result<qvds::Bus> open() override { return qvds::Bus::open("usb", "USB1", options); }
  void reset_stats() override { chip->reset_stats(); }
  double busy() const override { return Seconds(chip->stats().modelled).count(); }
  rtl::RealClock real;
  std::shared_ptr<onewire::sim::Ds2490Emulator> chip;
  qvds::OpenOptions options;
};

// A DS2482 (-100 with one bus, -800 with `channels` buses of `sensors`).
struct I2cRig : Rig {
  I2cRig(int sensors, int hz, int channels = 1) : i2c(std::make_shared<onewire::sim::EmulatedI2cBus>(hz, &real)) {
    std::array<std::shared_ptr<onewire::sim::SimBus>, 8> buses{};
    for (int c = 0; c < channels; ++c) {
      buses[static_cast<std::size_t>(c)] = c == 0 ? bus : std::make_shared<onewire::sim::SimBus>();
      for (int i = 0; i < sensors; ++i)
        buses[static_cast<std::size_t>(c)]->add(std::make_shared<onewire::sim::Ds18x20>(
            bench::sensor_rom(c * 1000 + i), bench::sensor_celsius(i)));
    }
    channel_buses.assign(buses.begin(), buses.begin() + channels);
    chip = channels == 1 ? std::make_shared<onewire::sim::Ds2482Emulator>(bus)
                         : std::make_shared<onewire::sim::Ds2482Emulator>(buses);
    i2c->attach(0x18, chip);
    options.driver.i2c_buses = [this](const std::string& device) -> std::unique_ptr<onewire::ds2482::I2cBus> {
      return device == "/dev/i2c-bench" ? i2c->connect() : nullptr;
    };
    this->channels = channels;
  }
  qvds::Result<qvds::Bus> open() override { return open_channel(channels == 1 ? -1 : 0); }
  qvds::Result<qvds::Bus> open_channel(int channel) {
    return qvds::Bus::open("ds2482", channel < 0 ? "/dev/i2c-bench" : "/dev/i2c-bench:0x18:" + std::to_string(channel),
                           options);
  }
  void reset_stats() override {
    chip->reset_stats();
    i2c->reset_stats();
  }
  double busy() const override {
    const auto c = chip->stats();
    const auto b = i2c->stats();
    // A status read that found the chip busy was waiting, not working.
    const double wasted = static_cast<double>(c.busy_reads) * Seconds(i2c->transfer_time(1)).count();
    return Seconds(c.wire).count() + Seconds(b.time).count() - wasted;
  }
  rtl::RealClock real;
  std::shared_ptr<onewire::sim::EmulatedI2cBus> i2c;
  std::shared_ptr<onewire::sim::Ds2482Emulator> chip;
  std::vector<std::shared_ptr<onewire::sim::SimBus>> channel_buses;
  qvds::OpenOptions options;
  int channels = 1;
};

// What reading every sensor's scratchpad once costs the adapter: the
// reads of a measurement, without its conversion.
double read_pass_busy(Rig& rig, qvds::Bus& bus) {
  rig.reset_stats();
  for (const auto& d : bus.devices()) (void)bus.read_latest(d.rom);
  return rig.busy();
}

void report(benchmark::State& state, double elapsed, double limit) {
  const double n = static_cast<double>(state.iterations());
  if (n == 0 || limit <= 0) return;
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["limit_ms"] = limit / n * 1e3;
  state.counters["ratio"] = elapsed / limit;
}

void whole_read(benchmark::State& state, Rig& rig, int sensors) {
  double elapsed = 0;
  double limit = 0;
  for (auto _ : state) {
    rig.reset_stats();
    const auto start = std::chrono::steady_clock::now();
    auto bus = rig.open();
    if (!bus) {
      state.SkipWithError(bus.message().c_str());
      return;
    }
    auto found = bus->search();
    const double setup_busy = rig.busy();
    auto m = bus->measure();
    const auto stop = std::chrono::steady_clock::now();
    if (!found || !m || static_cast<int>(m->read_count()) != sensors) {
      state.SkipWithError(m ? "not every sensor was read" : m.message().c_str());
      return;
    }
    const double e = Seconds(stop - start).count();
    elapsed += e;
    limit += setup_busy + rig.slowest_conversion() + read_pass_busy(rig, *bus);
    state.SetIterationTime(e);
  }
  report(state, elapsed, limit);
}

void BM_WholeReadDs2480b(benchmark::State& state) {
  SerialRig rig(100, static_cast<int>(state.range(0)));
  whole_read(state, rig, 100);
}
void BM_WholeReadDs2490(benchmark::State& state) {
  UsbRig rig(100);
  whole_read(state, rig, 100);
}
void BM_WholeReadDs2482(benchmark::State& state) {
  I2cRig rig(100, static_cast<int>(state.range(0)));
  whole_read(state, rig, 100);
}

BENCHMARK(BM_WholeReadDs2480b)->ArgName("latency_ms")->Arg(0)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_WholeReadDs2490)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_WholeReadDs2482)->ArgName("hz")->Arg(100'000)->Arg(400'000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// One round of measure_all over buses searched before.
void round_of(benchmark::State& state, std::vector<qvds::Bus>& buses, const std::function<void()>& reset,
              const std::function<double()>& limit_of_round) {
  std::vector<qvds::Bus*> set;
  for (auto& b : buses) {
    if (!b.search()) {
      state.SkipWithError("a bus could not be searched");
      return;
    }
    set.push_back(&b);
  }
  double elapsed = 0;
  double limit = 0;
  for (auto _ : state) {
    reset();
    const auto start = std::chrono::steady_clock::now();
    const auto results = qvds::measure_all(set);
    const auto stop = std::chrono::steady_clock::now();
    for (const auto& r : results)
      if (!r || r->read_count() != 20) {
        state.SkipWithError("a bus was not read whole");
        return;
      }
    const double e = Seconds(stop - start).count();
    elapsed += e;
    limit += limit_of_round();
    state.SetIterationTime(e);
  }
  report(state, elapsed, limit);
}

void BM_RoundDs2482Channels(benchmark::State& state) {
  I2cRig rig(20, static_cast<int>(state.range(0)), 8);
  std::vector<qvds::Bus> buses;
  for (int c = 0; c < 8; ++c) {
    auto b = rig.open_channel(c);
    if (!b) {
      state.SkipWithError(b.message().c_str());
      return;
    }
    buses.push_back(std::move(b).value());
  }
  double conversion = 0;
  for (const auto& sim : rig.channel_buses)
    for (const auto& d : sim->devices())
      if (const auto t = std::dynamic_pointer_cast<onewire::sim::Ds18x20>(d))
        conversion = std::max(conversion, Seconds(t->conversion_time()).count());
  // The chip serves one channel at a time: every channel's reads add up.
  round_of(state, buses, [] {}, [&] {
    double reads = 0;
    for (auto& b : buses) reads += read_pass_busy(rig, b);
    return conversion + reads;
  });
}

void BM_RoundDs2480bAdapters(benchmark::State& state) {
  std::vector<std::unique_ptr<SerialRig>> rigs;
  std::vector<qvds::Bus> buses;
  for (int i = 0; i < 8; ++i) {
    rigs.push_back(std::make_unique<SerialRig>(20, static_cast<int>(state.range(0))));
    auto b = rigs.back()->open();
    if (!b) {
      state.SkipWithError(b.message().c_str());
      return;
    }
    buses.push_back(std::move(b).value());
  }
  // Side by side: the slowest bus bounds the round.
  round_of(state, buses, [] {}, [&] {
    double slowest = 0;
    for (std::size_t i = 0; i < rigs.size(); ++i)
      slowest = std::max(slowest, rigs[i]->slowest_conversion() + read_pass_busy(*rigs[i], buses[i]));
    return slowest;
  });
}

BENCHMARK(BM_RoundDs2482Channels)->ArgName("hz")->Arg(400'000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RoundDs2480bAdapters)->ArgName("latency_ms")->Arg(0)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Rounds of one measurement each on a bus searched before, every one of
// its `sensors` read; the limit of each is the slowest sensor's
// conversion and the adapter's time for the reads.
void measure_rounds(benchmark::State& state, Rig& rig, qvds::Bus& bus, std::size_t sensors) {
  double elapsed = 0;
  double limit = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto m = bus.measure();
    const auto stop = std::chrono::steady_clock::now();
    if (!m || m->read_count() != sensors) {
      state.SkipWithError("not every sensor was read");
      return;
    }
    const double e = Seconds(stop - start).count();
    elapsed += e;
    limit += rig.slowest_conversion() + read_pass_busy(rig, bus);
    state.SetIterationTime(e);
  }
  report(state, elapsed, limit);
}

// The steady state of `watch`: the bus stays open and searched; each
// round is one measurement. Before the engine, the component's round of
// these ten sensors took 0.92, 0.99 and 1.31 s at 0, 1 and 16 ms.
void BM_WatchRound(benchmark::State& state) {
  SerialRig rig(10, static_cast<int>(state.range(0)));
  auto bus = rig.open();
  if (!bus || !bus->search()) {
    state.SkipWithError("the bus did not open");
    return;
  }
  measure_rounds(state, rig, *bus, 10);
}

BENCHMARK(BM_WatchRound)->ArgName("latency_ms")->Arg(0)->Arg(1)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

// A round of 20 genuine DS18B20 at a resolution set beforehand in their
// scratchpads: the engine waits for that resolution's conversion (93.75
// to 750 ms, or the completion it polls), so a lower one is visibly
// faster. The limit is the slowest sensor's conversion at that
// resolution plus the adapter's busy time for the reads.
void resolution_round(benchmark::State& state, Rig& rig, int bits) {
  for (int i = 0; i < 20; ++i)
    rig.bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 0x5000 + static_cast<std::uint64_t>(i)),
                                                         bench::sensor_celsius(i)));
  auto bus = rig.open();
  if (!bus || !bus->search()) {
    state.SkipWithError("the bus did not open");
    return;
  }
  qvds::SettingsChange change;
  change.resolution = bits;
  for (const auto& d : bus->devices())
    if (!bus->change_settings(d.rom, change)) {
      state.SkipWithError("a sensor did not take the resolution");
      return;
    }
  measure_rounds(state, rig, *bus, 20);
}

void BM_ResolutionRoundDs2480b(benchmark::State& state) {
  SerialRig rig(0, static_cast<int>(state.range(0)));
  resolution_round(state, rig, static_cast<int>(state.range(1)));
}

void BM_ResolutionRoundDs2482(benchmark::State& state) {
  I2cRig rig(0, 400'000);
  resolution_round(state, rig, static_cast<int>(state.range(0)));
}

BENCHMARK(BM_ResolutionRoundDs2480b)
    ->ArgNames({"latency_ms", "bits"})
    ->Args({0, 9})
    ->Args({0, 12})
    ->Args({16, 9})
    ->Args({16, 12})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ResolutionRoundDs2482)->ArgName("bits")->Arg(9)->Arg(12)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
