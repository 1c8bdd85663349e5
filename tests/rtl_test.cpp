// The run-time layer on its own: text conversions, string lists,
// ownership, the message queue and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "rtl/classes.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"
#include "rtl/sysutils.hpp"
#include "rtl/thread.hpp"
#include "rtl/window_api.hpp"
#include "support/pump.hpp"

using testing_support::pump_until;

// Numbers below this belong to the system on Windows, which refuses to
// post some of them.
constexpr std::uint32_t kFirstUserMessage = 0x400;

TEST(SysUtils, IntegerTextBothWays) {
  EXPECT_EQ(IntToStr(-501), "-501");
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(IntToHex(0x28, 2), "28");
  EXPECT_EQ(IntToHex(0xd7, 2), "D7");
  EXPECT_EQ(IntToHex(0x5, 2), "05");
  EXPECT_EQ(IntToHex(0x1234, 2), "1234");  // minimum, not maximum

  EXPECT_EQ(StrToIntDef("12", 1), 12);
  EXPECT_EQ(StrToIntDef("-1", 1), -1);
  EXPECT_EQ(StrToIntDef("+7", 1), 7);
  EXPECT_EQ(StrToIntDef("2147483647", 1), 2147483647);
  EXPECT_EQ(StrToIntDef("-2147483648", 1), -2147483647 - 1);
  for (const char* bad : {"", "X", "-", "1 ", " 1", "1x", "2147483648", "-2147483649", "99999999999999999999"})
    EXPECT_EQ(StrToIntDef(bad, 1), 1) << bad;
}

TEST(SysUtils, TrimAndCharacters) {
  EXPECT_EQ(Trim("  COM3\t\r\n"), "COM3");
  EXPECT_EQ(Trim(std::string("\x01 a b \x1f", 7)), "a b");
  EXPECT_EQ(Trim("   "), "");
  std::string s;
  AppendLatin1(s, 'A');
  AppendLatin1(s, 0xB0);  // degree sign
  AppendLatin1(s, 0xFF);
  EXPECT_EQ(s, "A\xC2\xB0\xC3\xBF");
}

TEST(StringList, EntriesObjectsAndIndexErrors) {
  TStringList list;
  TObject a, b;
  EXPECT_EQ(list.AddObject("one", &a), 0);
  EXPECT_EQ(list.Add("two"), 1);
  list.PutObject(1, &b);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Objects(0), &a);
  EXPECT_EQ(list[1], "two");
  EXPECT_THROW(list.Objects(2), EListError);
  EXPECT_THROW(list.Strings(-1), EListError);
  EXPECT_THROW(list.Delete(5), EListError);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Objects(0), &b);
}

TEST(StringList, SortIsCaseInsensitiveTextOrderAndAssignReplaces) {
  TStringList list;
  for (const char* s : {"COM3", "com10", "COM1", "COM2", "COM10"}) list.Add(s);
  list.Sort();
  std::vector<std::string> got;
  for (int i = 0; i < list.Count(); ++i) got.push_back(list[i]);
  EXPECT_EQ(got, (std::vector<std::string>{"COM1", "com10", "COM10", "COM2", "COM3"}));

  TStringList target;
  target.Add("old");
  target.Add("older");
  target.Assign(list);
  ASSERT_EQ(target.Count(), 5);
  EXPECT_EQ(target[0], "COM1");
}

namespace {
struct Tracked : TComponent {
  Tracked(TComponent* owner, std::vector<int>& log, int id) : TComponent(owner), log_(log), id_(id) {}
  ~Tracked() override { log_.push_back(id_); }
  std::vector<int>& log_;
  int id_;
};
}  // namespace

TEST(Component, OwnerFreesOwnedLastFirstAndChildLeavesItsOwner) {
  std::vector<int> freed;
  {
    Tracked owner(nullptr, freed, 0);
    new Tracked(&owner, freed, 1);
    auto* second = new Tracked(&owner, freed, 2);
    new Tracked(&owner, freed, 3);
    delete second;  // leaves the owner's list
    EXPECT_EQ(owner.ComponentCount(), 2);
  }
  // The owner's own destructor body runs first, then its base frees the
  // children from the last to the first.
  EXPECT_EQ(freed, (std::vector<int>{2, 0, 3, 1}));
}

TEST(MessageQueue, DeliversInPostingOrderOnTheOwningThread) {
  std::vector<std::uint32_t> seen;
  std::thread::id where;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    seen.push_back(m.Msg);
    where = std::this_thread::get_id();
  });
  std::thread poster([&] {
    for (std::uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(PostMessage(wnd, kFirstUserMessage + i, 0, 0));
  });
  poster.join();
  EXPECT_TRUE(pump_until([&] { return seen.size() == 100; }));
  for (std::uint32_t i = 0; i < 100; ++i) ASSERT_EQ(seen[i], kFirstUserMessage + i);
  EXPECT_EQ(where, std::this_thread::get_id());
  DeallocateHWnd(wnd);
}

TEST(MessageQueue, DestroyedWindowGetsNothingAndPostFails) {
  int delivered = 0;
  HWND wnd = AllocateHWnd([&](TMessage&) { ++delivered; });
  ASSERT_TRUE(PostMessage(wnd, 1001, 0, 0));
  DeallocateHWnd(wnd);  // the queued message goes with the window
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_FALSE(PostMessage(wnd, 1001, 0, 0));
  ProcessMessages();
  EXPECT_EQ(delivered, 0);
  // A new window never reuses the handle.
  HWND other = AllocateHWnd([](TMessage&) {});
  EXPECT_NE(other, wnd);
  DeallocateHWnd(other);
}

namespace {
class Probe : public TThread {
 public:
  explicit Probe(std::atomic<int>& stage) : TThread(true), stage_(stage) {}
  std::thread::id sync_thread;
  std::thread::id body_thread;

 protected:
  void Execute() override {
    body_thread = std::this_thread::get_id();
    stage_ = 1;
    Synchronize([this] {
      sync_thread = std::this_thread::get_id();
      stage_ = 2;
    });
    EXPECT_EQ(stage_.load(), 2);  // the worker waited for the main thread
    Sleep(60000);                 // through the clock: returns at once in tests
    stage_ = 3;
  }

 private:
  std::atomic<int>& stage_;
};
}  // namespace

TEST(Thread, SynchronizeAndTerminationRunOnTheMainThread) {
  rtl::SkipClock clock;
  rtl::ClockGuard guard(clock);
  std::atomic<int> stage{0};
  std::thread::id terminate_thread;
  auto* t = new Probe(stage);
  t->OnTerminate = [&](TObject*) { terminate_thread = std::this_thread::get_id(); };
  t->Resume();
  t->WaitFor();  // serves the Synchronize and the termination handler
  EXPECT_EQ(stage.load(), 3);
  EXPECT_EQ(t->sync_thread, std::this_thread::get_id());
  EXPECT_NE(t->body_thread, std::this_thread::get_id());
  EXPECT_EQ(terminate_thread, std::this_thread::get_id());
  EXPECT_GE(clock.skipped(), std::chrono::seconds(60));
  delete t;
}

TEST(Thread, FreeOnTerminateFreesAfterTheHandler) {
  std::atomic<int> stage{0};
  bool terminated = false;
  auto* t = new Probe(stage);
  t->FreeOnTerminate = true;
  rtl::SkipClock clock;
  rtl::ClockGuard guard(clock);
  t->OnTerminate = [&](TObject*) { terminated = true; };
  t->Resume();
  EXPECT_TRUE(pump_until([&] { return terminated; }));
  // The object frees itself; ASan reports a leak or a double free if not.
  EXPECT_TRUE(pump_until([] { return TThread::RunningCount() == 0; }));
}

TEST(Clock, ProductionWaitsOnTheRealClock) {
  // Unless a test installs one, every wait of the library is a real one,
  // and a test's clock goes with its guard.
  EXPECT_NE(dynamic_cast<rtl::RealClock*>(&rtl::GetClock()), nullptr);
  {
    rtl::SkipClock skip;
    rtl::ClockGuard guard(skip);
    EXPECT_EQ(&rtl::GetClock(), &skip);
  }
  EXPECT_NE(dynamic_cast<rtl::RealClock*>(&rtl::GetClock()), nullptr);
  rtl::SkipClock other;
  rtl::SetClock(&other);
  rtl::SetClock(nullptr);
  EXPECT_NE(dynamic_cast<rtl::RealClock*>(&rtl::GetClock()), nullptr);
}
