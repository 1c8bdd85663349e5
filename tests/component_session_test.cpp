// The component's sessions on the simulated driver: opening, reopening,
// closing, a worker's failure ending one, and what destroying the
// component does to the session it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/errors.hpp"
#include "rtl/window_api.hpp"
#include "support/component_events.hpp"
#include "support/component_fixture.hpp"
#include "support/pump.hpp"

using onewire::Op;
using testing_support::EventLog;
using testing_support::pump_until;

using ComponentSessionTest = testing_support::ComponentFixture;

namespace {

// The component's text for a driver call that failed. Appended piece by
// piece: GCC 12 at -O3 takes "literal" + std::string for an out-of-bounds
// copy (a false -Warray-bounds).
std::string call_error(std::string_view call, std::int32_t code) {
  std::string text(call);
  text += " error: ";
  text += std::to_string(code);
  return text;
}

}  // namespace

TEST_F(ComponentSessionTest, OpenSucceedsAndKeepsAnEarlierErrorText) {
  add_thermometer(0x28, 1, 20.0);
  c.TMEXerror = "earlier";
  EXPECT_EQ(c.TMEXOpenSession(), 1);
  EXPECT_TRUE(c.SesionActive());
  EXPECT_GT(c.FSesionHandle.load(), 0);
  EXPECT_EQ(c.TMEXerror.str(), "earlier");
  EXPECT_EQ(log.names(), (std::vector<std::string>{"SessionActive"}));
}

TEST_F(ComponentSessionTest, OpeningTwiceEndsTheFirstSessionFirst) {
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

TEST_F(ComponentSessionTest, OpenOutcomes) {
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
       call_error("TMExtendedStartSession", onewire::kErrPortUnavailable), onewire::kErrPortUnavailable,
       {"SessionError"}},
      {"invalid session",
       [this](TQvDs18x20&) { driver->fail(Op::kValidSession, 1, -12); }, -12, false, "TMSetup error: -12", -12,
       {"SessionError"}},
      {"speed not taken", [this](TQvDs18x20&) { driver->refuse_speed(true); }, 1, false, "before", 0,
       {"SessionError"}},
  };
  for (const auto& k : cases) {
    driver->clear_faults();
    TQvDs18x20 fresh(nullptr);
    EventLog events;
    events.attach(fresh);
    fresh.TMEXerror = "before";
    k.arrange(fresh);
    const std::int32_t handle_before = fresh.FSesionHandle;
    EXPECT_EQ(fresh.TMEXOpenSession(), k.result) << k.what;
    EXPECT_EQ(fresh.SesionActive(), k.active) << k.what;
    EXPECT_EQ(fresh.TMEXerror.str(), k.error) << k.what;
    EXPECT_EQ(fresh.LastResult(), k.code) << k.what;
    EXPECT_EQ(events.names(), k.events) << k.what;
    const std::string what = k.what;
    if (what == "designer") {
      EXPECT_EQ(fresh.FSesionHandle.load(), handle_before);
    } else if (what == "unknown port") {
      EXPECT_EQ(fresh.FSesionHandle.load(), onewire::kErrPortUnavailable);
    } else if (what == "speed not taken") {
      EXPECT_EQ(TMValidSession(fresh.FSesionHandle), 1) << "left open";
    }
    fresh.SetDesigning(false);
    fresh.TMEXCloseSession();
  }
}

TEST_F(ComponentSessionTest, ClosingReportsAndIsSkippedInDesignerAndWhileLoading) {
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
  EXPECT_EQ(c.TMEXerror.str(), call_error("TMEndSession", onewire::kErrSessionInvalid));
  EXPECT_EQ(c.LastResult(), onewire::kErrSessionInvalid);
  EXPECT_EQ(log.names().size(), 2u);
}

TEST_F(ComponentSessionTest, WorkerFailureMessageEndsTheSessionButKeepsSesionActive) {
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

TEST_F(ComponentSessionTest, DestroyingWithAnActiveSessionEndsItOnceWithoutEvents) {
  int fired = 0;
  std::int32_t handle = 0;
  {
    TQvDs18x20 doomed(nullptr);
    ASSERT_EQ(doomed.TMEXOpenSession(), 1);
    handle = doomed.FSesionHandle;
    doomed.OnSessionClose([&](TObject*) { ++fired; });
    doomed.OnSessionError([&](TObject*) { ++fired; });
    driver->set_logging(true);
  }
  const auto calls = driver->log();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, Op::kEndSession);
  EXPECT_EQ(calls[0].session, handle);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(driver->session_count(), 0);
}

TEST_F(ComponentSessionTest, DestroyingAfterAHalfOpenSessionFreesThePort) {
  // The speed was not taken: the driver's session stays open while the
  // component does not count it as active. Destroying the component must
  // not leave the port held for the rest of the process.
  driver->refuse_speed(true);
  {
    TQvDs18x20 doomed(nullptr);
    EXPECT_EQ(doomed.TMEXOpenSession(), 1);
    EXPECT_FALSE(doomed.SesionActive());
    EXPECT_EQ(driver->session_count(), 1);
  }
  EXPECT_EQ(driver->session_count(), 0);
  driver->refuse_speed(false);
  TQvDs18x20 next(nullptr);
  EXPECT_EQ(next.TMEXOpenSession(), 1);
  EXPECT_TRUE(next.SesionActive());
}
