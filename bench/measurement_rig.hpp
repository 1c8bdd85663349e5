// What the adapter benchmarks share: the ten sensors they read, the
// measurement the component makes (through the driver operations alone),
// and the timing of it against what the adapter's model says it takes.
//
// A measurement is: the search for every ROM (TMFirst/TMNext/TMRom), one
// CONVERT T for the whole bus, and for every sensor TMAccess, READ
// SCRATCHPAD and nine bytes. The 750 ms conversion wait is skipped: it is
// the application's wait, not the adapter's.
#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "onewire/commands.hpp"
#include "onewire/crc.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/tmex_driver.hpp"
#include "rtl/clock.hpp"

namespace bench {

// Sensor i of the bus: every fourth a DS18S20, the rest DS18B20.
inline onewire::Rom sensor_rom(int i) {
  const std::uint8_t family = i % 4 == 3 ? 0x10 : 0x28;
  return onewire::sim::make_rom(family, 0x3000 + static_cast<std::uint64_t>(i) * 0x2468);
}
inline double sensor_celsius(int i) { return 18.0 + i * 0.75; }

inline void add_sensors(onewire::sim::SimBus& bus, int sensors) {
  for (int i = 0; i < sensors; ++i) bus.add(std::make_shared<onewire::sim::Ds18x20>(sensor_rom(i), sensor_celsius(i)));
}

// One measurement on `session`; false when anything failed. The conversion
// wait goes to `sensor_time`, the clock the sensors read.
inline bool measure(onewire::TmexDriver& driver, std::int32_t session, int sensors,
                    rtl::Clock& sensor_time = rtl::GetClock()) {
  std::vector<std::uint8_t> state(onewire::kStateBufferSize);
  std::vector<std::array<std::uint16_t, 8>> roms;
  for (int r = driver.TMFirst(session, state.data()); r == 1; r = driver.TMNext(session, state.data())) {
    std::array<std::uint16_t, 8> rom{};
    if (driver.TMRom(session, state.data(), rom.data()) != 1) return false;
    roms.push_back(rom);
  }
  if (static_cast<int>(roms.size()) != sensors) return false;
  if (driver.TMTouchReset(session) != 1 || driver.TMTouchByte(session, onewire::kSkipRom) != onewire::kSkipRom ||
      driver.TMTouchByte(session, onewire::kConvertT) != onewire::kConvertT)
    return false;
  sensor_time.sleep_for(std::chrono::milliseconds(750));
  for (auto& rom : roms) {
    if (driver.TMRom(session, state.data(), rom.data()) != 1 || driver.TMAccess(session, state.data()) != 1 ||
        driver.TMTouchByte(session, onewire::kReadScratchpad) != onewire::kReadScratchpad)
      return false;
    std::array<std::uint8_t, 9> pad{};
    for (auto& b : pad) {
      const int v = driver.TMTouchByte(session, 0xFF);
      if (v < 0) return false;
      b = static_cast<std::uint8_t>(v);
    }
    if (onewire::crc8(pad.data(), pad.size()) != 0) return false;
  }
  return true;
}

// Times every iteration's measurement: `before()` runs before each and
// `after(e)` after it, with its real time e in seconds. False (the state
// skipped with an error) when the session did not open (`session` not
// above 0) or a measurement failed.
template <typename Before, typename After>
bool time_each_measurement(benchmark::State& state, onewire::TmexDriver& driver, std::int32_t session, int sensors,
                           Before before, After after, rtl::Clock& sensor_time = rtl::GetClock()) {
  if (session <= 0) {
    state.SkipWithError("the adapter could not be opened");
    return false;
  }
  for (auto _ : state) {
    before();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = measure(driver, session, sensors, sensor_time);
    const auto stop = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError("the measurement failed");
      return false;
    }
    const double e = std::chrono::duration<double>(stop - start).count();
    after(e);
    state.SetIterationTime(e);
  }
  return true;
}

// Times every iteration's measurement. `reset_stats()` runs before each,
// `stats()` after it gives the adapter model's time for it and a count of
// its exchanges; the counters are per measurement: elapsed_ms (real
// time), model_ms, `count_name` and ratio = elapsed / model.
template <typename ResetStats, typename Stats>
void time_measurements(benchmark::State& state, onewire::TmexDriver& driver, std::int32_t session, int sensors,
                       ResetStats reset_stats, Stats stats, const char* count_name) {
  double elapsed = 0;
  double model = 0;
  double count = 0;
  const bool ok = time_each_measurement(state, driver, session, sensors, reset_stats, [&](double e) {
    const std::pair<rtl::Duration, double> s = stats();
    elapsed += e;
    model += std::chrono::duration<double>(s.first).count();
    count += s.second;
  });
  if (!ok) return;
  const double n = static_cast<double>(state.iterations());
  state.counters["elapsed_ms"] = elapsed / n * 1e3;
  state.counters["model_ms"] = model / n * 1e3;
  state.counters[count_name] = count / n;
  state.counters["ratio"] = elapsed / model;
}

}  // namespace bench
