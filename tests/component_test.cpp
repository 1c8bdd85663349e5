// The component's data model, hidden window, events and sessions on the
// simulated driver, and the operations it runs on workers as their host.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/errors.hpp"
#include "rtl/form_stream.hpp"
#include "support/pump.hpp"
#include "support/testable_qv.hpp"
#include "support/sim_fixture.hpp"

using onewire::Op;
using testing_support::pump_until;
using testing_support::TestableQv;

namespace {


std::unique_ptr<TSensor> make_sensor(const std::string& romstr) {
  auto s = std::make_unique<TSensor>();
  s->romstr = romstr;
  return s;
}

// Records which events fired, in order, and on which thread: some fire on
// the worker.
struct EventLog {
  struct Event {
    std::string name;
    bool on_main;
  };
  void add(const char* name) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back({name, std::this_thread::get_id() == main});
  }
  void attach(TQvDs18x20& c) {
    c.OnSessionError([this](TObject*) { add("SessionError"); });
    c.OnSessionActive([this](TObject*) { add("SessionActive"); });
    c.OnSessionClose([this](TObject*) { add("SessionClose"); });
    c.OnGetSensorCount([this](TObject*) { add("GetSensorCount"); });
    c.OnGetTemp([this](TObject*) { add("GetTemp"); });
    c.OnStartCommand([this](TObject*) { add("StartCommand"); });
    c.OnStartRead([this](TObject*) { add("StartRead"); });
  }
  std::vector<std::string> names() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> out;
    for (auto& e : events) out.push_back(e.name);
    return out;
  }
  int count(const std::string& name, bool on_main) {
    std::lock_guard<std::mutex> lock(mu);
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
      return e.name == name && e.on_main == on_main;
    }));
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu);
    events.clear();
  }

  std::mutex mu;
  std::vector<Event> events;
  std::thread::id main = std::this_thread::get_id();
};

// Runs one operation and serves the main thread until it has ended (its
// messages are queued before its end, so they have all been handled).
void run_op(TQvDs18x20& c, void (TQvDs18x20::*starter)()) {
  (c.*starter)();
  EXPECT_TRUE(c.Working());
  ASSERT_TRUE(pump_until([&] { return !c.Working(); }));
  ProcessMessages();
  EXPECT_FALSE(c.Busy());
}

class ComponentTest : public testing_support::SimFixture {};

}  // namespace

TEST_F(ComponentTest, NewComponentHasItsDefaults) {
  TestableQv c(nullptr);
  EXPECT_EQ(c.ComPort(), "COM1");
  EXPECT_EQ(c.PortNum(), 1);
  EXPECT_EQ(c.AdapterType(), 1);
  EXPECT_EQ(c.Speed(), lsNormal);
  EXPECT_EQ(c.Version(), "1.1");
  EXPECT_FALSE(c.Busy());
  EXPECT_FALSE(c.SesionActive());
  EXPECT_EQ(c.FSesionHandle.load(), 0);
  EXPECT_EQ(c.TMEXerror.str(), "");
  EXPECT_EQ(c.SensorListCount(), 0);
  EXPECT_TRUE(c.DriverActive());
  EXPECT_EQ(c.DriverVer(), "Simulated 1-Wire driver (qvds18x20)");
  EXPECT_TRUE(IsWindow(c.FQvDs18x20));
}

TEST(ComponentNoDriver, MissingDriverIsReportedInTheVersion) {
  onewire::DriverGuard none(nullptr);
  TQvDs18x20 c(nullptr);
  EXPECT_EQ(c.DriverVer(), "TMEX micro-lan Driver missing");
  EXPECT_FALSE(c.DriverActive());
}

TEST_F(ComponentTest, VersionQueryFailureAndEightBitVersionText) {
  driver->fail_version(true);
  TQvDs18x20 c(nullptr);
  EXPECT_FALSE(c.DriverActive());
  EXPECT_EQ(c.DriverVer(), "TMEX micro-lan Driver missing");
  driver->fail_version(false);
  EXPECT_EQ(c.get_driver_ver(), "Simulated 1-Wire driver (qvds18x20)");
  EXPECT_TRUE(c.DriverActive());
}

TEST_F(ComponentTest, PortNameGivesPortNumber) {
  TestableQv c(nullptr);
  const std::pair<const char*, int> cases[] = {{"COM12", 12}, {"com7", 7}, {"COM300", 44}, {"COM-1", 255},
                                               {"COMX", 1},   {"COM", 1},  {"", 1},        {"XYZ3", 3},
                                               {"COM2 ", 1}};
  for (const auto& [name, number] : cases) {
    c.ComPort("COM9");  // a different number first, so each case must set it
    c.ComPort(name);
    EXPECT_EQ(c.ComPort(), name);
    EXPECT_EQ(c.PortNum(), number) << name;
  }
}

TEST_F(ComponentTest, SpeedNeverHoldsOverdrive) {
  TQvDs18x20 c(nullptr);
  c.Speed(lsRelaxed);
  EXPECT_EQ(c.Speed(), lsRelaxed);
  c.Speed(lsOverDrive);
  EXPECT_EQ(c.Speed(), lsNormal);
  c.Speed(lsOverDrive);
  EXPECT_EQ(c.Speed(), lsNormal);
}

TEST_F(ComponentTest, SensorListReadsFromZeroWritesFromOne) {
  TestableQv c(nullptr);
  EXPECT_EQ(c.AddSensor(make_sensor("A")), 0);
  EXPECT_EQ(c.AddSensor(make_sensor("B")), 1);
  EXPECT_EQ(c.AddSensor(make_sensor("C")), 2);
  EXPECT_EQ(c.getsensor(0)->romstr, "A");
  EXPECT_EQ(c.getsensor(2)->romstr, "C");
  EXPECT_EQ(c.getsensor(3), nullptr);
  EXPECT_EQ(c.getsensor(-1), nullptr);

  c.setsensor(1, make_sensor("A2"));  // replaces the first; the old one is freed (ASan)
  EXPECT_EQ(c.getsensor(0)->romstr, "A2");
  c.setsensor(3, make_sensor("C2"));
  EXPECT_EQ(c.getsensor(2)->romstr, "C2");
  c.setsensor(4, make_sensor("D"));  // beyond the count: nothing
  EXPECT_EQ(c.SensorListCount(), 3);
  EXPECT_THROW(c.setsensor(0, make_sensor("Z")), EListError);
  EXPECT_THROW(c.setsensor(-2, make_sensor("Z")), EListError);
  EXPECT_EQ(c.getsensor(0)->romstr, "A2");
  EXPECT_EQ(c.AddSensor(make_sensor("D")), 3);

  c.FSensorCount = 4;
  c.ClearSensors();
  EXPECT_EQ(c.SensorListCount(), 0);
  EXPECT_EQ(c.FSensorCount.load(), 4);
  c.ClearSensors();
}

TEST_F(ComponentTest, OpenSucceedsAndKeepsAnEarlierErrorText) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
  EventLog log;
  log.attach(c);
  c.TMEXerror = "earlier";
  EXPECT_EQ(c.TMEXOpenSession(), 1);
  EXPECT_TRUE(c.SesionActive());
  EXPECT_GT(c.FSesionHandle.load(), 0);
  EXPECT_EQ(c.TMEXerror.str(), "earlier");
  EXPECT_EQ(log.names(), (std::vector<std::string>{"SessionActive"}));
}

TEST_F(ComponentTest, OpeningTwiceEndsTheFirstSessionFirst) {
  TQvDs18x20 c(nullptr);
  EventLog log;
  log.attach(c);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t first = c.FSesionHandle;
  driver->set_logging(true);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const auto calls = driver->log();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].op, Op::kClose);
  EXPECT_EQ(calls[0].session, first);
  EXPECT_EQ(calls[1].op, Op::kEndSession);
  EXPECT_EQ(calls[1].session, first);
  EXPECT_EQ(calls[2].op, Op::kStartSession);
  EXPECT_NE(c.FSesionHandle.load(), first);
  EXPECT_EQ(TMValidSession(first), 0);
  EXPECT_EQ(log.names(), (std::vector<std::string>{"SessionActive", "SessionActive"}));
  EXPECT_EQ(driver->session_count(), 1);
}

TEST_F(ComponentTest, OpenOutcomes) {
  struct Case {
    const char* what;
    std::function<void(TQvDs18x20&)> arrange;
    std::int32_t result;
    bool active;
    std::string error;
    std::int32_t code;  // LastResult, the code that came with the text
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"designer", [](TQvDs18x20& c) { c.SetDesigning(true); }, -501, false, "before", 0, {}},
      {"unknown port", [](TQvDs18x20& c) { c.ComPort("COM9"); }, -501, false,
       "TMExtendedStartSession error: " + std::to_string(onewire::kErrPortUnavailable), onewire::kErrPortUnavailable,
       {"SessionError"}},
      {"invalid session",
       [this](TQvDs18x20&) { driver->fail(Op::kValidSession, 1, -12); }, -12, false, "TMSetup error: -12", -12,
       {"SessionError"}},
      {"speed not taken", [this](TQvDs18x20&) { driver->refuse_speed(true); }, 1, false, "before", 0,
       {"SessionError"}},
  };
  for (const auto& k : cases) {
    driver->clear_faults();
    TQvDs18x20 c(nullptr);
    EventLog log;
    log.attach(c);
    c.TMEXerror = "before";
    k.arrange(c);
    const std::int32_t handle_before = c.FSesionHandle;
    EXPECT_EQ(c.TMEXOpenSession(), k.result) << k.what;
    EXPECT_EQ(c.SesionActive(), k.active) << k.what;
    EXPECT_EQ(c.TMEXerror.str(), k.error) << k.what;
    EXPECT_EQ(c.LastResult(), k.code) << k.what;
    EXPECT_EQ(log.names(), k.events) << k.what;
    const std::string what = k.what;
    if (what == "designer") {
      EXPECT_EQ(c.FSesionHandle.load(), handle_before);
    } else if (what == "unknown port") {
      EXPECT_EQ(c.FSesionHandle.load(), onewire::kErrPortUnavailable);
    } else if (what == "speed not taken") {
      EXPECT_EQ(TMValidSession(c.FSesionHandle), 1) << "left open";
    }
    c.SetDesigning(false);
    c.TMEXCloseSession();
  }
}

TEST_F(ComponentTest, ClosingReportsAndIsSkippedInDesignerAndWhileLoading) {
  TQvDs18x20 c(nullptr);
  EventLog log;
  log.attach(c);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t handle = c.FSesionHandle;

  c.SetDesigning(true);
  c.TMEXCloseSession();
  c.SetDesigning(false);
  c.SetLoading(true);
  c.TMEXCloseSession();
  c.SetLoading(false);
  EXPECT_TRUE(c.SesionActive());
  EXPECT_EQ(TMValidSession(handle), 1);

  EXPECT_EQ(c.TMEXCloseSession(), 1);
  EXPECT_FALSE(c.SesionActive());
  EXPECT_EQ(c.FSesionHandle.load(), handle);  // kept after closing
  EXPECT_EQ(log.names(), (std::vector<std::string>{"SessionActive", "SessionClose"}));

  // Closing an ended session: the driver's answer in the text, no event.
  EXPECT_EQ(c.TMEXCloseSession(), onewire::kErrSessionInvalid);
  EXPECT_EQ(c.TMEXerror.str(), "TMEndSession error: " + std::to_string(onewire::kErrSessionInvalid));
  EXPECT_EQ(c.LastResult(), onewire::kErrSessionInvalid);
  EXPECT_EQ(log.names().size(), 2u);
}

TEST_F(ComponentTest, WorkerFailureMessageEndsTheSessionButKeepsSesionActive) {
  TQvDs18x20 c(nullptr);
  EventLog log;
  log.attach(c);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t handle = c.FSesionHandle;
  driver->set_logging(true);
  ASSERT_TRUE(PostMessage(c.FQvDs18x20, WM_QV_WORKER_ERROR, 0, 0));
  ASSERT_TRUE(pump_until([&] { return log.names().size() == 2; }));
  const auto calls = driver->log();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, Op::kClose);
  EXPECT_EQ(calls[1].op, Op::kEndSession);
  EXPECT_EQ(calls[1].session, handle);
  EXPECT_EQ(log.names().back(), "SessionError");
  EXPECT_TRUE(c.SesionActive());
  EXPECT_EQ(TMValidSession(handle), 0);
}

TEST_F(ComponentTest, WindowMessagesBecomeEventsAndOthersGoToTheDefault) {
  TQvDs18x20 c(nullptr);
  EventLog log;
  log.attach(c);
  driver->set_logging(true);
  for (std::uint32_t m : {WM_QV_RESERVED, WM_QV_SENSOR_COUNT, WM_QV_TEMPERATURES, 42u})
    ASSERT_TRUE(PostMessage(c.FQvDs18x20, m, 0, 0));
  ASSERT_TRUE(pump_until([&] { return log.names().size() == 2; }));
  ProcessMessages();
  EXPECT_EQ(log.names(), (std::vector<std::string>{"GetSensorCount", "GetTemp"}));
  EXPECT_TRUE(driver->log().empty());  // 1003 and 42 call no driver operation

  TQvDs18x20 quiet(nullptr);  // no handlers: nothing happens
  ASSERT_TRUE(PostMessage(quiet.FQvDs18x20, WM_QV_SENSOR_COUNT, 0, 0));
  ProcessMessages();
}

TEST_F(ComponentTest, MessagesForADestroyedComponentChangeNothing) {
  int fired = 0;
  HWND wnd = nullptr;
  {
    TQvDs18x20 c(nullptr);
    c.OnGetTemp([&](TObject*) { ++fired; });
    c.OnSessionError([&](TObject*) { ++fired; });
    wnd = c.FQvDs18x20;
    ASSERT_TRUE(PostMessage(wnd, WM_QV_TEMPERATURES, 0, 0));  // queued, never handled
  }
  driver->set_logging(true);
  EXPECT_FALSE(PostMessage(wnd, WM_QV_WORKER_ERROR, 0, 0));
  ProcessMessages();
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(driver->log().empty());
}

TEST_F(ComponentTest, DestroyingWithAnActiveSessionEndsItOnceWithoutEvents) {
  int fired = 0;
  std::int32_t handle = 0;
  {
    TQvDs18x20 c(nullptr);
    ASSERT_EQ(c.TMEXOpenSession(), 1);
    handle = c.FSesionHandle;
    c.OnSessionClose([&](TObject*) { ++fired; });
    c.OnSessionError([&](TObject*) { ++fired; });
    driver->set_logging(true);
  }
  const auto calls = driver->log();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, Op::kEndSession);
  EXPECT_EQ(calls[0].session, handle);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(driver->session_count(), 0);
}

TEST_F(ComponentTest, OwnerFreesTheComponent) {
  TComponent form(nullptr);
  auto* c = new TQvDs18x20(&form);
  EXPECT_EQ(form.ComponentCount(), 1);
  EXPECT_EQ(form.Components(0), c);
}

TEST_F(ComponentTest, FormFileRoundTrip) {
  TQvDs18x20 c(nullptr);
  c.SetName("QvDs18x201");
  c.ComPort("COM3");
  c.Speed(lsRelaxed);
  const std::string text = WriteComponentToText(c);
  EXPECT_EQ(text, "object QvDs18x201: TQvDs18x20\n  ComPort = 'COM3'\n  Speed = lsRelaxed\nend\n");
  c.AdapterType(5);
  const std::string with_type = WriteComponentToText(c);
  EXPECT_NE(with_type.find("  AdapterType = 5\n"), std::string::npos);

  class Watch : public TestableQv {
   public:
    using TestableQv::TestableQv;
    void Loaded() override {
      loading_seen_in_loaded = ComponentState().Contains(csLoading);
      TestableQv::Loaded();
      ++loaded;
    }
    int loaded = 0;
    bool loading_seen_in_loaded = false;
  } copy(nullptr);
  ReadComponentFromText(with_type, copy);
  EXPECT_EQ(copy.Name(), "QvDs18x201");
  EXPECT_EQ(copy.ComPort(), "COM3");
  EXPECT_EQ(copy.PortNum(), 3);
  EXPECT_EQ(copy.AdapterType(), 5);
  EXPECT_EQ(copy.Speed(), lsRelaxed);
  EXPECT_EQ(copy.loaded, 1);
  EXPECT_TRUE(copy.loading_seen_in_loaded);
  EXPECT_FALSE(copy.ComponentState().Contains(csLoading));
}

TEST_F(ComponentTest, MalformedFormFilesAreRejectedWithTheirLine) {
  const std::pair<const char*, int> bad[] = {
      {"object A: TQvDs18x20\n  Busy = True\nend\n", 2},            // read-only
      {"object A: TQvDs18x20\n  Colour = 1\nend\n", 2},             // unknown
      {"object A: TQvDs18x20\n  Speed = lsFast\nend\n", 2},         // not an enumerator
      {"object A: TQvDs18x20\n  ComPort = 'COM3\nend\n", 2},        // unterminated string
      {"object A: TQvDs18x20\n  AdapterType = 300\nend\n", 2},      // out of range
      {"object A: TForm\nend\n", 1},                                // other class
      {"object A: TQvDs18x20\n  ComPort = 'COM4'\n", 2},            // no end
  };
  for (const auto& [text, line] : bad) {
    TestableQv c(nullptr);
    try {
      ReadComponentFromText(text, c);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Line(), line) << text;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "wrong error for " << text << ": " << e.what();
    }
    EXPECT_FALSE(c.ComponentState().Contains(csLoading));
  }
}

TEST_F(ComponentTest, TenThousandComponentsComeAndGo) {
  for (int i = 0; i < 10000; ++i) {
    TQvDs18x20 c(nullptr);
    c.AddSensor(std::make_unique<TSensor>());
    ASSERT_TRUE(PostMessage(c.FQvDs18x20, WM_QV_TEMPERATURES, 0, 0));
  }
  EXPECT_EQ(ProcessMessages(), 0);  // every queued message went with its window
}

TEST_F(ComponentTest, DestroyingAfterAHalfOpenSessionFreesThePort) {
  // The speed was not taken: the driver's session stays open while the
  // component does not count it as active. Destroying the component must
  // not leave the port held for the rest of the process.
  driver->refuse_speed(true);
  {
    TQvDs18x20 c(nullptr);
    EXPECT_EQ(c.TMEXOpenSession(), 1);
    EXPECT_FALSE(c.SesionActive());
    EXPECT_EQ(driver->session_count(), 1);
  }
  EXPECT_EQ(driver->session_count(), 0);
  driver->refuse_speed(false);
  TQvDs18x20 next(nullptr);
  EXPECT_EQ(next.TMEXOpenSession(), 1);
  EXPECT_TRUE(next.SesionActive());
}

// --- operations: the component as its worker's host ---

TEST_F(ComponentTest, MeasurementEventsFireOnTheMainThreadWhileWorking) {
  add_thermometer(0x28, 1, 21.5);
  TQvDs18x20 c(nullptr);
  EventLog log;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  log.attach(c);
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

TEST_F(ComponentTest, MeasurementThatReadsNoSensorEndsTheSession) {
  add_rom_device(0x01, 9);
  TQvDs18x20 c(nullptr);
  EventLog log;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  log.attach(c);
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

TEST_F(ComponentTest, ListEmptiedDuringAMeasurementStoresNothing) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  c.OnStartRead([&](TObject*) { c.ClearSensors(); });  // while the worker waits
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.SensorListCount(), 0);
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #");
  EXPECT_EQ(c.LastResult(), kErrNoSensorRead);
}

TEST_F(ComponentTest, EmptyBusMeasurementReportsTheCountOnTheWorker) {
  TQvDs18x20 c(nullptr);
  EventLog log;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  log.attach(c);
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(c.TMEXerror.str(), "Thread TMFirst error: 0");
  EXPECT_EQ(log.count("GetSensorCount", false), 1);
  EXPECT_EQ(log.count("SessionError", true), 1);
  EXPECT_EQ(log.count("StartCommand", true), 0);
  EXPECT_EQ(log.count("GetTemp", true), 0);
}

TEST_F(ComponentTest, EnumeratingTwiceGivesTheSameListInNewObjects) {
  add_thermometer(0x28, 1, 20);
  add_thermometer(0x28, 2, 20);
  TQvDs18x20 c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  const std::string first = c.sensor(0)->romstr + c.sensor(1)->romstr;
  c.sensor(0)->temp = "marker";
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(c.FSensorCount.load(), 2);
  EXPECT_EQ(c.sensor(0)->romstr + c.sensor(1)->romstr, first);
  EXPECT_EQ(c.sensor(0)->temp, "");  // a fresh TSensor
}

TEST_F(ComponentTest, OneOperationAtATimeInTheWholeProcess) {
  auto dev = add_thermometer(0x28, 1, 20.0);
  auto bus2 = std::make_shared<onewire::sim::SimBus>();
  driver->attach(2, bus2);
  TQvDs18x20 c(nullptr);
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

TEST_F(ComponentTest, StarterWithoutSessionOpensItOnTheWorker) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
  EventLog log;
  log.attach(c);
  run_op(c, &TQvDs18x20::TMEXGetDSCount);
  EXPECT_EQ(log.count("SessionActive", false), 1);
  EXPECT_EQ(log.names().front(), "SessionActive");
  EXPECT_TRUE(c.SesionActive());
  EXPECT_EQ(TMValidSession(c.FSesionHandle), 1);
  EXPECT_EQ(c.FSensorCount.load(), 1);
}

TEST_F(ComponentTest, LostSessionIsReopenedAndTheNewHandleKept) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
  EventLog log;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t old = c.FSesionHandle;
  TMEndSession(old);  // the driver forgets the session
  log.attach(c);
  run_op(c, &TQvDs18x20::TMEXGetTemp);
  EXPECT_EQ(log.count("SessionActive", false), 1);
  EXPECT_NE(c.FSesionHandle.load(), old);
  EXPECT_EQ(TMValidSession(c.FSesionHandle), 1);
  EXPECT_EQ(c.sensor(0)->temp, "20.0");
}

TEST_F(ComponentTest, SessionThatCannotBeReopenedReportsEveryFailure) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
  EventLog log;
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t old = c.FSesionHandle;
  TMEndSession(old);
  driver->fail_always(Op::kStartSession, onewire::kErrPortUnavailable);
  log.attach(c);
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

TEST_F(ComponentTest, DestroyingTheComponentWaitsForItsWorker) {
  add_thermometer(0x28, 1, 20.0);
  int fired = 0;
  int ended = 0;
  {
    TQvDs18x20 c(nullptr);
    ASSERT_EQ(c.TMEXOpenSession(), 1);
    c.OnGetTemp([&](TObject*) { ++fired; });
    c.OnOperationEnd([&](TObject*) { ++ended; });
    c.TMEXGetTemp();
  }
  EXPECT_EQ(ended, 1) << "the worker ended before the component went";
  ProcessMessages();
  EXPECT_EQ(fired, 0);  // its messages went with its window
  EXPECT_EQ(driver->session_count(), 0);
}

TEST_F(ComponentTest, CloseFromOnGetTempReturnsOnceTheWorkerHasEnded) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
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

TEST_F(ComponentTest, CloseWhileAWorkerRunsWaitsForIt) {
  add_thermometer(0x28, 1, 20.0);
  TQvDs18x20 c(nullptr);
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
