// Our driver (BusDriver) over a link the test can break: the result code of
// every failure, the search state the caller's buffer carries from call to
// call, and a session ended by one thread while another is using it.
#include "onewire/driver.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"

namespace {

using onewire::BusDriver;
using onewire::Rom;
using RomWords = std::array<std::uint16_t, 8>;

// What the test does to the links the driver makes, and what it saw of
// them. Shared between the test thread and a caller's thread.
struct LinkControl {
  std::atomic<int> open_result{1};
  // When negative, every bus primitive answers it (a port that failed).
  std::atomic<int> io_error{0};
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};

  // The next touch_byte waits inside the link until release() is called.
  std::mutex mu;
  std::condition_variable cv;
  bool hold_next_byte = false;
  bool holding = false;
  bool released = false;
  std::vector<std::string> order;  // "byte" when a held byte returns, "close"

  void note(const char* what) {
    std::lock_guard<std::mutex> lock(mu);
    order.emplace_back(what);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mu);
    released = true;
    cv.notify_all();
  }
  bool wait_holding() {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(10), [this] { return holding; });
  }
};

// The simulated bus behind a link whose opening and port the test controls.
class ControlledLink final : public onewire::Link {
 public:
  ControlledLink(std::shared_ptr<onewire::sim::SimBus> bus, std::shared_ptr<LinkControl> control)
      : sim_(std::move(bus)), control_(std::move(control)) {}

  int open() override {
    ++control_->opens;
    const int result = control_->open_result;
    if (result == 1) sim_.open();
    return result;
  }
  void close() override {
    ++control_->closes;
    control_->note("close");
    sim_.close();
  }
  bool is_open() const override { return sim_.is_open(); }
  int reset() override { return control_->io_error < 0 ? control_->io_error.load() : sim_.reset(); }
  int touch_bit(int bit) override { return control_->io_error < 0 ? control_->io_error.load() : sim_.touch_bit(bit); }
  int touch_byte(int byte) override {
    bool held = false;
    {
      std::unique_lock<std::mutex> lock(control_->mu);
      if (control_->hold_next_byte) {
        control_->hold_next_byte = false;
        control_->holding = true;
        held = true;
        control_->cv.notify_all();
        control_->cv.wait(lock, [this] { return control_->released; });
      }
    }
    const int result = control_->io_error < 0 ? control_->io_error.load() : sim_.touch_byte(byte);
    if (held) control_->note("byte");
    return result;
  }
  int set_speed(onewire::Speed speed) override { return sim_.set_speed(speed); }
  const char* name() const override { return "controlled"; }

 private:
  onewire::sim::SimLink sim_;
  std::shared_ptr<LinkControl> control_;
};

constexpr int kPort = 4;
constexpr int kType = 5;

class DriverTest : public ::testing::Test {
 protected:
  DriverTest()
      : driver([this](int port, int type, std::int16_t& error) -> std::unique_ptr<onewire::Link> {
                 if (port != kPort) {
                   error = factory_error;
                   return nullptr;
                 }
                 (void)type;
                 return std::make_unique<ControlledLink>(bus, control);
               },
               "test driver", [](int type) { return type == kType; }) {}

  std::int32_t start() { return driver.TMExtendedStartSession(kPort, kType, nullptr); }

  std::shared_ptr<onewire::sim::Ds18x20> add_thermometer(std::uint64_t serial, double celsius = 20.0) {
    return testing_support::sim_bus_builder(bus).add_sensor(0x28, serial, celsius).last_sensor();
  }

  // The ROM TMRom reports as current.
  Rom current_rom(std::int32_t session, std::vector<std::uint8_t>& state) {
    RomWords words{};
    EXPECT_EQ(driver.TMRom(session, state.data(), words.data()), 1);
    Rom rom{};
    for (std::size_t k = 0; k < 8; ++k) rom[k] = static_cast<std::uint8_t>(words[k]);
    return rom;
  }

  rtl::SkipClock clock;
  rtl::ClockGuard clock_guard{clock};
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
  std::shared_ptr<LinkControl> control = std::make_shared<LinkControl>();
  std::int16_t factory_error = onewire::kErrPortUnavailable;
  BusDriver driver;
};

std::vector<std::uint8_t> fresh_state() { return std::vector<std::uint8_t>(onewire::kStateBufferSize); }

TEST_F(DriverTest, StartingASession) {
  EXPECT_EQ(driver.TMExtendedStartSession(kPort, 1, nullptr), onewire::kErrAdapterType);
  EXPECT_EQ(driver.TMExtendedStartSession(kPort + 1, kType, nullptr), onewire::kErrPortUnavailable);
  factory_error = 0;  // a factory that refuses without saying why
  EXPECT_EQ(driver.TMExtendedStartSession(kPort + 1, kType, nullptr), onewire::kErrPortUnavailable);
  factory_error = onewire::kErrPortIo;
  EXPECT_EQ(driver.TMExtendedStartSession(kPort + 1, kType, nullptr), onewire::kErrPortIo);

  // An adapter that does not come up: its own code, or no response; the
  // port is released either way.
  control->open_result = 0;
  EXPECT_EQ(start(), onewire::kErrAdapterNoResponse);
  control->open_result = onewire::kErrPortUnavailable;
  EXPECT_EQ(start(), onewire::kErrPortUnavailable);
  EXPECT_EQ(control->closes.load(), 2);
  EXPECT_EQ(driver.session_count(), 0);

  control->open_result = 1;
  const std::int32_t first = start();
  ASSERT_GT(first, 0);
  EXPECT_EQ(start(), 0) << "the port is held";
  EXPECT_EQ(driver.session_count(), 1);
  EXPECT_EQ(driver.TMEndSession(first), 1);
  const std::int32_t second = start();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first) << "an ended handle is never handed out again";
}

TEST_F(DriverTest, VersionText) {
  std::array<char, 101> text;
  text.fill('#');
  EXPECT_EQ(driver.TMGetTypeVersion(1, text.data()), onewire::kErrAdapterType);
  EXPECT_EQ(text[0], '#');
  EXPECT_EQ(driver.TMGetTypeVersion(kType, nullptr), onewire::kErrAdapterType);
  EXPECT_EQ(driver.TMGetTypeVersion(kType, text.data()), 1);
  EXPECT_STREQ(text.data(), "test driver");

  BusDriver wordy(nullptr, std::string(150, 'v'), [](int) { return true; });
  text.fill('#');
  EXPECT_EQ(wordy.TMGetTypeVersion(1, text.data()), 1);
  EXPECT_EQ(std::strlen(text.data()), 100u) << "at most 100 characters and the zero";
}

TEST_F(DriverTest, SpeedsOutsideTheThreeAreRefused) {
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  EXPECT_EQ(driver.TMOneWireCom(h, 1, 0), onewire::kErrSpeed) << "only setting the speed is known";
  EXPECT_EQ(driver.TMOneWireCom(h, 0, 3), onewire::kErrSpeed);
  EXPECT_EQ(driver.TMOneWireCom(h, 0, -1), onewire::kErrSpeed);
  for (std::int16_t speed : {2, 1, 0}) {
    EXPECT_EQ(driver.TMOneWireCom(h, 0, speed), speed);
    EXPECT_EQ(static_cast<int>(bus->speed()), speed);
  }
}

TEST_F(DriverTest, SearchStateTravelsInTheCallersBuffer) {
  testing_support::SensorBus sensors(5);
  bus = sensors.bus;
  const auto expected = sensors.sorted_roms();
  const std::int32_t h = start();
  ASSERT_GT(h, 0);

  auto walk = fresh_state();
  std::vector<Rom> found;
  for (int r = driver.TMFirst(h, walk.data()); r == 1 && found.size() < 10; r = driver.TMNext(h, walk.data()))
    found.push_back(current_rom(h, walk));
  EXPECT_EQ(found, expected);
  // The search completed: the next TMNext starts over.
  EXPECT_EQ(driver.TMNext(h, walk.data()), 1);
  EXPECT_EQ(current_rom(h, walk), expected[0]);

  // Two buffers walk independently on one session; TMFirst restarts one.
  auto other = fresh_state();
  ASSERT_EQ(driver.TMNext(h, walk.data()), 1);
  ASSERT_EQ(driver.TMFirst(h, other.data()), 1);
  ASSERT_EQ(driver.TMNext(h, walk.data()), 1);
  EXPECT_EQ(current_rom(h, walk), expected[2]);
  EXPECT_EQ(current_rom(h, other), expected[0]);
  ASSERT_EQ(driver.TMFirst(h, walk.data()), 1);
  EXPECT_EQ(current_rom(h, walk), expected[0]);

  // A buffer the driver never wrote (or overwritten by the caller) counts
  // as fresh: TMNext begins at the first device.
  std::vector<std::uint8_t> scribbled(onewire::kStateBufferSize, 0xA5);
  ASSERT_EQ(driver.TMNext(h, scribbled.data()), 1);
  EXPECT_EQ(current_rom(h, scribbled), expected[0]);

  // An empty bus: no device, and nothing current in a fresh buffer.
  for (const auto& s : sensors.sensors) bus->remove(s->rom());
  auto empty = fresh_state();
  EXPECT_EQ(driver.TMFirst(h, empty.data()), 0);
  RomWords words{};
  EXPECT_EQ(driver.TMRom(h, empty.data(), words.data()), onewire::kErrNoCurrentDevice);
}

TEST_F(DriverTest, NoCurrentDeviceWithoutASearchOrAWrittenRom) {
  const auto dev = add_thermometer(1, 23.5);
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  auto state = fresh_state();
  RomWords words{};
  EXPECT_EQ(driver.TMRom(h, state.data(), words.data()), onewire::kErrNoCurrentDevice);
  EXPECT_EQ(driver.TMAccess(h, state.data()), onewire::kErrNoCurrentDevice);
  EXPECT_EQ(driver.TMFirst(h, nullptr), onewire::kErrNoCurrentDevice);
  EXPECT_EQ(driver.TMNext(h, nullptr), onewire::kErrNoCurrentDevice);
  EXPECT_EQ(driver.TMRom(h, nullptr, words.data()), onewire::kErrNoCurrentDevice);
  EXPECT_EQ(driver.TMRom(h, state.data(), nullptr), onewire::kErrNoCurrentDevice);
  EXPECT_EQ(driver.TMAccess(h, nullptr), onewire::kErrNoCurrentDevice);

  // A ROM written with TMRom becomes current without a search, and
  // TMAccess selects that device for the function command that follows.
  for (std::size_t k = 0; k < 8; ++k) words[k] = dev->rom()[k];
  ASSERT_EQ(driver.TMRom(h, state.data(), words.data()), 1);
  EXPECT_EQ(current_rom(h, state), dev->rom());
  ASSERT_EQ(driver.TMAccess(h, state.data()), 1);
  ASSERT_EQ(driver.TMTouchByte(h, 0xBE), 0xBE);
  testing_support::Scratchpad pad{};
  for (auto& b : pad) b = static_cast<std::uint8_t>(driver.TMTouchByte(h, 0xFF));
  EXPECT_EQ(onewire::crc8(pad.data(), pad.size()), 0);
  EXPECT_EQ(pad[2], 0x4B) << "TH of a device at power-up";
}

TEST_F(DriverTest, MisreadRomIsACrcErrorAndTheNextSearchStartsOver) {
  Rom bad = onewire::sim::make_rom(0x28, 7);
  bad[7] ^= 0x01;
  testing_support::sim_bus_builder(bus).add_rom_device(bad);
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  auto state = fresh_state();
  EXPECT_EQ(driver.TMFirst(h, state.data()), onewire::kErrRomCrc);
  RomWords words{};
  EXPECT_EQ(driver.TMRom(h, state.data(), words.data()), onewire::kErrNoCurrentDevice)
      << "a misread ROM never becomes current";

  // Family 0 with a right CRC is no device either (a held-down line reads
  // zeros).
  bus->remove(bad);
  Rom zero{};
  zero[7] = onewire::crc8(zero.data(), 7);
  testing_support::sim_bus_builder(bus).add_rom_device(zero);
  EXPECT_EQ(driver.TMNext(h, state.data()), onewire::kErrRomCrc);

  bus->remove(zero);
  const auto good = add_thermometer(2);
  EXPECT_EQ(driver.TMNext(h, state.data()), 1);
  EXPECT_EQ(current_rom(h, state), good->rom());
}

TEST_F(DriverTest, ResetAccessAndSearchOnABrokenBus) {
  const auto dev = add_thermometer(1);
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  auto state = fresh_state();
  ASSERT_EQ(driver.TMFirst(h, state.data()), 1);
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kResetPresence);

  bus->set_short(true);
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kResetShort);
  EXPECT_EQ(driver.TMAccess(h, state.data()), onewire::kErrBusShort);
  EXPECT_EQ(driver.TMFirst(h, state.data()), onewire::kErrBusShort);
  bus->set_short(false);

  bus->remove(dev->rom());
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kResetNoPresence);
  EXPECT_EQ(driver.TMAccess(h, state.data()), 0) << "no device answered the selection";
  EXPECT_EQ(driver.TMFirst(h, state.data()), 0);
}

TEST_F(DriverTest, PortFailuresAndTheReopenAfterTMClose) {
  add_thermometer(1);
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  auto state = fresh_state();
  ASSERT_EQ(driver.TMFirst(h, state.data()), 1);

  control->io_error = onewire::kErrPortIo;
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kErrPortIo);
  EXPECT_EQ(driver.TMTouchByte(h, 0xFF), onewire::kErrPortIo);
  EXPECT_EQ(driver.TMAccess(h, state.data()), onewire::kErrPortIo);
  EXPECT_EQ(driver.TMFirst(h, state.data()), onewire::kErrPortIo);
  EXPECT_EQ(driver.TMValidSession(h), 1) << "the session outlives its port";
  control->io_error = 0;

  // TMClose releases the port; the next operation opens it again, or
  // answers why it could not.
  ASSERT_EQ(driver.TMClose(h), 1);
  EXPECT_EQ(control->opens.load(), 1);
  control->open_result = 0;
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kErrPortIo);
  control->open_result = onewire::kErrPortUnavailable;
  EXPECT_EQ(driver.TMTouchByte(h, 0xFF), onewire::kErrPortUnavailable);
  EXPECT_EQ(driver.TMSetup(h), onewire::kErrPortUnavailable);
  control->open_result = 1;
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kResetPresence);
  EXPECT_EQ(control->opens.load(), 5);
}

TEST_F(DriverTest, EndedAndUnknownSessions) {
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  EXPECT_EQ(driver.TMSetup(h), 1);
  EXPECT_EQ(driver.TMValidSession(h), 1);
  ASSERT_EQ(driver.TMEndSession(h), 1);
  EXPECT_EQ(control->closes.load(), 1);

  auto state = fresh_state();
  RomWords words{};
  for (const std::int32_t dead : {h, 0, -1, h + 100}) {
    SCOPED_TRACE(dead);
    EXPECT_EQ(driver.TMValidSession(dead), 0);
    EXPECT_EQ(driver.TMSetup(dead), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMOneWireCom(dead, 0, 0), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMFirst(dead, state.data()), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMNext(dead, state.data()), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMRom(dead, state.data(), words.data()), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMAccess(dead, state.data()), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMTouchReset(dead), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMTouchByte(dead, 0xFF), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMClose(dead), onewire::kErrSessionInvalid);
    EXPECT_EQ(driver.TMEndSession(dead), onewire::kErrSessionInvalid);
  }
  EXPECT_EQ(control->opens.load(), 1) << "an ended session never reopens its port";
}

TEST_F(DriverTest, SessionEndedByAnotherThreadWhileInUse) {
  add_thermometer(1);
  const std::int32_t h = start();
  ASSERT_GT(h, 0);
  {
    std::lock_guard<std::mutex> lock(control->mu);
    control->hold_next_byte = true;
  }
  std::atomic<int> worker_byte{1000};
  std::thread worker([&] { worker_byte = driver.TMTouchByte(h, 0xCC); });
  if (!control->wait_holding()) {
    control->release();
    worker.join();
    FAIL() << "the call never reached the port";
  }

  std::atomic<int> ended{1000};
  std::thread main_side([&] { ended = driver.TMEndSession(h); });
  // The session leaves the table at once, so no new call can reach it...
  EXPECT_TRUE(testing_support::pump_until([&] { return driver.session_count() == 0; }));
  EXPECT_EQ(driver.TMValidSession(h), 0);
  EXPECT_EQ(driver.TMTouchReset(h), onewire::kErrSessionInvalid);
  // ...while the call in progress finishes on the port before it closes.
  control->release();
  worker.join();
  main_side.join();
  EXPECT_EQ(worker_byte.load(), 0xCC);
  EXPECT_EQ(ended.load(), 1);
  EXPECT_EQ(control->order, (std::vector<std::string>{"byte", "close"}));
  EXPECT_EQ(driver.TMTouchByte(h, 0xFF), onewire::kErrSessionInvalid);
  EXPECT_EQ(driver.TMEndSession(h), onewire::kErrSessionInvalid);
}

TEST_F(DriverTest, DestroyingTheDriverReleasesEveryPort) {
  {
    BusDriver local([this](int, int, std::int16_t&) { return std::make_unique<ControlledLink>(bus, control); },
                    "local", [](int) { return true; });
    ASSERT_GT(local.TMExtendedStartSession(1, 1, nullptr), 0);
    ASSERT_GT(local.TMExtendedStartSession(2, 1, nullptr), 0);
    EXPECT_EQ(control->closes.load(), 0);
  }
  EXPECT_EQ(control->closes.load(), 2);
}

}  // namespace
