// The hidden windows and the main thread's queue on Windows: real
// message-only windows served by the system's queue, with Synchronize
// requests travelling through the same queue.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/errors.hpp"
#include "rtl/messages.hpp"
#include "rtl/thread.hpp"
#include "rtl/window_api.hpp"
#include "support/pump.hpp"
#include "support/sim_fixture.hpp"
#include "win32/native.hpp"

using onewire::Op;
using testing_support::pump_until;

namespace {

constexpr std::uint32_t kWmDestroy = 0x0002;
constexpr std::uint32_t kWmNcDestroy = 0x0082;
constexpr std::uint32_t kWmUser = 0x0400;

// Every message a window's method saw, in order.
struct Seen {
  std::vector<std::uint32_t> msgs;
  std::vector<std::uint32_t> threads;
  TWndMethod Method() {
    return [this](TMessage& m) {
      msgs.push_back(m.Msg);
      threads.push_back(native::CurrentThreadId());
    };
  }
};

// A worker that runs one body and stays joinable, so the test decides
// when it is over.
class Worker : public TThread {
 public:
  explicit Worker(std::function<void(Worker&)> body) : TThread(true), body_(std::move(body)) {}
  void Sync(const std::function<void()>& fn) { Synchronize(fn); }

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(Worker&)> body_;
};

}  // namespace

TEST(HiddenWindow, IsAMessageOnlyWindowOfTheCallingThreadWithItsOwnProcedure) {
  Seen seen;
  HWND wnd = AllocateHWnd(seen.Method());
  ASSERT_NE(wnd, nullptr);
  EXPECT_TRUE(native::Exists(wnd));
  EXPECT_TRUE(native::IsMessageOnly(wnd));
  EXPECT_EQ(native::WindowThreadId(wnd), native::CurrentThreadId());
  EXPECT_FALSE(native::HasDefaultProcedure(wnd));
  EXPECT_TRUE(IsWindow(wnd));
  // Creation messages went to the default procedure, not to the method.
  EXPECT_TRUE(seen.msgs.empty());
  DeallocateHWnd(wnd);
  EXPECT_FALSE(native::Exists(wnd));
  EXPECT_FALSE(IsWindow(wnd));
}

TEST(HiddenWindow, WindowOfAWorkerThreadIsServedOnThatThreadOnly) {
  std::atomic<HWND> wnd{nullptr};
  std::atomic<bool> posted{false};
  std::atomic<std::uint32_t> owner{0};
  Seen seen;
  std::thread worker([&] {
    owner = native::CurrentThreadId();
    wnd = AllocateHWnd(seen.Method());
    while (!posted) std::this_thread::yield();
    // The main thread's pumping must not have taken this thread's message.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.msgs.empty() && std::chrono::steady_clock::now() < deadline)
      HandleMessage(std::chrono::milliseconds(50));
    DeallocateHWnd(wnd);
  });
  while (wnd.load() == nullptr) std::this_thread::yield();
  ASSERT_TRUE(PostMessage(wnd, kWmUser + 1, 0, 0));
  EXPECT_EQ(ProcessMessages(), 0);
  posted = true;
  worker.join();
  ASSERT_EQ(seen.msgs, std::vector<std::uint32_t>{kWmUser + 1});
  EXPECT_EQ(seen.threads[0], owner.load());
}

TEST(HiddenWindow, PostsFromManyThreadsKeepEachThreadsOrder) {
  std::mutex mu;
  std::vector<std::pair<std::uintptr_t, std::intptr_t>> got;  // (thread, sequence)
  std::vector<std::uint32_t> threads;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    std::lock_guard<std::mutex> lock(mu);
    got.emplace_back(m.WParam, m.LParam);
    threads.push_back(native::CurrentThreadId());
  });
  constexpr int kPerThread = 400;
  std::vector<std::thread> posters;
  for (std::uintptr_t t = 0; t < 3; ++t) {
    posters.emplace_back([wnd, t] {
      for (std::intptr_t i = 0; i < kPerThread; ++i) {
        // Half through the layer, half straight through the system: both
        // land in the same queue.
        if (i % 2 == 0)
          PostMessage(wnd, kWmUser + 7, t, i);
        else
          native::Post(wnd, kWmUser + 7, t, i);
      }
    });
  }
  for (auto& p : posters) p.join();
  ASSERT_TRUE(pump_until([&] { return got.size() == 3 * kPerThread; }));
  std::vector<std::intptr_t> next(3, 0);
  for (const auto& [t, i] : got) {
    ASSERT_LT(t, 3u);
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
  for (std::uint32_t id : threads) EXPECT_EQ(id, native::CurrentThreadId());
  DeallocateHWnd(wnd);
}

TEST(HiddenWindow, SentMessageGetsTheMethodsResult) {
  HWND wnd = AllocateHWnd([](TMessage& m) {
    if (m.Msg == kWmUser + 2)
      m.Result = static_cast<LRESULT>(m.WParam * 2 + static_cast<WPARAM>(m.LParam));
    else
      m.Result = DefWindowProc(nullptr, m.Msg, m.WParam, m.LParam);
  });
  EXPECT_EQ(native::Send(wnd, kWmUser + 2, 20, 2), 42);
  // A message the method hands to the default procedure answers 0.
  EXPECT_EQ(native::Send(wnd, kWmUser + 3, 20, 2), 0);
  DeallocateHWnd(wnd);
}

TEST(HiddenWindow, DeallocateDiscardsQueuedMessagesAndDetachesBeforeDestroying) {
  Seen seen;
  HWND wnd = AllocateHWnd(seen.Method());
  for (std::uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(PostMessage(wnd, kWmUser + i, 0, 0));
  ASSERT_TRUE(native::PostedMessagesWaiting());
  DeallocateHWnd(wnd);
  EXPECT_FALSE(native::PostedMessagesWaiting());
  EXPECT_EQ(ProcessMessages(), 0);
  // Neither the queued messages nor the destruction's own messages
  // reached the method: it was detached first.
  for (std::uint32_t m : seen.msgs) {
    EXPECT_NE(m, kWmDestroy);
    EXPECT_NE(m, kWmNcDestroy);
  }
  EXPECT_TRUE(seen.msgs.empty());
  EXPECT_FALSE(PostMessage(wnd, kWmUser, 0, 0));
  // Handles are not handed out again at once.
  HWND other = AllocateHWnd([](TMessage&) {});
  EXPECT_NE(other, wnd);
  DeallocateHWnd(other);
}

TEST(HiddenWindow, WindowMayDeallocateItselfFromItsOwnMethod) {
  HWND wnd = nullptr;
  std::vector<std::uint32_t> seen;
  auto guard = std::make_shared<int>(7);
  std::weak_ptr<int> watch = guard;
  wnd = AllocateHWnd([&seen, &wnd, guard](TMessage& m) {
    seen.push_back(m.Msg);
    DeallocateHWnd(wnd);
    // The method object is still alive while it runs.
    EXPECT_EQ(*guard, 7);
  });
  guard.reset();
  PostMessage(wnd, kWmUser + 1, 0, 0);
  PostMessage(wnd, kWmUser + 2, 0, 0);
  ProcessMessages();
  EXPECT_EQ(seen, std::vector<std::uint32_t>{kWmUser + 1});
  EXPECT_FALSE(IsWindow(wnd));
  // Released once its last call returned.
  EXPECT_TRUE(watch.expired());
}

TEST(HiddenWindow, DeallocateLeavesForeignAndNullHandlesAlone) {
  HWND foreign = native::MakeForeignWindow();
  ASSERT_NE(foreign, nullptr);
  const std::intptr_t proc = native::Procedure(foreign);
  DeallocateHWnd(foreign);
  EXPECT_TRUE(native::Exists(foreign));
  EXPECT_EQ(native::Procedure(foreign), proc);
  DeallocateHWnd(nullptr);
  native::DestroyForeignWindow(foreign);
}

TEST(HiddenWindow, ExceptionFromAMethodReachesTheCallerAndLaterMessagesStayQueued) {
  std::vector<std::uint32_t> seen;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    seen.push_back(m.Msg);
    if (m.Msg == kWmUser + 1) throw std::runtime_error("handler failed");
  });
  PostMessage(wnd, kWmUser + 1, 0, 0);
  PostMessage(wnd, kWmUser + 2, 0, 0);
  EXPECT_THROW(ProcessMessages(), std::runtime_error);
  EXPECT_EQ(seen, std::vector<std::uint32_t>{kWmUser + 1});
  EXPECT_EQ(ProcessMessages(), 1);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{kWmUser + 1, kWmUser + 2}));
  DeallocateHWnd(wnd);
}

TEST(MainQueue, WaitMessageSeesQueuedWorkAndTimesOutOnAnEmptyQueue) {
  ProcessMessages();
  EXPECT_FALSE(WaitMessage(std::chrono::milliseconds(30)));
  int delivered = 0;
  HWND wnd = AllocateHWnd([&](TMessage&) { ++delivered; });
  std::thread poster([wnd] { PostMessage(wnd, kWmUser, 0, 0); });
  EXPECT_TRUE(WaitMessage(std::chrono::seconds(10)));
  poster.join();
  // A message that was already there when the wait began counts as well.
  EXPECT_TRUE(WaitMessage(std::chrono::seconds(10)));
  EXPECT_EQ(ProcessMessages(), 1);
  EXPECT_EQ(delivered, 1);
  DeallocateHWnd(wnd);
}

TEST(MainQueue, WakeUpEndsAWaitAndIsNotCountedAsAMessage) {
  ProcessMessages();
  std::thread waker([] { WakeMainThread(); });
  EXPECT_TRUE(WaitMessage(std::chrono::seconds(10)));
  waker.join();
  for (int i = 0; i < 50; ++i) WakeMainThread();
  EXPECT_EQ(ProcessMessages(), 0);
  EXPECT_FALSE(native::PostedMessagesWaiting());
  // A wake-up after the merged ones is delivered again.
  std::thread again([] { WakeMainThread(); });
  again.join();
  EXPECT_TRUE(WaitMessage(std::chrono::seconds(10)));
  EXPECT_EQ(ProcessMessages(), 0);
}

TEST(MainQueue, HasNoPollableDescriptor) { EXPECT_EQ(MessageQueueFd(), -1); }

TEST(MainQueue, SynchronizeKeepsItsPlaceAmongPostedMessages) {
  std::vector<std::string> log;
  HWND wnd = AllocateHWnd([&](TMessage& m) { log.push_back("msg" + std::to_string(m.WParam)); });
  Worker worker([&](Worker& self) {
    PostMessage(wnd, kWmUser, 1, 0);
    self.Sync([&] { log.push_back("sync"); });
    PostMessage(wnd, kWmUser, 2, 0);
  });
  worker.Resume();
  ASSERT_TRUE(pump_until([&] { return log.size() == 3; }));
  EXPECT_EQ(log, (std::vector<std::string>{"msg1", "sync", "msg2"}));
  worker.WaitFor();
  DeallocateHWnd(wnd);
}

TEST(MainQueue, CheckSynchronizeRunsOnlyRequestsAndLeavesWindowMessagesQueued) {
  std::vector<std::string> log;
  HWND wnd = AllocateHWnd([&](TMessage&) { log.push_back("msg"); });
  std::atomic<bool> synced{false};
  Worker worker([&](Worker& self) {
    PostMessage(wnd, kWmUser, 0, 0);
    self.Sync([&] { log.push_back("sync"); });
    synced = true;
  });
  worker.Resume();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!synced && std::chrono::steady_clock::now() < deadline) CheckSynchronize(std::chrono::milliseconds(50));
  ASSERT_TRUE(synced);
  EXPECT_EQ(log, std::vector<std::string>{"sync"});
  EXPECT_TRUE(native::PostedMessagesWaiting());
  worker.WaitFor();
  EXPECT_EQ(ProcessMessages(), 1);
  EXPECT_EQ(log, (std::vector<std::string>{"sync", "msg"}));
  DeallocateHWnd(wnd);
}

TEST(MainQueue, CheckSynchronizeReturnsAtItsTimeoutWithNothingToRun) {
  EXPECT_EQ(CheckSynchronize(std::chrono::milliseconds(0)), 0);
  EXPECT_EQ(CheckSynchronize(std::chrono::milliseconds(20)), 0);
  // Off the main thread it does nothing.
  int elsewhere = -1;
  std::thread other([&] { elsewhere = CheckSynchronize(std::chrono::milliseconds(10)); });
  other.join();
  EXPECT_EQ(elsewhere, 0);
}

TEST(MainQueue, SynchronizeRunsInsideAForeignMessageLoop) {
  // A modal loop (a message box, a menu) dispatches with the system's
  // functions only; requests must still reach the main thread.
  std::atomic<bool> ran{false};
  std::uint32_t ran_on = 0;
  Worker worker([&](Worker& self) {
    self.Sync([&] { ran_on = native::CurrentThreadId(); });
    ran = true;
  });
  worker.Resume();
  ASSERT_TRUE(native::RunForeignLoop([&] { return ran.load(); }, std::chrono::seconds(10)));
  EXPECT_EQ(ran_on, native::CurrentThreadId());
  worker.WaitFor();
}

TEST(MainQueue, SynchronizeRaisesTheMethodsExceptionInTheWorker) {
  std::string caught;
  Worker worker([&](Worker& self) {
    try {
      self.Sync([] { throw std::runtime_error("from main"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  worker.Resume();
  worker.WaitFor();
  EXPECT_EQ(caught, "from main");
}

// --- the component's window on the real queue ---

namespace {

class WindowComponentTest : public testing_support::SimFixture {};

struct Events {
  std::vector<std::string> names;
  void Attach(TQvDs18x20& c) {
    c.OnSessionError([this](TObject*) { names.push_back("SessionError"); });
    c.OnGetSensorCount([this](TObject*) { names.push_back("GetSensorCount"); });
    c.OnGetTemp([this](TObject*) { names.push_back("GetTemp"); });
  }
};

}  // namespace

TEST_F(WindowComponentTest, WorkerErrorPostedByAnotherThreadEndsTheSessionOnTheMainThread) {
  TQvDs18x20 c(nullptr);
  ASSERT_EQ(c.TMEXOpenSession(), 1);
  const std::int32_t handle = c.FSesionHandle;
  ASSERT_EQ(TMValidSession(handle), 1);
  Events events;
  events.Attach(c);
  const auto closes = driver->calls(Op::kClose);
  const auto ends = driver->calls(Op::kEndSession);
  std::thread poster([&] { native::Post(c.FQvDs18x20, WM_QV_WORKER_ERROR, 0, 0); });
  poster.join();
  // Nothing happens until the main thread serves its queue.
  EXPECT_TRUE(events.names.empty());
  ASSERT_TRUE(pump_until([&] { return !events.names.empty(); }));
  EXPECT_EQ(events.names, std::vector<std::string>{"SessionError"});
  EXPECT_EQ(driver->calls(Op::kClose), closes + 1);
  EXPECT_EQ(driver->calls(Op::kEndSession), ends + 1);
  EXPECT_NE(TMValidSession(handle), 1);
}

TEST_F(WindowComponentTest, ReservedMessageIsSwallowedAndOthersBecomeEvents) {
  TQvDs18x20 c(nullptr);
  Events events;
  events.Attach(c);
  const auto before = driver->calls(Op::kClose);
  std::thread poster([&] {
    native::Post(c.FQvDs18x20, WM_QV_RESERVED, 0, 0);
    native::Post(c.FQvDs18x20, WM_QV_SENSOR_COUNT, 0, 0);
    native::Post(c.FQvDs18x20, WM_QV_TEMPERATURES, 0, 0);
  });
  poster.join();
  ASSERT_TRUE(pump_until([&] { return events.names.size() == 2; }));
  EXPECT_EQ(events.names, (std::vector<std::string>{"GetSensorCount", "GetTemp"}));
  EXPECT_EQ(driver->calls(Op::kClose), before);
  // Sent rather than posted, the reserved message answers 0 as well.
  EXPECT_EQ(native::Send(c.FQvDs18x20, WM_QV_RESERVED, 0, 0), 0);
  EXPECT_EQ(events.names.size(), 2u);
}

TEST_F(WindowComponentTest, DestroyedComponentsQueuedMessagesReachNobody) {
  Events events;
  HWND wnd = nullptr;
  {
    TQvDs18x20 c(nullptr);
    events.Attach(c);
    wnd = c.FQvDs18x20;
    ASSERT_TRUE(PostMessage(wnd, WM_QV_SENSOR_COUNT, 0, 0));
    ASSERT_TRUE(PostMessage(wnd, WM_QV_WORKER_ERROR, 0, 0));
  }
  EXPECT_FALSE(native::Exists(wnd));
  EXPECT_EQ(ProcessMessages(), 0);
  EXPECT_TRUE(events.names.empty());
}
