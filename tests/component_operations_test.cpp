// The operations the component runs on workers, with the component as
// their host: events and where they fire, one operation at a time, lost
// sessions reopened, the read phase on both of its paths, and closing or
// destroying the component while a worker runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/errors.hpp"
#include "support/component_events.hpp"
#include "support/component_fixture.hpp"
#include "support/pump.hpp"
#include "support/sim_fixture.hpp"
#include "support/testable_qv.hpp"

using onewire::Op;
using testing_support::pump_until;
using testing_support::run_op;
using testing_support::TestableQv;

using ComponentOperationTest = testing_support::ComponentFixture;

TEST_F(ComponentOperationTest, MeasurementEventsFireOnTheMainThreadWhileWorking) {
  add_thermometer(0x28, 1, 21.5);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  log.clear();  // the events of the operation only
  std::vector<bool> busy_seen;
  c.OnStartCommand([&](TObject*) {
    log.add("StartCommand");
    busy_seen.push_back(c.Busy());
  });
  int ends = 0;
  c.OnOperationEnd([&](TObject*) {
    ++ends;
    EXPECT_FALSE(c.Working());
    EXPECT_FALSE(c.Busy());
  });
  c.TMEXGetTemp();
  EXPECT_TRUE(c.Working());
  EXPECT_FALSE(c.Busy());  // set by the worker through the main thread later
  ASSERT_TRUE(pump_until([&] { return !c.Working(); }));
  ProcessMessages();

  const std::vector<std::string> events = {"GetSensorCount", "StartCommand", "StartRead", "GetTemp"};
  EXPECT_EQ(log.names(), events);
  EXPECT_EQ(ends, 1);
  for (const auto& e : events) EXPECT_EQ(log.count(e, true), 1) << e;
  EXPECT_EQ(busy_seen, std::vector<bool>{true});
  EXPECT_EQ(c.sensor(0)->temp, "21.5");
  EXPECT_EQ(c.LastResult(), 0);
  EXPECT_TRUE(c.SesionActive());
}

TEST_F(ComponentOperationTest, MeasurementThatReadsNoSensorEndsTheSession) {
  add_rom_device(0x01, 9);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  log.clear();  // the events of the operation only
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #");
  EXPECT_EQ(c.LastResult(), kErrNoSensorRead);
  EXPECT_EQ(TQvDs18x20::DescribeResult(c.LastResult()), "no sensor could be read");
  EXPECT_EQ(log.names(),
            (std::vector<std::string>{"GetSensorCount", "StartCommand", "StartRead", "SessionError"}));
  EXPECT_FALSE(c.SesionActive());
  EXPECT_EQ(c.FSensorCount.load(), 0);
  EXPECT_EQ(c.SensorListCount(), 1);  // the list stays
  EXPECT_EQ(c.sensor(0)->temp, "");
}

TEST_F(ComponentOperationTest, ListEmptiedDuringAMeasurementStoresNothing) {
  add_thermometer(0x28, 1, 20.0);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  c.OnStartRead([&](TObject*) { c.ClearSensors(); });  // while the worker waits
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.SensorListCount(), 0);
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #");
  EXPECT_EQ(c.LastResult(), kErrNoSensorRead);
}

TEST_F(ComponentOperationTest, EmptyBusMeasurementReportsTheCountOnTheWorker) {
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  log.clear();  // the events of the operation only
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: 0");
  EXPECT_EQ(log.count("GetSensorCount", false), 1);
  EXPECT_EQ(log.count("SessionError", true), 1);
  EXPECT_EQ(log.count("StartCommand", true), 0);
  EXPECT_EQ(log.count("GetTemp", true), 0);
}

TEST_F(ComponentOperationTest, EnumeratingTwiceGivesTheSameListInNewObjects) {
  add_thermometer(0x28, 1, 20);
  add_thermometer(0x28, 2, 20);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  const std::string first = c.sensor(0)->romstr + c.sensor(1)->romstr;
  c.sensor(0)->temp = "marker";
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), 2);
  EXPECT_EQ(c.sensor(0)->romstr + c.sensor(1)->romstr, first);
  EXPECT_EQ(c.sensor(0)->temp, "");  // a fresh TSensor
}

TEST_F(ComponentOperationTest, OneOperationAtATimeInTheWholeProcess) {
  auto dev = add_thermometer(0x28, 1, 20.0);
  auto bus2 = std::make_shared<onewire::sim::SimBus>();
  driver->attach(2, bus2);
  TQvDs18x20 other(nullptr);
  other.ComPort("COM2");
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  ASSERT_EQ(other.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  const int conversions = dev->conversions();

  int ends = 0;
  int other_ends = 0;
  c.OnOperationEnd([&](TObject*) { ++ends; });
  other.OnOperationEnd([&](TObject*) { ++other_ends; });
  c.OnStartCommand([&](TObject*) {
    c.TMEXGetTemp();  // ignored: a worker runs
    other.TMEXGetDSCount();
    other.TMEXConvertT();
    other.TMEXGetTemp();
    EXPECT_TRUE(c.Busy());
    EXPECT_FALSE(other.Working());
  });
  c.TMEXGetTemp();
  c.TMEXGetTemp();  // second call before the first worker even set Busy
  ASSERT_TRUE(pump_until([&] { return !c.Working(); }));
  ProcessMessages();
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(dev->conversions(), conversions + 1);
  EXPECT_EQ(other_ends, 0);
  EXPECT_FALSE(other.Busy());
  EXPECT_EQ(bus2->resets(), 0u);
}

TEST_F(ComponentOperationTest, StarterWithoutSessionOpensItOnTheWorker) {
  add_thermometer(0x28, 1, 20.0);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(log.count("SessionActive", false), 1);
  EXPECT_EQ(log.names().front(), "SessionActive");
  EXPECT_TRUE(c.SesionActive());
  EXPECT_EQ(TMValidSession(c.FSesionHandle), 1);
  EXPECT_EQ(c.FSensorCount.load(), 1);
}

TEST_F(ComponentOperationTest, LostSessionIsReopenedAndTheNewHandleKept) {
  add_thermometer(0x28, 1, 20.0);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t old = c.FSesionHandle;
  TMEndSession(old);  // the driver forgets the session
  log.clear();
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(log.count("SessionActive", false), 1);
  EXPECT_NE(c.FSesionHandle.load(), old);
  EXPECT_EQ(TMValidSession(c.FSesionHandle), 1);
  EXPECT_EQ(c.sensor(0)->temp, "20.0");
}

TEST_F(ComponentOperationTest, SessionThatCannotBeReopenedReportsEveryFailure) {
  add_thermometer(0x28, 1, 20.0);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t old = c.FSesionHandle;
  TMEndSession(old);
  driver->fail_always(Op::kStartSession, onewire::kErrPortUnavailable);
  log.clear();
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  // Three reopens fail on the worker and post; then SKIP ROM and TMFirst
  // fail on the dead handle.
  EXPECT_EQ(log.count("SessionError", false), 3);
  EXPECT_EQ(log.count("SessionError", true), 5);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: " + std::to_string(onewire::kErrSessionInvalid));
  EXPECT_EQ(c.LastResult(), onewire::kErrSessionInvalid);
  EXPECT_EQ(c.FSesionHandle.load(), old);  // the worker's rejected handle
  EXPECT_FALSE(c.SesionActive());
}

TEST_F(ComponentOperationTest, DestroyingTheComponentWaitsForItsWorker) {
  add_thermometer(0x28, 1, 20.0);
  int fired = 0;
  int ended = 0;
  {
    TQvDs18x20 doomed(nullptr);
    ASSERT_EQ(doomed.TMEXOpenSession(), 1);
    doomed.OnGetTemp([&](TObject*) { ++fired; });
    doomed.OnOperationEnd([&](TObject*) { ++ended; });
    doomed.TMEXGetTemp();
  }
  EXPECT_EQ(ended, 1) << "the worker ended before the component went";
  ProcessMessages();
  EXPECT_EQ(fired, 0);  // its messages went with its window
  EXPECT_EQ(driver->session_count(), 0);
}

TEST_F(ComponentOperationTest, CloseFromOnGetTempReturnsOnceTheWorkerHasEnded) {
  add_thermometer(0x28, 1, 20.0);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  bool closed = false;
  c.OnGetTemp([&](TObject*) {
    c.Close();
    closed = true;
    EXPECT_FALSE(c.Busy());
    EXPECT_FALSE(c.Working());
  });
  c.TMEXGetTemp();
  ASSERT_TRUE(pump_until([&] { return closed; }));
  EXPECT_FALSE(c.SesionActive());
}

TEST_F(ComponentOperationTest, CloseWhileAWorkerRunsWaitsForIt) {
  add_thermometer(0x28, 1, 20.0);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  c.TMEXGetTemp();
  c.Close();
  EXPECT_FALSE(c.Busy());
  EXPECT_FALSE(c.Working());
}

// The read phase through the component on both paths: with the driver's
// block exchange and without it (the vendor's driver).
class ComponentReadPathTest : public testing_support::SimFixture, public ::testing::WithParamInterface<bool> {
 protected:
  ComponentReadPathTest() { driver->offer_block_exchange(GetParam()); }
  bool blocks() const { return GetParam(); }
};

// The read phase's driver calls per device: the byte-wise sequence, call
// for call, without the block exchange; one or two block exchanges per
// thermometer with it.
TEST_P(ComponentReadPathTest, ReadPhaseCallsOnEachPath) {
  add_thermometer(0x28, 1, 20.0);
  add_thermometer(0x10, 2, 21.0);
  add_rom_device(0x01, 3);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  ASSERT_EQ(c.SensorListCount(), 3);
  driver->set_logging(true);
  // The worker waits while the main thread runs this: the log then holds
  // the read phase alone.
  c.OnStartRead([&](TObject*) { driver->clear_log(); });
  run_op(c, &TQvDs18x20::TMEXGetTemp);
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
TEST_P(ComponentReadPathTest, FailedReadOfOneSensorKeepsItsText) {
  auto a = add_thermometer(0x28, 1, 20.0);
  auto b = add_thermometer(0x10, 2, 21.0);
  TestableQv c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  const std::string first = c.getsensor(0)->temp;
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
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.getsensor(0)->temp, first);
  EXPECT_EQ(c.getsensor(1)->temp, first_is_b20 ? "31.0" : "30.0");
  EXPECT_EQ(c.TMEXerror.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Paths, ComponentReadPathTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "BlockExchange" : "Bytewise");
                         });
