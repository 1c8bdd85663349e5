// Helpers shared by the adapter suites: a simulated bus with sensors, and
// the driver-level walk a measurement makes (search every ROM, select each
// sensor, read its scratchpad), which every adapter's suite runs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/tmex_driver.hpp"
#include "onewire/crc.hpp"
#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "support/sim_bus_builder.hpp"

namespace testing_support {

using Scratchpad = std::array<std::uint8_t, 9>;

// AN187 order: the first differing bit in bus order (byte 0 LSB first)
// decides, and the ROM with the 0 there comes first.
inline bool bus_order_less(const onewire::Rom& a, const onewire::Rom& b) {
  for (int i = 0; i < 64; ++i) {
    const int x = (a[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1;
    const int y = (b[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1;
    if (x != y) return x < y;
  }
  return false;
}

// The ROM as the component shows it (romstr): 16 hexadecimal digits, the
// CRC byte first and the family last.
inline std::string rom_text(const onewire::Rom& r) {
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int k = 7; k >= 0; --k) {
    s += hex[r[static_cast<std::size_t>(k)] >> 4];
    s += hex[r[static_cast<std::size_t>(k)] & 0xF];
  }
  return s;
}

// Every ROM a link's search passes walk, in the order found.
inline std::vector<onewire::Rom> search_all(onewire::Link& link, bool alarm_only = false) {
  std::vector<onewire::Rom> found;
  onewire::SearchPass pass;
  pass.alarm_only = alarm_only;
  for (;;) {
    const int r = link.search(pass);
    if (r != 1) {
      EXPECT_EQ(r, 0);
      break;
    }
    EXPECT_EQ(onewire::crc8(pass.rom.data(), 8), 0);
    found.push_back(pass.rom);
    if (pass.last_zero == 0 || found.size() > 64) break;
    pass.last_discrepancy = pass.last_zero;
  }
  return found;
}

// Temperature in degrees from a scratchpad, as the family reports it.
inline double scratchpad_celsius(std::uint8_t family, const Scratchpad& pad) {
  const auto raw = static_cast<std::int16_t>(pad[0] | (pad[1] << 8));
  if (family == 0x10) {
    // DS18S20 extended resolution from COUNT_REMAIN and COUNT_PER_C.
    return std::floor(raw / 2.0) - 0.25 + (pad[7] - pad[6]) / static_cast<double>(pad[7]);
  }
  return raw / 16.0;
}

// A bus of thermometers with distinct temperatures; families alternate
// between DS18B20 and DS18S20 and serials share long prefixes, so that
// searches have deep discrepancies to walk.
struct SensorBus {
  explicit SensorBus(int count, std::uint64_t serial_base = 0x00A1B2C3D400) {
    SimBusBuilder builder(bus);
    for (int i = 0; i < count; ++i)
      builder.add_sensor((i % 3 == 2) ? 0x10 : 0x28, serial_base + static_cast<std::uint64_t>(i) * 0x11, -10.0 + 7.25 * i);
    sensors = builder.sensors();
  }
  std::vector<onewire::Rom> sorted_roms() const {
    std::vector<onewire::Rom> roms;
    for (const auto& s : sensors) roms.push_back(s->rom());
    std::sort(roms.begin(), roms.end(), bus_order_less);
    return roms;
  }
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
  std::vector<std::shared_ptr<onewire::sim::Ds18x20>> sensors;
};

// The driver operations a measurement uses, on one session.
struct DriverWalk {
  onewire::TmexDriver& driver;
  std::int32_t session;
  std::vector<std::uint8_t> state = std::vector<std::uint8_t>(onewire::kStateBufferSize);

  // Every ROM TMFirst/TMNext find. `end` receives the answer that ended
  // the walk: 0 when the search completed, a negative code on an error.
  std::vector<onewire::Rom> roms(int* end = nullptr) {
    std::vector<onewire::Rom> out;
    int r = driver.TMFirst(session, state.data());
    while (r == 1 && out.size() <= 64) {
      std::array<std::uint16_t, 8> words{};
      if (const int got = driver.TMRom(session, state.data(), words.data()); got != 1) {
        r = got;
        break;
      }
      onewire::Rom rom{};
      for (std::size_t i = 0; i < 8; ++i) rom[i] = static_cast<std::uint8_t>(words[i]);
      out.push_back(rom);
      r = driver.TMNext(session, state.data());
    }
    if (end != nullptr) *end = r;
    return out;
  }

  // Selects `rom` and runs a function command with TMTouchByte; returns
  // the bytes read after it (`n` reads), or fewer on an error (kept in
  // `error`).
  std::vector<std::uint8_t> command(const onewire::Rom& rom, std::uint8_t cmd, std::size_t n, int* error = nullptr) {
    std::vector<std::uint8_t> out;
    std::array<std::uint16_t, 8> words{};
    for (std::size_t i = 0; i < 8; ++i) words[i] = rom[i];
    int r = driver.TMRom(session, state.data(), words.data());
    if (r == 1) r = driver.TMAccess(session, state.data());
    if (r == 1) r = driver.TMTouchByte(session, cmd) == cmd ? 1 : -1000;
    for (std::size_t i = 0; r == 1 && i < n; ++i) {
      const int b = driver.TMTouchByte(session, 0xFF);
      if (b < 0) {
        r = b;
        break;
      }
      out.push_back(static_cast<std::uint8_t>(b));
    }
    if (error != nullptr) *error = r == 1 ? 0 : r;
    return out;
  }

  // CONVERT T on every sensor (SKIP ROM).
  int convert_all() {
    const int r = driver.TMTouchReset(session);
    if (r != onewire::kResetPresence) return r < 0 ? r : -1000;
    if (driver.TMTouchByte(session, 0xCC) != 0xCC) return -1001;
    if (driver.TMTouchByte(session, 0x44) != 0x44) return -1002;
    return 1;
  }
};

// The scratchpad of `rom` read with a function command, whole and with a
// good CRC, then the same read as one block exchange on the ROM the
// command selected, which must give the same bytes.
inline void expect_scratchpad_by_command_and_block(DriverWalk& walk, const onewire::Rom& rom) {
  int error = 1;
  const auto pad = walk.command(rom, 0xBE, 9, &error);
  EXPECT_EQ(error, 0);
  ASSERT_EQ(pad.size(), 9u);
  EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
  std::array<std::uint8_t, 10> block{0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(walk.driver.QvBlockExchange(walk.session, walk.state.data(), onewire::kBlockSelect, block.data(), 10), 1);
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 1, block.end()), pad);
}

// The measurement every adapter must carry through the driver, on a bus of
// SensorBus sensors: the search finds each sensor once, in bus order, and
// ends cleanly; one CONVERT T reaches them all; and every scratchpad comes
// back whole, with a good CRC and the temperature its sensor was set to.
// `let_convert` lets the conversion time pass on the test's clock. Ends the
// session.
inline void expect_measurement_of_every_sensor(onewire::TmexDriver& driver, std::int32_t session,
                                               const SensorBus& sensors, const std::function<void()>& let_convert) {
  DriverWalk walk{driver, session};
  int end = 1;
  ASSERT_EQ(walk.roms(&end), sensors.sorted_roms());
  EXPECT_EQ(end, 0);
  ASSERT_EQ(walk.convert_all(), 1);
  let_convert();
  for (const auto& s : sensors.sensors) {
    int error = 1;
    const auto bytes = walk.command(s->rom(), 0xBE, 9, &error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(bytes.size(), 9u);
    EXPECT_EQ(onewire::crc8(bytes.data(), 9), 0);
    Scratchpad pad{};
    std::copy(bytes.begin(), bytes.end(), pad.begin());
    EXPECT_DOUBLE_EQ(scratchpad_celsius(s->rom()[0], pad), s->temperature());
  }
  EXPECT_EQ(driver.TMEndSession(session), 1);
}

}  // namespace testing_support
