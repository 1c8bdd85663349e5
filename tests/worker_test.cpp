// The worker against a small fake of its host (TWorkerHost) on the
// simulated bus: what it records through the interface, in which order and
// on which thread, and how each failure is handed back.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/errors.hpp"
#include "support/adapter_support.hpp"
#include "support/fake_host.hpp"
#include "support/sim_fixture.hpp"

using onewire::Op;
using testing_support::FakeHost;
using testing_support::rom_text;
using testing_support::run_worker;

namespace {

using Calls = std::vector<std::string>;

std::vector<onewire::Rom> search_order(std::vector<onewire::Rom> roms) {
  std::sort(roms.begin(), roms.end(), testing_support::bus_order_less);
  return roms;
}

// Calls that start with `prefix`, in order.
Calls calls_starting(const FakeHost& host, const std::string& prefix) {
  Calls out;
  for (const auto& c : host.calls())
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  return out;
}

// Skips every wait like SkipClock, and notes each wait in the host's call
// log so that its place among the calls shows.
class NotingClock final : public rtl::Clock {
 public:
  explicit NotingClock(FakeHost& host) : host_(host) {}
  rtl::TimePoint now() override { return skip_.now(); }
  void sleep_for(rtl::Duration d) override {
    host_.note("Sleep " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()));
    skip_.sleep_for(d);
  }

 private:
  FakeHost& host_;
  rtl::SkipClock skip_;
};

// Every case runs twice: with the driver's block exchange (what our
// drivers offer) and without it (the vendor's driver), where the worker
// reads byte by byte; nothing the host sees may differ.
class WorkerTest : public testing_support::SimFixture, public ::testing::WithParamInterface<bool> {
 protected:
  WorkerTest() { driver->offer_block_exchange(GetParam()); }
  std::int32_t open_session() {
    const std::int32_t h = driver->TMExtendedStartSession(1, 1, nullptr);
    EXPECT_GT(h, 0);
    return h;
  }
};

}  // namespace

TEST_P(WorkerTest, EnumerationRecordsEachDeviceThroughTheHostInSearchOrder) {
  std::vector<onewire::Rom> roms;
  roms.push_back(add_thermometer(0x28, 0x0416913C6BFF, 20)->rom());
  roms.push_back(add_thermometer(0x10, 0x42, 20)->rom());
  roms.push_back(add_rom_device(0x01, 0x77));
  roms.push_back(add_rom_device(0x22, 0x78));
  const auto order = search_order(roms);
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, getDScnt));

  Calls expected = {"SetBusy", "SetSensorCount 0", "SetSensorOverflow false", "ClearSensors"};
  int i = 0;
  for (const auto& rom : order) {
    const char* name = rom[0] == 0x28 ? "DS18B20" : rom[0] == 0x10 ? "DS18s20" : rom[0] == 0x01 ? "DS2401" : "DS18S20";
    expected.push_back("AddFoundSensor " + rom_text(rom) + " " + name);
    expected.push_back("SetSensorCount " + std::to_string(++i));
  }
  expected.push_back("Notify " + std::to_string(WM_QV_SENSOR_COUNT));
  expected.push_back("HandBack " + std::to_string(h));
  EXPECT_EQ(host.calls(), expected);
  EXPECT_EQ(host.calls_on(true), Calls{"SetBusy"});
  for (std::size_t k = 0; k < order.size(); ++k)
    for (std::size_t b = 0; b < 8; ++b) EXPECT_EQ(host.slots[k][b], order[k][b]) << k;
  // The example device of the documentation, as the tool prints it.
  EXPECT_NE(std::find(host.romstrs.begin(), host.romstrs.end(), "D70416913C6BFF28"), host.romstrs.end());
}

TEST_P(WorkerTest, EnumerationFailuresCarryTheDriversCode) {
  for (int i = 0; i < 4; ++i) add_thermometer(0x28, 100 + static_cast<std::uint64_t>(i), 20);
  struct Case {
    const char* what;
    Op op;
    int nth;
    std::int16_t code;
    int recorded;
    Calls errors;
    Calls notes;
  };
  const std::string error = "Notify " + std::to_string(WM_QV_WORKER_ERROR);
  const std::string count = "Notify " + std::to_string(WM_QV_SENSOR_COUNT);
  const Case cases[] = {
      {"first search", Op::kFirst, 1, -3, 0, {"SetError Thread TMFirst error: -3 | -3"}, {error}},
      {"first ROM", Op::kRom, 1, -6, 0, {"SetError Thread TMRom error: -6 | -6"}, {error}},
      {"third ROM", Op::kRom, 3, -6, 2, {"SetError Thread TMRom error: -6 | -6"}, {error, count}},
      // A failing TMNext ends the walk like a completed search.
      {"next part-way", Op::kNext, 2, -3, 2, {}, {count}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::int32_t h = open_session();
    FakeHost host;
    driver->fail(k.op, k.nth, k.code);
    ASSERT_TRUE(run_worker(host, h, getDScnt));
    EXPECT_EQ(host.sensor_count, k.recorded);
    EXPECT_EQ(host.romstrs.size(), static_cast<std::size_t>(k.recorded));
    EXPECT_EQ(calls_starting(host, "SetError"), k.errors);
    EXPECT_EQ(calls_starting(host, "Notify"), k.notes);
    EXPECT_EQ(host.calls().back(), "HandBack " + std::to_string(h));
    driver->clear_faults();
    driver->TMEndSession(h);
  }

  // An empty bus: the search's own 0 goes with the text.
  for (const auto& d : bus->devices()) bus->remove(d->rom());
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, getDScnt));
  EXPECT_EQ(calls_starting(host, "SetError"), Calls{"SetError Thread TMFirst error: 0 | 0"});
  EXPECT_EQ(host.sensor_count, 0);
}

TEST_P(WorkerTest, TwentySecondDeviceEndsTheWalkAsComplete) {
  std::vector<onewire::Rom> roms;
  for (int i = 0; i < 22; ++i)
    roms.push_back(add_thermometer(0x28, 0x1000 + static_cast<std::uint64_t>(i) * 7, 20)->rom());
  const auto order = search_order(roms);
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, getDScnt));
  EXPECT_EQ(host.sensor_count, kMaxSensors);
  ASSERT_EQ(host.romstrs.size(), static_cast<std::size_t>(kMaxSensors));
  EXPECT_EQ(host.romstrs.back(), rom_text(order[20]));
  EXPECT_TRUE(host.overflow);
  const Calls calls = host.calls();
  const Calls tail(calls.end() - 4, calls.end());
  EXPECT_EQ(tail, (Calls{"SetSensorCount 21", "SetSensorOverflow true", "Notify " + std::to_string(WM_QV_SENSOR_COUNT),
                         "HandBack " + std::to_string(h)}));

  // Exactly as many devices as slots is no overflow.
  bus->remove(order[21]);
  FakeHost again;
  ASSERT_TRUE(run_worker(again, h, getDScnt));
  EXPECT_EQ(again.sensor_count, kMaxSensors);
  EXPECT_FALSE(again.overflow);
  EXPECT_TRUE(calls_starting(again, "SetSensorOverflow true").empty());
}

TEST_P(WorkerTest, ConversionCommandChecksBothEchoes) {
  auto dev = add_thermometer(0x28, 1, 20);
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, setMeasure));
  EXPECT_EQ(host.calls(), (Calls{"SetBusy", "HandBack " + std::to_string(h)}));
  EXPECT_EQ(dev->conversions(), 1);

  // Echoes changed on the line (the device still got the byte) or calls
  // that failed outright.
  struct Case {
    const char* what;
    int nth;
    std::uint8_t mask;   // XORed into the byte read back, or
    std::int16_t code;   // the call's answer when mask is 0
    const char* error;
  };
  const Case cases[] = {
      {"SKIP ROM reads 0", 1, 0xCC, 0, "SetError Thread TMTouchByte (SKIP ROM) error: 0 | 0"},
      {"SKIP ROM reads 255", 1, 0x33, 0, "SetError Thread TMTouchByte (SKIP ROM) error: 255 | 255"},
      {"CONVERT T fails", 2, 0, -4, "SetError Thread TMTouchByte (CONVERT T) error: -4 | -4"},
      {"CONVERT T reads 255", 2, 0xBB, 0, "SetError Thread TMTouchByte (CONVERT T) error: 255 | 255"},
      {"CONVERT T reads 0", 2, 0x44, 0, nullptr},  // a sound echo after CONVERT T
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    FakeHost failing;
    if (k.mask != 0) {
      driver->corrupt_byte(k.nth, k.mask);
    } else {
      driver->fail(Op::kTouchByte, k.nth, k.code);
    }
    ASSERT_TRUE(run_worker(failing, h, setMeasure));
    if (k.error != nullptr) {
      EXPECT_EQ(calls_starting(failing, "SetError"), Calls{k.error});
      EXPECT_EQ(calls_starting(failing, "Notify"), Calls{"Notify " + std::to_string(WM_QV_WORKER_ERROR)});
    } else {
      EXPECT_EQ(failing.calls().size(), 2u);
    }
    driver->clear_faults();
  }
  EXPECT_EQ(dev->conversions(), 3) << "CONVERT T goes out only after a sound SKIP ROM echo";
}

TEST_P(WorkerTest, MeasurementWaitsBetweenCommandAndReadAndStoresByIndex) {
  auto a = add_thermometer(0x28, 1, 21.5);
  auto b = add_thermometer(0x28, 2, -10.125);
  auto s = add_thermometer(0x10, 3, 23.75);
  add_rom_device(0x01, 4);
  a->set_resolution(9);
  b->set_resolution(10);
  const std::int32_t h = open_session();
  FakeHost host;
  NotingClock clock(host);
  rtl::ClockGuard guard(clock);
  ASSERT_TRUE(run_worker(host, h, getTemp));

  // With no sensor known the measurement enumerates first.
  EXPECT_EQ(calls_starting(host, "Notify"),
            (Calls{"Notify " + std::to_string(WM_QV_SENSOR_COUNT), "Notify " + std::to_string(WM_QV_TEMPERATURES)}));
  const Calls calls = host.calls();
  const auto at = [&](const std::string& c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
  const auto wait = at("Sleep " + std::to_string(kConversionWaitMs));
  EXPECT_LT(at("StartCommand"), wait);
  EXPECT_EQ(at("StartRead"), wait + 1);
  EXPECT_EQ(host.calls_on(true), (Calls{"SetBusy", "StartCommand", "StartRead"}));
  EXPECT_EQ(calls.back(), "HandBack " + std::to_string(h));

  std::map<std::string, std::string> temps;
  for (std::size_t i = 0; i < host.romstrs.size(); ++i) temps[host.romstrs[i]] = host.temps[i];
  EXPECT_EQ(temps[rom_text(a->rom())], "21.5");
  // Converted at 10 bits before the measurement set 12: -10.25.
  EXPECT_EQ(temps[rom_text(b->rom())], "-10.2");
  EXPECT_EQ(temps[rom_text(s->rom())], "23.7");  // extended resolution: 23.75
  EXPECT_EQ(calls_starting(host, "StoreTemperature").size(), 3u) << "the DS2401 is no thermometer";
  EXPECT_EQ(a->scratchpad(clock.now())[4], 0x7F) << "each DS18B20 is set to 12 bits";

  // A second run knows the sensors and converts at 12 bits.
  FakeHost known;
  known.slots = host.slots;
  known.state = host.state;
  known.sensor_count = host.sensor_count;
  known.romstrs = host.romstrs;
  known.temps = host.temps;
  ASSERT_TRUE(run_worker(known, h, getTemp));
  EXPECT_TRUE(calls_starting(known, "ClearSensors").empty());
  for (std::size_t i = 0; i < known.romstrs.size(); ++i) {
    if (known.romstrs[i] == rom_text(b->rom())) {
      EXPECT_EQ(known.temps[i], "-10.1");
    }
  }
}

TEST_P(WorkerTest, MeasurementThatReadsNoSensorFailsAndMarksTheSessionLost) {
  const std::string failure = "SetError POMIAR T error: # | " + std::to_string(kErrNoSensorRead);
  const Calls tail_expected = {failure, "Notify " + std::to_string(WM_QV_WORKER_ERROR), "MarkSessionLost"};
  const auto tail = [](const FakeHost& host) {
    const Calls c = host.calls();
    return Calls(c.end() - 4, c.end() - 1);
  };

  // Only a DS2401 on the bus.
  add_rom_device(0x01, 9);
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, getTemp));
  EXPECT_EQ(tail(host), tail_expected);
  EXPECT_EQ(host.calls().back(), "HandBack " + std::to_string(h));

  // A thermometer whose every read fails its check: all zeros (a held-down
  // line, which passes the CRC) and all ones (a device gone).
  auto t = add_thermometer(0x28, 1, 20.0);
  for (auto pad : {testing_support::Scratchpad{}, testing_support::Scratchpad{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                                              0xFF, 0xFF}}) {
    t->set_scratchpad_override(pad);
    FakeHost bad;
    ASSERT_TRUE(run_worker(bad, h, getTemp));
    EXPECT_EQ(tail(bad), tail_expected);
    EXPECT_TRUE(calls_starting(bad, "StoreTemperature").empty());
  }
  t->set_scratchpad_override(std::nullopt);

  // A read that the list no longer has an entry for stores nothing.
  FakeHost emptied;
  ASSERT_TRUE(run_worker(emptied, h, getDScnt));
  emptied.temps.clear();
  ASSERT_TRUE(run_worker(emptied, h, getTemp));
  EXPECT_EQ(tail(emptied), tail_expected);
}

TEST_P(WorkerTest, OneDamagedReadLeavesTheOtherSensors) {
  auto a = add_thermometer(0x28, 1, 40.0);
  add_thermometer(0x28, 2, 41.0);
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, getDScnt));
  ASSERT_EQ(host.romstrs.size(), 2u);
  // One bit flipped on the line in the first sensor's temperature byte.
  // Bytes read back by TMTouchByte: SKIP ROM and CONVERT T, then for the
  // first sensor the three-byte write (4 with its command), READ
  // SCRATCHPAD, byte 0.
  driver->corrupt_byte(2 + 4 + 1 + 1, 0x04);
  ASSERT_TRUE(run_worker(host, h, getTemp));
  const std::string second = host.romstrs[1] == rom_text(a->rom()) ? "40.0" : "41.0";
  if (GetParam()) {
    // With the block exchange a spoilt scratchpad is read again, without a
    // new conversion, and the second read is sound.
    EXPECT_EQ(calls_starting(host, "StoreTemperature").size(), 2u);
    EXPECT_EQ(host.outcomes[0].status, rsRead);
  } else {
    EXPECT_EQ(calls_starting(host, "StoreTemperature"), Calls{"StoreTemperature 1 " + second});
    EXPECT_EQ(host.outcomes[0].status, rsCrcError);
  }
  EXPECT_EQ(calls_starting(host, "Notify").back(), "Notify " + std::to_string(WM_QV_TEMPERATURES));
  EXPECT_TRUE(calls_starting(host, "SetError").empty());
}

TEST_P(WorkerTest, EmptyBusMeasurementReportsTheCountFromTheWorker) {
  const std::int32_t h = open_session();
  FakeHost host;
  ASSERT_TRUE(run_worker(host, h, getTemp));
  EXPECT_EQ(host.error_text, "Thread TMFirst error: 0");
  const Calls off_main = host.calls_on(false);
  EXPECT_NE(std::find(off_main.begin(), off_main.end(), "SensorCountFromWorker"), off_main.end());
  EXPECT_EQ(host.calls_on(true), Calls{"SetBusy"}) << "no conversion, no read";
}

TEST_P(WorkerTest, LostSessionIsReopenedThroughTheHost) {
  add_thermometer(0x28, 1, 20.0);
  const std::int32_t old = open_session();
  driver->TMEndSession(old);
  const std::int32_t fresh = open_session();
  FakeHost host;
  host.reopen_handle = fresh;
  ASSERT_TRUE(run_worker(host, old, getTemp));
  EXPECT_EQ(calls_starting(host, "ReopenSession").size(), 1u);
  EXPECT_TRUE(calls_starting(host, "SetError").empty());
  ASSERT_EQ(host.temps.size(), 1u);
  EXPECT_EQ(host.temps[0], "20.0");
  EXPECT_EQ(host.calls().back(), "HandBack " + std::to_string(fresh));
}

TEST_P(WorkerTest, SessionThatCannotBeReopenedIsHandedBackAfterEveryFailure) {
  add_thermometer(0x28, 1, 20.0);
  const std::int32_t old = open_session();
  driver->TMEndSession(old);
  FakeHost host;
  host.error_code = onewire::kErrPortUnavailable;  // what the failed open left
  ASSERT_TRUE(run_worker(host, old, getDScnt));
  // Checks in Execute, in the enumeration and in its conversion command
  // each try to reopen; then SKIP ROM and TMFirst fail on the dead handle.
  const std::string dead = std::to_string(onewire::kErrSessionInvalid);
  const std::string open_failed = "SetError Thread TMEXOpenSession error:  | " + std::to_string(onewire::kErrPortUnavailable);
  EXPECT_EQ(calls_starting(host, "ReopenSession").size(), 3u);
  EXPECT_EQ(calls_starting(host, "SetError"),
            (Calls{open_failed, open_failed, open_failed, "SetError Thread TMTouchByte (SKIP ROM) error: " + dead + " | " + dead,
                   "SetError Thread TMFirst error: " + dead + " | " + dead}));
  EXPECT_EQ(calls_starting(host, "Notify").size(), 5u);
  EXPECT_EQ(host.calls().back(), "HandBack " + std::to_string(old));
}

INSTANTIATE_TEST_SUITE_P(Paths, WorkerTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "BlockExchange" : "Bytewise");
});
