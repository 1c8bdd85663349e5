// What the component's suites share: a log of the events a component
// fired and on which thread, and an operation run to its end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/messages.hpp"
#include "support/pump.hpp"

namespace testing_support {

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
inline void run_op(TQvDs18x20& c, void (TQvDs18x20::*starter)()) {
  (c.*starter)();
  EXPECT_TRUE(c.Working());
  ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }));
  ProcessMessages();
  EXPECT_FALSE(c.Busy());
}

}  // namespace testing_support
