// Enumeration, conversion and measurement on a worker thread, end to end on
// the simulated bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/errors.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"
#include "support/testable_qv.hpp"
#include "support/sim_fixture.hpp"

using onewire::Op;
using testing_support::PumpUntil;
using testing_support::TestableQv;

namespace {


// Every event with the thread it ran on.
struct Recorder {
  struct Event {
    std::string name;
    bool on_main;
  };
  std::vector<Event> events;
  std::mutex mu;
  std::thread::id main = std::this_thread::get_id();

  void Add(const char* name) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back({name, std::this_thread::get_id() == main});
  }
  void Attach(TQvDs18x20& c) {
    c.OnSessionError([this](TObject*) { Add("SessionError"); });
    c.OnSessionActive([this](TObject*) { Add("SessionActive"); });
    c.OnSessionClose([this](TObject*) { Add("SessionClose"); });
    c.OnGetSensorCount([this](TObject*) { Add("GetSensorCount"); });
    c.OnGetTemp([this](TObject*) { Add("GetTemp"); });
    c.OnStartCommand([this](TObject*) { Add("StartCommand"); });
    c.OnStartRead([this](TObject*) { Add("StartRead"); });
  }
  std::vector<std::string> Names() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> out;
    for (auto& e : events) out.push_back(e.name);
    return out;
  }
  int Count(const std::string& name, bool on_main) {
    std::lock_guard<std::mutex> lock(mu);
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
      return e.name == name && e.on_main == on_main;
    }));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu);
    events.clear();
  }
};

// Runs one operation and serves the main thread until the worker has ended
// (its messages are queued before its termination handler, so they have
// all been handled by then).
void RunOp(TQvDs18x20& c, void (TQvDs18x20::*starter)()) {
  (c.*starter)();
  ASSERT_TRUE(PumpUntil([] { return ActiveWorker == nullptr; }));
  ProcessMessages();
  EXPECT_FALSE(c.Busy());
}

// ROMs in the order the search walks them: bit 0 of byte 0 is the most
// significant key.
std::vector<onewire::Rom> SearchOrder(std::vector<onewire::Rom> roms) {
  std::sort(roms.begin(), roms.end(), testing_support::bus_order_less);
  return roms;
}

std::string RomText(const onewire::Rom& r) {
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int k = 7; k >= 0; --k) {
    s += hex[r[static_cast<std::size_t>(k)] >> 4];
    s += hex[r[static_cast<std::size_t>(k)] & 0xF];
  }
  return s;
}

// Every case runs twice: with the driver's block exchange (what our
// drivers offer) and without it (the vendor's driver), where the worker
// reads byte by byte; nothing observable may differ.
class WorkerTest : public testing_support::SimFixture, public ::testing::WithParamInterface<bool> {
 protected:
  WorkerTest() { driver->offer_block_exchange(GetParam()); }
  void TearDown() override { ASSERT_TRUE(PumpUntil([] { return ActiveWorker == nullptr; })); }
  bool blocks() const { return GetParam(); }
};

}  // namespace

TEST_P(WorkerTest, EnumerationRecordsEveryDeviceInSearchOrder) {
  std::vector<onewire::Rom> roms;
  roms.push_back(AddThermometer(0x28, 0x0416913C6BFF, 20)->rom());
  roms.push_back(AddThermometer(0x10, 0x42, 20)->rom());
  roms.push_back(AddRomDevice(0x01, 0x77));
  roms.push_back(AddRomDevice(0x22, 0x78));
  TestableQv c(nullptr);
  Recorder rec;
  rec.Attach(c);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Clear();
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);

  EXPECT_EQ(rec.Names(), std::vector<std::string>{"GetSensorCount"});
  EXPECT_EQ(rec.Count("GetSensorCount", true), 1);
  ASSERT_EQ(c.FSensorCount.load(), 4);
  ASSERT_EQ(c.SensorListCount(), 4);
  const auto order = SearchOrder(roms);
  for (int i = 0; i < 4; ++i) {
    const TSensor* s = c.getsensor(i);
    const auto& rom = order[static_cast<std::size_t>(i)];
    EXPECT_EQ(s->romstr, RomText(rom));
    EXPECT_TRUE(std::equal(rom.begin(), rom.end(), s->rom.begin()));
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(c.FSlot[static_cast<std::size_t>(i)][k], rom[k]);
    const char* name = rom[0] == 0x28 ? "DS18B20" : rom[0] == 0x10 ? "DS18s20" : rom[0] == 0x01 ? "DS2401" : "DS18S20";
    EXPECT_EQ(s->name, name);
    EXPECT_EQ(s->temp, "");
  }
  EXPECT_FALSE(c.FSensorOverflow);
  EXPECT_EQ(c.TMEXerror.str(), "");
}

TEST_P(WorkerTest, RomTextOfTheExampleDevice) {
  bus->add(onewire::sim::make_rom_device({0x28, 0xFF, 0x6B, 0x3C, 0x91, 0x16, 0x04, 0xD7}));
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  ASSERT_EQ(c.FSensorCount.load(), 1);
  EXPECT_EQ(c.getsensor(0)->romstr, "D70416913C6BFF28");
  EXPECT_EQ(c.getsensor(0)->name, "DS18B20");
  const std::array<std::uint16_t, 8> words = {0x28, 0xFF, 0x6B, 0x3C, 0x91, 0x16, 0x04, 0xD7};
  EXPECT_EQ(c.FSlot[0], words);
}

TEST_P(WorkerTest, EnumerationFailures) {
  for (int i = 0; i < 4; ++i) AddThermometer(0x28, 100 + static_cast<std::uint64_t>(i), 20);
  struct Case {
    const char* what;
    Op op;
    int nth;
    std::int16_t code;
    int recorded;
    std::string error;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"first search", Op::kFirst, 1, -3, 0, "Thread TMFirst error: -3", {"SessionError"}},
      {"first ROM", Op::kRom, 1, -6, 0, "Thread TMRom error: -6", {"SessionError"}},
      {"third ROM", Op::kRom, 3, -6, 2, "Thread TMRom error: -6", {"SessionError", "GetSensorCount"}},
      {"next part-way", Op::kNext, 2, -3, 2, "before", {"GetSensorCount"}},
  };
  for (const Case& k : cases) {
    TestableQv c(nullptr);
    Recorder rec;
    ASSERT_EQ(c.TMEXOpenSession(), 1);
    rec.Attach(c);
    c.TMEXerror = "before";
    driver->fail(k.op, k.nth, k.code);
    RunOp(c, &TQvDs18x20::TMEXGetDSCount);
    EXPECT_EQ(c.FSensorCount.load(), k.recorded) << k.what;
    EXPECT_EQ(c.SensorListCount(), k.recorded) << k.what;
    EXPECT_EQ(c.TMEXerror.str(), k.error) << k.what;
    EXPECT_EQ(rec.Names(), k.events) << k.what;
    driver->clear_faults();
  }
}

TEST_P(WorkerTest, EmptyBusEnumeration) {
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: 0");
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"SessionError"});
  EXPECT_EQ(c.FSensorCount.load(), 0);
  EXPECT_EQ(c.SensorListCount(), 0);
}

TEST_P(WorkerTest, TwentySecondDeviceEndsTheWalkAsComplete) {
  std::vector<onewire::Rom> roms;
  for (int i = 0; i < 22; ++i) roms.push_back(AddThermometer(0x28, 0x1000 + static_cast<std::uint64_t>(i) * 7, 20)->rom());
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), kMaxSensors);
  EXPECT_EQ(c.SensorListCount(), kMaxSensors);
  EXPECT_TRUE(c.FSensorOverflow);
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"GetSensorCount"});
  const auto order = SearchOrder(roms);
  EXPECT_EQ(c.getsensor(20)->romstr, RomText(order[20]));

  // With one device fewer the flag clears again.
  bus->remove(order[21]);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), kMaxSensors);
  EXPECT_FALSE(c.FSensorOverflow);
}

TEST_P(WorkerTest, EnumeratingTwiceGivesTheSameListInNewObjects) {
  AddThermometer(0x28, 1, 20);
  AddThermometer(0x28, 2, 20);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  const std::string first = c.getsensor(0)->romstr + c.getsensor(1)->romstr;
  c.getsensor(0)->temp = "marker";
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.getsensor(0)->romstr + c.getsensor(1)->romstr, first);
  EXPECT_EQ(c.getsensor(0)->temp, "");  // a fresh TSensor
}

TEST_P(WorkerTest, ConversionCommand) {
  auto dev = AddThermometer(0x28, 1, 20);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXConvertT);
  EXPECT_TRUE(rec.Names().empty());
  EXPECT_EQ(dev->conversions(), 1);

  driver->fail(Op::kTouchByte, 1, 0);  // SKIP ROM echo 0
  RunOp(c, &TQvDs18x20::TMEXConvertT);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMTouchByte (SKIP ROM) error: 0");
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"SessionError"});
  EXPECT_EQ(dev->conversions(), 1);  // CONVERT T was not sent

  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Clear();
  driver->fail(Op::kTouchByte, 2, -4);  // CONVERT T
  RunOp(c, &TQvDs18x20::TMEXConvertT);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMTouchByte (CONVERT T) error: -4");
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"SessionError"});

  ASSERT_EQ(c.TMEXOpenSession(), 1);
  driver->fail(Op::kTouchByte, 1, 255);
  RunOp(c, &TQvDs18x20::TMEXConvertT);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMTouchByte (SKIP ROM) error: 255");
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  driver->fail(Op::kTouchByte, 2, 0);  // 0 is accepted after CONVERT T
  c.TMEXerror = "";
  RunOp(c, &TQvDs18x20::TMEXConvertT);
  EXPECT_EQ(c.TMEXerror.str(), "");
}

TEST_P(WorkerTest, MeasurementOfTwoDs18b20AndADs18s20) {
  auto a = AddThermometer(0x28, 1, 21.5);
  auto b = AddThermometer(0x28, 2, -10.125);
  auto s = AddThermometer(0x10, 3, 23.75);
  a->set_resolution(9);
  b->set_resolution(10);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Attach(c);
  std::vector<bool> busy_seen;
  c.OnStartCommand([&](TObject*) {
    rec.Add("StartCommand");
    busy_seen.push_back(c.Busy());
  });
  c.TMEXGetTemp();
  EXPECT_FALSE(c.Busy());  // set by the worker through the main thread later
  ASSERT_TRUE(PumpUntil([] { return ActiveWorker == nullptr; }));
  ProcessMessages();

  EXPECT_EQ(rec.Names(), (std::vector<std::string>{"GetSensorCount", "StartCommand", "StartRead", "GetTemp"}));
  for (const char* e : {"GetSensorCount", "StartCommand", "StartRead", "GetTemp"}) EXPECT_EQ(rec.Count(e, true), 1) << e;
  EXPECT_EQ(busy_seen, std::vector<bool>{true});
  EXPECT_FALSE(c.Busy());
  std::map<std::string, std::string> temps;
  for (int i = 0; i < c.SensorListCount(); ++i) temps[c.getsensor(i)->romstr] = c.getsensor(i)->temp;
  EXPECT_EQ(temps[RomText(a->rom())], "21.5");
  // Converted at 10 bits before the measurement set 12: -10.25.
  EXPECT_EQ(temps[RomText(b->rom())], "-10.2");
  EXPECT_EQ(temps[RomText(s->rom())], "23.7");  // extended resolution: 23.75
  // Each DS18B20 was set to 12 bits by the measurement's write.
  EXPECT_EQ(a->scratchpad(clock.now())[4], 0x7F);
  EXPECT_EQ(b->scratchpad(clock.now())[4], 0x7F);
  EXPECT_TRUE(c.SesionActive());

  RunOp(c, &TQvDs18x20::TMEXGetTemp);  // now converted at 12 bits
  for (int i = 0; i < c.SensorListCount(); ++i) {
    if (c.getsensor(i)->romstr == RomText(b->rom())) {
      EXPECT_EQ(c.getsensor(i)->temp, "-10.1");
    }
  }
}

TEST_P(WorkerTest, ProductionWaitsTheRealConversionTime) {
  rtl::RealClock real;
  rtl::ClockGuard guard(real);
  AddThermometer(0x28, 1, 30.0);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  std::chrono::steady_clock::time_point command, read;
  c.OnStartCommand([&](TObject*) { command = std::chrono::steady_clock::now(); });
  c.OnStartRead([&](TObject*) { read = std::chrono::steady_clock::now(); });
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_GE(read - command, std::chrono::milliseconds(kConversionWaitMs));
  EXPECT_EQ(c.getsensor(0)->temp, "30.0");
}

TEST_P(WorkerTest, OnlyADs2401MeansTheMeasurementFailed) {
  AddRomDevice(0x01, 9);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #");
  EXPECT_EQ(rec.Names(), (std::vector<std::string>{"GetSensorCount", "StartCommand", "StartRead", "SessionError"}));
  EXPECT_FALSE(c.SesionActive());
  EXPECT_EQ(c.FSensorCount.load(), 0);
  EXPECT_EQ(c.SensorListCount(), 1);  // the list stays
  EXPECT_EQ(c.getsensor(0)->temp, "");
}

TEST_P(WorkerTest, SensorRemovedAfterEnumerationKeepsItsText) {
  auto a = AddThermometer(0x28, 1, 20.0);
  auto b = AddThermometer(0x28, 2, 22.0);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  const int index_b = c.getsensor(0)->romstr == RomText(b->rom()) ? 0 : 1;
  ASSERT_EQ(c.getsensor(index_b)->temp, "22.0");
  bus->remove(b->rom());
  a->set_temperature(25.0);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.getsensor(index_b)->temp, "22.0");
  EXPECT_EQ(c.getsensor(1 - index_b)->temp, "25.0");
  EXPECT_EQ(rec.Names().back(), "GetTemp");
}

TEST_P(WorkerTest, ScratchpadThatFailsItsCheckIsNotATemperature) {
  auto a = AddThermometer(0x28, 1, 20.0);
  auto b = AddThermometer(0x28, 2, 21.0);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  const int ia = c.getsensor(0)->romstr == RomText(a->rom()) ? 0 : 1;
  ASSERT_EQ(c.getsensor(ia)->temp, "20.0");
  a->set_temperature(30.0);
  b->set_temperature(31.0);

  double b_temp = 31.0;
  for (auto pad : {std::array<std::uint8_t, 9>{}, std::array<std::uint8_t, 9>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}) {
    b->set_temperature(b_temp);
    a->set_scratchpad_override(pad);
    RunOp(c, &TQvDs18x20::TMEXGetTemp);
    EXPECT_EQ(c.getsensor(ia)->temp, "20.0");
    EXPECT_EQ(c.getsensor(1 - ia)->temp, b_temp == 31.0 ? "31.0" : "32.0");
    b_temp += 1.0;
  }
  a->set_scratchpad_override(std::nullopt);

  // One bit flipped on the line in the first listed sensor's temperature
  // byte: that read is discarded, the other sensor is reported. Bytes read
  // back by TMTouchByte: SKIP ROM and CONVERT T, then for the first sensor
  // the three-byte write (4 with its command), READ SCRATCHPAD, byte 0.
  const std::string first_before = c.getsensor(0)->temp;
  a->set_temperature(40.0);
  b->set_temperature(41.0);
  driver->corrupt_byte(2 + 4 + 1 + 1, 0x04);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.getsensor(0)->temp, first_before);
  EXPECT_EQ(c.getsensor(1)->temp, ia == 0 ? "41.0" : "40.0");
  EXPECT_EQ(c.TMEXerror.str(), "");
}

TEST_P(WorkerTest, MissingListEntryStoresNothing) {
  AddThermometer(0x28, 1, 20.0);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  c.OnStartRead([&](TObject*) { c.ClearSensors(); });  // while the worker waits
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.SensorListCount(), 0);
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #");
}

TEST_P(WorkerTest, EmptyBusMeasurementReportsTheCountOnTheWorker) {
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: 0");
  EXPECT_EQ(rec.Count("GetSensorCount", false), 1);
  EXPECT_EQ(rec.Count("SessionError", true), 1);
  EXPECT_EQ(rec.Count("StartCommand", true), 0);
  EXPECT_EQ(rec.Count("GetTemp", true), 0);
}

TEST_P(WorkerTest, OneWorkerAtATimeAcrossComponents) {
  auto dev = AddThermometer(0x28, 1, 20.0);
  auto bus2 = std::make_shared<onewire::sim::SimBus>();
  driver->attach(2, bus2);
  TestableQv c(nullptr);
  TestableQv other(nullptr);
  other.ComPort("COM2");
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  ASSERT_EQ(other.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  const int conversions = dev->conversions();

  TMGetDsCount* running = nullptr;
  c.OnStartCommand([&](TObject*) {
    running = ActiveWorker;
    c.TMEXGetTemp();  // ignored: a worker runs
    other.TMEXGetDSCount();
    other.TMEXConvertT();
    other.TMEXGetTemp();
    EXPECT_EQ(ActiveWorker, running);
  });
  c.TMEXGetTemp();
  c.TMEXGetTemp();  // second call before the first worker even set Busy
  ASSERT_TRUE(PumpUntil([] { return ActiveWorker == nullptr; }));
  ProcessMessages();
  EXPECT_NE(running, nullptr);
  EXPECT_EQ(dev->conversions(), conversions + 1);
  EXPECT_FALSE(other.Busy());
  EXPECT_EQ(bus2->resets(), 0u);
}

TEST_P(WorkerTest, StarterWithoutSessionOpensItOnTheWorker) {
  AddThermometer(0x28, 1, 20.0);
  TestableQv c(nullptr);
  Recorder rec;
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(rec.Count("SessionActive", false), 1);
  EXPECT_EQ(rec.Names().front(), "SessionActive");
  EXPECT_TRUE(c.SesionActive());
  EXPECT_EQ(TMValidSession(c.FSesionHandle), 1);
  EXPECT_EQ(c.FSensorCount.load(), 1);
}

TEST_P(WorkerTest, LostSessionIsReopenedAndTheNewHandleKept) {
  AddThermometer(0x28, 1, 20.0);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t old = c.FSesionHandle;
  TMEndSession(old);  // the driver forgets the session
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(rec.Count("SessionActive", false), 1);
  EXPECT_NE(c.FSesionHandle.load(), old);
  EXPECT_EQ(TMValidSession(c.FSesionHandle), 1);
  EXPECT_EQ(c.getsensor(0)->temp, "20.0");
}

TEST_P(WorkerTest, SessionThatCannotBeReopenedReportsEveryFailure) {
  AddThermometer(0x28, 1, 20.0);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t old = c.FSesionHandle;
  TMEndSession(old);
  driver->fail_always(Op::kStartSession, onewire::kErrPortUnavailable);
  rec.Attach(c);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  // Checks in Execute, in the enumeration and in its conversion command
  // each reopen, fail on the worker and post; then SKIP ROM and TMFirst
  // fail on the dead handle.
  EXPECT_EQ(rec.Count("SessionError", false), 3);
  EXPECT_EQ(rec.Count("SessionError", true), 5);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: " + std::to_string(onewire::kErrSessionInvalid));
  EXPECT_EQ(c.FSesionHandle.load(), old);  // the worker's rejected handle
  EXPECT_FALSE(c.SesionActive());
}

TEST_P(WorkerTest, DestroyingTheComponentWaitsForItsWorker) {
  AddThermometer(0x28, 1, 20.0);
  int fired = 0;
  {
    TestableQv c(nullptr);
    ASSERT_EQ(c.TMEXOpenSession(), 1);
    c.OnGetTemp([&](TObject*) { ++fired; });
    c.TMEXGetTemp();
  }
  EXPECT_EQ(ActiveWorker, nullptr);
  ProcessMessages();
  EXPECT_EQ(fired, 0);  // its messages went with its window
  EXPECT_EQ(driver->session_count(), 0);
}

TEST_P(WorkerTest, CloseFromOnGetTempReturnsOnceTheWorkerHasEnded) {
  AddThermometer(0x28, 1, 20.0);
  TestableQv c(nullptr);
  Recorder rec;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  bool closed = false;
  c.OnGetTemp([&](TObject*) {
    c.Close();
    closed = true;
    EXPECT_FALSE(c.Busy());
    EXPECT_EQ(ActiveWorker, nullptr);
  });
  c.TMEXGetTemp();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_FALSE(c.SesionActive());
}

TEST_P(WorkerTest, CloseWhileAWorkerRunsWaitsForIt) {
  AddThermometer(0x28, 1, 20.0);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  c.TMEXGetTemp();
  c.Close();
  EXPECT_FALSE(c.Busy());
  EXPECT_EQ(ActiveWorker, nullptr);
}

// The read phase's driver calls per device: the byte-wise sequence, call
// for call, without the block exchange; one or two block exchanges per
// thermometer with it.
TEST_P(WorkerTest, ReadPhaseCallsOnEachPath) {
  AddThermometer(0x28, 1, 20.0);
  AddThermometer(0x10, 2, 21.0);
  AddRomDevice(0x01, 3);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetDSCount);
  ASSERT_EQ(c.SensorListCount(), 3);
  driver->set_logging(true);
  // The worker waits while the main thread runs this: the log then holds
  // the read phase alone.
  c.OnStartRead([&](TObject*) { driver->clear_log(); });
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  std::vector<Op> ops;
  for (const auto& call : driver->log()) ops.push_back(call.op);

  std::vector<Op> expected;
  for (int i = 0; i < c.SensorListCount(); ++i) {
    const std::string family = c.getsensor(i)->romstr.substr(14);
    expected.push_back(Op::kRom);
    if (blocks()) {
      if (family == "28") expected.insert(expected.end(), {Op::kBlockExchange, Op::kBlockExchange});
      if (family == "10") expected.push_back(Op::kBlockExchange);
      continue;
    }
    expected.push_back(Op::kAccess);
    if (family == "01") continue;
    if (family == "28") {
      expected.insert(expected.end(), 4, Op::kTouchByte);
      expected.insert(expected.end(), {Op::kTouchReset, Op::kRom, Op::kAccess});
    }
    expected.insert(expected.end(), 10, Op::kTouchByte);
  }
  EXPECT_EQ(ops, expected);
  EXPECT_EQ(c.TMEXerror.str(), "");
  for (int i = 0; i < 2; ++i) EXPECT_NE(c.getsensor(i)->temp, "");
}

// A failure part-way through one sensor's read leaves that sensor's text
// as it was and the others are read, on either path.
TEST_P(WorkerTest, FailedReadOfOneSensorKeepsItsText) {
  auto a = AddThermometer(0x28, 1, 20.0);
  auto b = AddThermometer(0x10, 2, 21.0);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  const std::string first = c.getsensor(0)->temp;
  const std::string second = c.getsensor(1)->temp;
  ASSERT_NE(first, "");
  a->set_temperature(30.0);
  b->set_temperature(31.0);
  // The first listed sensor's fifth scratchpad byte (or its read block)
  // fails with an I/O error. Calls counted from the measurement's start:
  // SKIP ROM and CONVERT T come first.
  const bool first_is_b20 = c.getsensor(0)->romstr.substr(14) == "28";
  if (blocks())
    driver->fail(Op::kBlockExchange, first_is_b20 ? 2 : 1, onewire::kErrPortIo);
  else
    driver->fail(Op::kTouchByte, 2 + (first_is_b20 ? 4 : 0) + 1 + 5, onewire::kErrPortIo);
  RunOp(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.getsensor(0)->temp, first);
  EXPECT_EQ(c.getsensor(1)->temp, first_is_b20 ? "31.0" : "30.0");
  EXPECT_EQ(c.TMEXerror.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Paths, WorkerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "BlockExchange" : "Bytewise");
                         });
