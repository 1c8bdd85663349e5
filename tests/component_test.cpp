// The component's data model on the simulated driver: its defaults, the
// driver version, port number, speed and sensor list, its hidden window's
// messages, ownership, form files and lifetime.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/errors.hpp"
#include "support/component_events.hpp"
#include "support/pump.hpp"
#include "support/sim_fixture.hpp"
#include "support/testable_qv.hpp"
#include "rtl/form_stream.hpp"
#include "rtl/window_api.hpp"

using testing_support::EventLog;
using testing_support::pump_until;
using testing_support::TestableQv;

namespace {

std::unique_ptr<TSensor> make_sensor(const std::string& romstr) {
  auto s = std::make_unique<TSensor>();
  s->romstr = romstr;
  return s;
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
