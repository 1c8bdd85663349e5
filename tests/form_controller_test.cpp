// The desktop forms' course of events without a window: the controller
// both forms share, over the simulated bus, with the component's queue
// served as a form's event loop serves it. What the view is told, the
// status line, and --shot's run of measurements and its report.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "form_common/controller.hpp"
#include "rtl/clock.hpp"
#include "support/pump.hpp"

namespace {

using namespace std::chrono_literals;
using qvform::BusChoice;
using qvform::Controller;
using qvform::Reading;
using qvform::SensorRow;
using testing_support::pump_until;

// What the controller told the view.
struct Seen {
  int refreshes = 0;
  std::vector<SensorRow> rows;
  std::vector<std::vector<Reading>> measurements;
  int shots_due = 0;
};

class FormController : public ::testing::Test {
 protected:
  FormController() {
    std::ofstream(devices_) << R"({"devices": [
      {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 19.5},
      {"type": "DS18S20", "serial": "00000000C0DE", "celsius": -3.0}
    ]})";
    options.sim_file = devices_.string();
  }
  ~FormController() override { std::filesystem::remove(devices_); }

  Controller::View view() {
    return Controller::View{[this] { ++seen.refreshes; },
                            [this](const std::vector<SensorRow>& rows) { seen.rows = rows; },
                            [this](std::chrono::system_clock::time_point, const std::vector<Reading>& r) {
                              seen.measurements.push_back(r);
                            },
                            [this] { ++seen.shots_due; }};
  }
  bool idle(const Controller& c) const { return !c.station().busy() && !c.station().working(); }

  rtl::SkipClock skip;  // the conversion wait costs nothing here
  rtl::ClockGuard guard{skip};
  std::filesystem::path devices_ =
      std::filesystem::temp_directory_path() /
      ("qvds-form-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".json");
  qvform::Options options;
  qvform::LoopProbe probe;
  Seen seen;
};

TEST_F(FormController, ASessionOnTheSimulatedBusMeasuresAndTheStatusLineFollows) {
  Controller c("form", options, probe, view());
  EXPECT_EQ(c.status()[0], "no session");
  ASSERT_TRUE(c.open_session(BusChoice{})) << c.last_error();
  EXPECT_EQ(c.last_error(), "");
  const auto open = c.status();
  EXPECT_NE(open[0].find("open on"), std::string::npos) << open[0];
  EXPECT_EQ(open[1], "Busy: no");
  EXPECT_EQ(open[2], "TMEXerror: none");

  c.start_measurement();
  ASSERT_TRUE(pump_until([&] { return !seen.measurements.empty() && idle(c); }, 30s));
  // The readings of the device file, by ROM; the view's rows carry them.
  std::vector<double> celsius;
  for (const Reading& r : seen.measurements.front()) celsius.push_back(r.celsius);
  std::sort(celsius.begin(), celsius.end());
  EXPECT_EQ(celsius, (std::vector<double>{-3.0, 19.5}));
  ASSERT_EQ(seen.rows.size(), 2u);
  for (const SensorRow& row : seen.rows) EXPECT_FALSE(row.temp.empty()) << row.rom;
  EXPECT_GT(seen.refreshes, 0);
  // Measuring is not --shot: nothing more starts by itself.
  EXPECT_EQ(seen.shots_due, 0);
  EXPECT_FALSE(pump_until([&] { return seen.measurements.size() > 1; }, 300ms));
}

TEST_F(FormController, ASessionThatCannotOpenSaysWhyAndMeasuresNothing) {
  Controller c("form", options, probe, view());
  BusChoice adapter;
  adapter.simulated = false;
  adapter.port = (std::filesystem::temp_directory_path() / "qvds-no-such-port").string();
  adapter.adapter = 5;
  EXPECT_FALSE(c.open_session(adapter));
  EXPECT_NE(c.last_error(), "");
  EXPECT_EQ(c.status()[0], "no session");
  c.start_measurement();
  EXPECT_FALSE(pump_until([&] { return !seen.measurements.empty(); }, 300ms));
  EXPECT_TRUE(idle(c));
}

TEST_F(FormController, AShotTakesItsMeasurementsThenAsksForThePictureOnce) {
  options.shot = (std::filesystem::temp_directory_path() / "qvds-form-shot.png").string();
  options.measurements = 3;
  Controller c("form", options, probe, view());
  ASSERT_TRUE(c.start_shot(BusChoice{})) << c.last_error();
  EXPECT_TRUE(probe.recording());
  ASSERT_TRUE(pump_until([&] { return seen.shots_due > 0 && idle(c); }, 30s));
  EXPECT_EQ(seen.measurements.size(), 3u);
  EXPECT_EQ(seen.shots_due, 1);
  // Asked to stop from inside a handler, the probe records until the
  // loop waits again.
  probe.waiting();
  EXPECT_FALSE(probe.recording());

  // The exit status: 0 when the picture was saved and a temperature is
  // shown; 1 when either is missing.
  testing::internal::CaptureStdout();
  const int saved = c.finish_shot(seen.rows, c.status(), 640, 480, true);
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_EQ(saved, 0) << report;
  EXPECT_NE(report.find("TMEXerror: none"), std::string::npos) << report;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.finish_shot(seen.rows, c.status(), 640, 480, false), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write " + options.shot), std::string::npos);
  std::vector<SensorRow> unread = seen.rows;
  for (SensorRow& row : unread) row.temp.clear();
  testing::internal::CaptureStdout();
  EXPECT_EQ(c.finish_shot(unread, c.status(), 640, 480, true), 1);
  testing::internal::GetCapturedStdout();
}

}  // namespace
