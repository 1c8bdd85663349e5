// The bus engine on simulated buses: the search without a cap, the
// measurement and its wait, a single sensor's read, and the life of a bus
// handle (deadlines, stop tokens, close, callbacks).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <mutex>
#include <thread>

#include "onewire/ds18x20/timing.hpp"
#include "onewire/commands.hpp"
#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "qvds/bus.hpp"
#include "rtl/clock.hpp"
#include "support/sim_bus_builder.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::sim::make_rom;
using testing_support::sim_bus_builder;
using testing_support::StepClock;

// A clock that never moves: every wait on it lasts until the caller stops
// it. Each sleep yields the processor for a moment.
class FrozenClock final : public rtl::Clock {
 public:
  rtl::TimePoint now() override { return rtl::TimePoint(std::chrono::seconds(1)); }
  void sleep_for(rtl::Duration) override {
    sleeping = true;
    std::this_thread::sleep_for(1ms);
  }
  std::atomic<bool> sleeping{false};
};

// A link that is pulled from its port just as it sends its n-th READ
// SCRATCHPAD (0: before anything), and from then on fails every call as
// such an adapter does.
class FailingLink final : public onewire::Link {
 public:
  FailingLink(std::shared_ptr<onewire::sim::SimBus> bus, int gone_at_read)
      : inner_(std::move(bus)), reads_left_(gone_at_read), gone_(gone_at_read == 0) {}
  int open() override { return inner_.open(); }
  void close() override { inner_.close(); }
  bool is_open() const override { return inner_.is_open(); }
  int reset() override { return gone_ ? onewire::kErrPortIo : inner_.reset(); }
  int touch_bit(int bit) override { return gone_ ? onewire::kErrPortIo : inner_.touch_bit(bit); }
  int touch_byte(int byte) override {
    if (byte == onewire::kReadScratchpad && --reads_left_ == 0) gone_ = true;
    return gone_ ? onewire::kErrPortIo : inner_.touch_byte(byte);
  }
  int set_speed(onewire::Speed s) override { return inner_.set_speed(s); }
  const char* name() const override { return "failing test link"; }

 private:
  onewire::sim::SimLink inner_;
  int reads_left_;
  bool gone_;
};

qvds::Bus adopt(std::shared_ptr<onewire::sim::SimBus> bus, const std::string& name = "sim") {
  auto r = qvds::Bus::adopt(std::make_unique<onewire::sim::SimLink>(std::move(bus)), name);
  EXPECT_TRUE(r.ok()) << r.message();
  return std::move(r).value();
}

struct Engine : ::testing::Test {
  StepClock clock;
  rtl::ClockGuard guard{clock};
};

TEST_F(Engine, SearchFindsEveryDeviceWithoutACap) {
  testing_support::SimBusBuilder b;
  for (int i = 0; i < 200; ++i) b.add_sensor(i % 5 == 0 ? 0x10 : 0x28, 0x1000 + static_cast<std::uint64_t>(i) * 77);
  b.add_rom_device(0x01, 0xABCDEF);
  qvds::Bus bus = adopt(b.build());
  auto found = bus.search();
  ASSERT_TRUE(found.ok()) << found.message();
  ASSERT_EQ(found->size(), 201u);
  // In search order, each once, with its model and supply.
  for (std::size_t i = 1; i < found->size(); ++i)
    EXPECT_TRUE(onewire::search_order_less((*found)[i - 1].rom, (*found)[i].rom));
  int thermometers = 0;
  for (const qvds::Device& d : *found) {
    if (!d.thermometer()) {
      EXPECT_EQ(d.family(), 0x01);
      continue;
    }
    ++thermometers;
    EXPECT_EQ(d.power, qvds::PowerSupply::kExternal);
    EXPECT_EQ(d.model, d.family() == 0x10 ? qvds::Model::kDs18s20 : qvds::Model::kDs18b20);
  }
  EXPECT_EQ(thermometers, 200);
  EXPECT_EQ(bus.devices().size(), 201u);
}

TEST_F(Engine, AnEmptyBusIsAnErrorOfItsOwn) {
  qvds::Bus bus = adopt(std::make_shared<onewire::sim::SimBus>());
  auto found = bus.search();
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error(), qvds::Errc::kNoDevices);
  EXPECT_EQ(bus.measure().error(), qvds::Errc::kNoDevices);
}

TEST_F(Engine, AMeasurementGivesExactValuesAndWritesNothing) {
  auto b = sim_bus_builder();
  b.add_sensor(0x28, 1, -25.5).resolution(9);  // raw 0xFE60 at 9 bits
  auto nine_bit = b.last_sensor();
  b.add_sensor(0x28, 2, 21.0625);
  b.add_sensor(0x10, 3, 23.6875);
  b.add_rom_device(0x01, 4);
  qvds::Bus bus = adopt(b.build());
  const auto before = nine_bit->scratchpad(clock.now());

  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  EXPECT_TRUE(m->searched);
  EXPECT_TRUE(m->converted);
  ASSERT_EQ(m->readings.size(), 4u);
  std::map<std::uint8_t, const qvds::Reading*> by_serial;
  for (const auto& r : m->readings) by_serial[r.rom[1]] = &r;
  EXPECT_EQ(by_serial[1]->celsius, -25.5);
  EXPECT_EQ(by_serial[1]->resolution, 9);
  EXPECT_EQ(by_serial[2]->celsius, 21.0625);
  EXPECT_EQ(by_serial[3]->celsius, 23.6875);
  EXPECT_EQ(by_serial[4]->status, qvds::ReadStatus::kNoThermometer);
  EXPECT_EQ(m->read_count(), 3u);
  for (const auto& r : m->readings)
    if (r.ok()) {
      EXPECT_TRUE(r.has_scratchpad);
      EXPECT_TRUE(r.reason.empty());
      EXPECT_EQ(r.sixteenths, static_cast<std::int32_t>(*r.celsius * 16));
    }
  // TH, TL and the configuration are as they were: nothing was written.
  const auto after = nine_bit->scratchpad(clock.now());
  EXPECT_EQ(after[2], before[2]);
  EXPECT_EQ(after[3], before[3]);
  EXPECT_EQ(after[4], before[4]);
}

TEST_F(Engine, APoweredBusIsPolledUntilItsSensorsAreDone) {
  auto b = sim_bus_builder().device_clock(&clock);
  b.add_sensor(0x28, 1, 20.0).resolution(9).add_sensor(0x28, 2, 20.5).resolution(10);
  const auto slower = b.last_sensor()->conversion_time();
  qvds::Bus bus = adopt(b.build());
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  EXPECT_TRUE(m->polled);
  // The wait ends at the first poll after the slower sensor is done, far
  // below the 750 ms of an unknown resolution (and below the 187.5 ms
  // the data sheet allows this one).
  const auto done = std::chrono::duration_cast<std::chrono::microseconds>(slower);
  EXPECT_GE(m->conversion_wait, done);
  EXPECT_LT(m->conversion_wait, done + 2 * onewire::ds18x20::kPollInterval);
  EXPECT_LT(m->conversion_wait, 187500us);
  EXPECT_EQ(m->read_count(), 2u);
}

TEST_F(Engine, ParasiteSensorsGetTheStrongPullupForTheLongestConversion) {
  auto b = sim_bus_builder().device_clock(&clock);
  b.add_sensor(0x28, 1, 30.0).parasite().add_sensor(0x28, 2, 31.0);
  auto sim = b.build();
  qvds::Bus bus = adopt(sim);
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  EXPECT_FALSE(m->polled);
  EXPECT_EQ(m->conversion_wait, 750ms);  // both hold 12 bits
  EXPECT_EQ(sim->strong_pullups(), 1u);
  EXPECT_EQ(m->read_count(), 2u);
  for (const auto& r : m->readings) EXPECT_EQ(r.status, qvds::ReadStatus::kRead) << qvds::status_name(r.status);
  EXPECT_EQ(m->readings[0].power == qvds::PowerSupply::kParasite || m->readings[1].power == qvds::PowerSupply::kParasite,
            true);
}

TEST_F(Engine, AParasiteBusWaitsWhatItsSensorsResolutionsAllow) {
  auto b = sim_bus_builder().device_clock(&clock);
  b.add_sensor(0x28, 1, 30.0).parasite().resolution(9).add_sensor(0x28, 2, 31.0).parasite().resolution(10);
  qvds::Bus bus = adopt(b.build());
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  // Their scratchpads said 9 and 10 bits before the first conversion.
  EXPECT_EQ(m->conversion_wait, 187500us);
  EXPECT_EQ(m->read_count(), 2u);
}

// A link without a strong pull-up cannot feed a parasite sensor: it is not
// read, and says why.
class NoPullupLink final : public onewire::Link {
 public:
  explicit NoPullupLink(std::shared_ptr<onewire::sim::SimBus> bus) : inner_(std::move(bus)) {}
  int open() override { return inner_.open(); }
  void close() override { inner_.close(); }
  bool is_open() const override { return inner_.is_open(); }
  int reset() override { return inner_.reset(); }
  int touch_bit(int bit) override { return inner_.touch_bit(bit); }
  int touch_byte(int byte) override { return inner_.touch_byte(byte); }
  int set_speed(onewire::Speed s) override { return inner_.set_speed(s); }
  const char* name() const override { return "no pull-up"; }

 private:
  onewire::sim::SimLink inner_;
};

TEST_F(Engine, AParasiteSensorThatCannotBeFedIsNotRead) {
  auto b = sim_bus_builder().device_clock(&clock);
  b.add_sensor(0x28, 1, 30.0).parasite().add_sensor(0x28, 2, 31.0);
  auto r = qvds::Bus::adopt(std::make_unique<NoPullupLink>(b.build()), "passive");
  ASSERT_TRUE(r.ok());
  auto m = r->measure();
  ASSERT_TRUE(m.ok()) << m.message();
  ASSERT_EQ(m->readings.size(), 2u);
  int unfed = 0;
  for (const auto& reading : m->readings) {
    if (reading.power == qvds::PowerSupply::kParasiteUnfed) {
      ++unfed;
      EXPECT_EQ(reading.status, qvds::ReadStatus::kParasiteUnfed);
      EXPECT_FALSE(reading.celsius.has_value());
      EXPECT_FALSE(reading.reason.empty());
    } else {
      EXPECT_EQ(reading.celsius, 31.0);
    }
  }
  EXPECT_EQ(unfed, 1);
}

TEST_F(Engine, OnlyTheSensorsAskedForAreReadAndAnAbsentOneSaysSo) {
  auto b = sim_bus_builder();
  b.add_sensor(0x28, 1, 10.0).add_sensor(0x28, 2, 11.0).add_sensor(0x28, 3, 12.0);
  qvds::Bus bus = adopt(b.build());
  qvds::MeasureOptions what;
  what.only = {make_rom(0x28, 2), make_rom(0x28, 99)};
  auto m = bus.measure(what);
  ASSERT_TRUE(m.ok()) << m.message();
  ASSERT_EQ(m->readings.size(), 2u);
  EXPECT_EQ(m->readings[0].celsius, 11.0);
  EXPECT_EQ(m->readings[1].status, qvds::ReadStatus::kNotSelected);
}

TEST_F(Engine, ASensorThatLeftIsNotSelectedAndTheOthersAreRead) {
  auto b = sim_bus_builder();
  b.add_sensor(0x28, 1, 10.0).add_sensor(0x28, 2, 11.0);
  auto sim = b.build();
  qvds::Bus bus = adopt(sim);
  ASSERT_TRUE(bus.search().ok());
  sim->remove(make_rom(0x28, 1));
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  ASSERT_EQ(m->readings.size(), 2u);
  for (const auto& r : m->readings) {
    if (r.rom == make_rom(0x28, 1)) {
      EXPECT_EQ(r.status, qvds::ReadStatus::kNotSelected);
    } else {
      EXPECT_EQ(r.celsius, 11.0);
    }
  }
  // Asked to search again, the bus has one device left.
  qvds::MeasureOptions again;
  again.search = true;
  auto m2 = bus.measure(again);
  ASSERT_TRUE(m2.ok());
  EXPECT_TRUE(m2->searched);
  EXPECT_EQ(m2->readings.size(), 1u);
}

TEST_F(Engine, ReadingOneSensorConvertsThatSensorAlone) {
  auto b = sim_bus_builder().device_clock(&clock);
  b.add_sensor(0x28, 1, 10.0).add_sensor(0x28, 2, 11.5).add_rom_device(0x01, 3);
  const auto sensors = b.sensors();
  qvds::Bus bus = adopt(b.build());
  auto r = bus.read(make_rom(0x28, 2));
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ(r->celsius, 11.5);
  EXPECT_EQ(r->power, qvds::PowerSupply::kExternal);
  EXPECT_EQ(sensors[0]->conversions(), 0);
  EXPECT_EQ(sensors[1]->conversions(), 1);
  EXPECT_EQ(bus.read(make_rom(0x28, 7)).error(), qvds::Errc::kNotOnBus);
  EXPECT_EQ(bus.read(make_rom(0x01, 3)).error(), qvds::Errc::kNotThermometer);
}

TEST_F(Engine, AnAdapterGoneMidMeasurementFailsTheCallNotTheProcess) {
  auto sim = sim_bus_builder().add_sensor(0x28, 1, 10.0).add_sensor(0x28, 2, 11.0).build();
  // The first sensor is read; the adapter goes while the second is.
  auto r = qvds::Bus::adopt(std::make_unique<FailingLink>(sim, 2), "gone");
  ASSERT_TRUE(r.ok());
  auto m = r->measure();
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error(), qvds::Errc::kPortIo);
  EXPECT_NE(m.message().find("gone"), std::string::npos);
  EXPECT_EQ(r->measure().error(), qvds::Errc::kPortIo);
  EXPECT_EQ(r->search().error(), qvds::Errc::kPortIo);
}

// --- the handle's life ---

struct EngineFrozen : ::testing::Test {
  FrozenClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<onewire::sim::SimBus> sim = sim_bus_builder().add_sensor(0x28, 1, 10.0).build();
};

TEST_F(EngineFrozen, ADeadlineEndsAWaitThatWouldNeverEnd) {
  qvds::Bus bus = adopt(sim);
  qvds::CallOptions call;
  call.timeout = 50ms;
  auto m = bus.measure({}, call);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error(), qvds::Errc::kTimedOut);
  // The bus is still good for the next call.
  EXPECT_TRUE(bus.is_open());
  EXPECT_EQ(bus.devices().size(), 1u);
}

TEST_F(EngineFrozen, AStopTokenCancelsACallUnderWay) {
  qvds::Bus bus = adopt(sim);
  std::stop_source stop;
  std::promise<qvds::Result<qvds::Measurement>> got;
  qvds::CallOptions call;
  call.stop = stop.get_token();
  bus.measure_async([&](qvds::Result<qvds::Measurement> r) { got.set_value(std::move(r)); }, {}, call);
  stop.request_stop();
  auto future = got.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get().error(), qvds::Errc::kCancelled);
}

TEST_F(EngineFrozen, CloseEndsTheCallUnderWayAndFailsTheQueuedOnes) {
  qvds::Bus bus = adopt(sim);
  std::promise<std::error_code> first, second;
  bus.measure_async([&](qvds::Result<qvds::Measurement> r) { first.set_value(r.error()); });
  bus.search_async([&](qvds::Result<std::vector<qvds::Device>> r) { second.set_value(r.error()); });
  // The measurement is in its conversion wait, which never ends by itself.
  auto f1 = first.get_future();
  EXPECT_EQ(f1.wait_for(50ms), std::future_status::timeout);
  bus.close();
  EXPECT_FALSE(bus.is_open());
  ASSERT_EQ(f1.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(f1.get(), qvds::Errc::kClosed);
  auto f2 = second.get_future();
  ASSERT_EQ(f2.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(f2.get(), qvds::Errc::kClosed);
  // After close: every call answers at once, callbacks on this thread.
  EXPECT_EQ(bus.search().error(), qvds::Errc::kClosed);
  std::thread::id ran_on;
  bus.read_async(make_rom(0x28, 1), [&](qvds::Result<qvds::Reading> r) {
    ran_on = std::this_thread::get_id();
    EXPECT_EQ(r.error(), qvds::Errc::kClosed);
  });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  bus.close();  // twice: nothing
}

TEST_F(Engine, AMovedFromHandleIsClosedAndTheLinkIsReleasedWithTheLastHandle) {
  auto sim = sim_bus_builder().add_sensor(0x28, 1, 10.0).build();
  qvds::Bus a = adopt(sim);
  qvds::Bus b = std::move(a);
  EXPECT_FALSE(a.is_open());  // NOLINT(bugprone-use-after-move): defined as closed
  EXPECT_EQ(a.measure().error(), qvds::Errc::kClosed);
  EXPECT_EQ(a.name(), "");
  EXPECT_TRUE(b.is_open());
  EXPECT_EQ(b.name(), "sim");
  EXPECT_TRUE(b.measure().ok());
  qvds::Bus c;
  EXPECT_FALSE(c.is_open());
  EXPECT_EQ(c.devices().size(), 0u);
}

TEST_F(Engine, CallbacksRunOnTheBusThreadAndMayCallTheBusAgain) {
  auto sim = sim_bus_builder().add_sensor(0x28, 1, 10.0).add_sensor(0x28, 2, 12.0).build();
  qvds::Bus bus = adopt(sim);
  std::promise<std::pair<double, std::thread::id>> got;
  bus.search_async([&](qvds::Result<std::vector<qvds::Device>> found) {
    ASSERT_TRUE(found.ok());
    // A synchronous call from here runs in place, not behind this one.
    auto r = bus.read(found->back().rom);
    got.set_value({r.ok() ? *r->celsius : -1000.0, std::this_thread::get_id()});
  });
  auto f = got.get_future();
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  const auto [celsius, thread] = f.get();
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_TRUE(celsius == 10.0 || celsius == 12.0);
}

TEST_F(Engine, ClosingFromACallbackDoesNotWaitForItself) {
  auto sim = sim_bus_builder().add_sensor(0x28, 1, 10.0).build();
  auto bus = std::make_shared<qvds::Bus>(adopt(sim));
  std::promise<void> closed;
  bus->measure_async([&](qvds::Result<qvds::Measurement>) {
    bus->close();
    closed.set_value();
  });
  auto f = closed.get_future();
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(bus->is_open());
  bus.reset();  // the last handle, after the thread ended by itself
}

TEST_F(Engine, TheLastHandleMayGoInsideItsOwnCallback) {
  auto sim = sim_bus_builder().add_sensor(0x28, 1, 10.0).build();
  auto holder = std::make_shared<std::optional<qvds::Bus>>(adopt(sim));
  std::promise<void> done;
  (*holder)->measure_async([holder, &done](qvds::Result<qvds::Measurement>) {
    holder->reset();
    done.set_value();
  });
  auto f = done.get_future();
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
}

TEST_F(Engine, SeveralBusesAreMeasuredTogetherAndOneFailingStopsNoOther) {
  std::vector<qvds::Bus> buses;
  for (int i = 0; i < 7; ++i)
    buses.push_back(adopt(sim_bus_builder().add_sensor(0x28, 10 + i, 20.0 + i).add_sensor(0x10, 50 + i, 5.0).build(),
                          "bus" + std::to_string(i)));
  auto gone = qvds::Bus::adopt(std::make_unique<FailingLink>(sim_bus_builder().add_sensor(0x28, 1).build(), 0), "gone");
  ASSERT_TRUE(gone.ok());
  buses.push_back(std::move(gone).value());
  std::vector<qvds::Bus*> set;
  for (auto& b : buses) set.push_back(&b);
  auto results = qvds::measure_all(set);
  ASSERT_EQ(results.size(), 8u);
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(results[static_cast<std::size_t>(i)].ok()) << results[static_cast<std::size_t>(i)].message();
    EXPECT_EQ(results[static_cast<std::size_t>(i)]->read_count(), 2u);
  }
  EXPECT_EQ(results[7].error(), qvds::Errc::kPortIo);
  // Sensors named by ROM are read on the bus that has them.
  qvds::MeasureOptions what;
  what.only = {make_rom(0x28, 12)};
  auto some = qvds::measure_all(set, what);
  std::size_t readings = 0;
  for (const auto& r : some)
    if (r.ok()) readings += r->readings.size();
  EXPECT_EQ(readings, 1u);
  EXPECT_EQ(some[2]->readings.at(0).celsius, 22.0);
}

TEST(EngineOpen, UnknownAdaptersAndPortsAreClearErrors) {
  auto a = qvds::Bus::open("no-such-adapter", "/dev/ttyUSB0");
  EXPECT_EQ(a.error(), qvds::Errc::kNoSuchAdapter);
  EXPECT_NE(a.message().find("no-such-adapter"), std::string::npos);
  auto b = qvds::Bus::open("ds2480b", "/dev/no-such-port-here");
  EXPECT_FALSE(b.ok());
  auto c = qvds::Bus::open("ds2480b", "USB1");
  EXPECT_FALSE(c.ok());
  EXPECT_EQ(qvds::Bus::adopt(nullptr, "x").error(), qvds::Errc::kBadArgument);
  // A failed result's value is an exception, not a crash.
  EXPECT_THROW((void)a.value(), std::system_error);
}

}  // namespace

namespace {

struct EngineSettings : ::testing::Test {
  StepClock clock;
  rtl::ClockGuard guard{clock};
  testing_support::SimBusBuilder b = sim_bus_builder().device_clock(&clock);
};

TEST_F(EngineSettings, ResolutionAndThresholdsAreChangedInTheScratchpadAndTakeEffect) {
  b.add_sensor(0x28, 1, 30.0).add_sensor(0x28, 2, 20.0);
  const auto sensors = b.sensors();
  qvds::Bus bus = adopt(b.build());
  const qvds::Rom rom = make_rom(0x28, 1);

  auto s = bus.settings(rom);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(s->resolution, 12);
  EXPECT_EQ(s->alarm_high, 75);  // the factory's 0x4B and 0x46
  EXPECT_EQ(s->alarm_low, 70);
  EXPECT_EQ(s->power, qvds::PowerSupply::kExternal);
  EXPECT_FALSE(s->eeprom_matches.has_value());

  qvds::SettingsChange change;
  change.resolution = 9;
  change.alarm_low = -10;
  auto changed = bus.change_settings(rom, change);
  ASSERT_TRUE(changed.ok()) << changed.message();
  EXPECT_EQ(changed->resolution, 9);
  EXPECT_EQ(changed->alarm_low, -10);
  EXPECT_EQ(changed->alarm_high, 75);  // kept
  // The other sensor is untouched, and the next wait follows the 9 bits
  // of one sensor and the 12 of the other.
  EXPECT_EQ(sensors[1]->scratchpad(clock.now())[4], 0x7F);
  auto m = bus.measure();
  ASSERT_TRUE(m.ok());
  for (const auto& r : m->readings) EXPECT_EQ(r.resolution, r.rom == rom ? 9 : 12);
  // The EEPROM still holds the factory settings.
  auto with_eeprom = bus.settings(rom, true);
  ASSERT_TRUE(with_eeprom.ok()) << with_eeprom.message();
  EXPECT_EQ(with_eeprom->eeprom_matches, false);
  ASSERT_TRUE(with_eeprom->eeprom.has_value());
  EXPECT_EQ(with_eeprom->eeprom->resolution, 12);
  EXPECT_EQ(with_eeprom->eeprom->alarm_low, 70);
  EXPECT_EQ(with_eeprom->eeprom->alarm_high, 75);
  // ... and asking did not undo the change.
  EXPECT_EQ(with_eeprom->resolution, 9);
  EXPECT_EQ(bus.settings(rom)->alarm_low, -10);
}

TEST_F(EngineSettings, ChangesThatMakeNoSenseAreRefusedAndChangeNothing) {
  b.add_sensor(0x28, 1, 30.0).add_sensor(0x10, 2, 20.0);
  auto fixed = b.sensors();
  qvds::Bus bus = adopt(b.build());
  const qvds::Rom b20 = make_rom(0x28, 1);
  qvds::SettingsChange c;
  c.resolution = 13;
  EXPECT_EQ(bus.change_settings(b20, c).error(), qvds::Errc::kBadArgument);
  c = {};
  c.alarm_high = 126;
  EXPECT_EQ(bus.change_settings(b20, c).error(), qvds::Errc::kBadArgument);
  c = {};
  c.alarm_low = 80;  // above the factory's 75
  EXPECT_EQ(bus.change_settings(b20, c).error(), qvds::Errc::kBadArgument);
  c = {};
  c.resolution = 10;
  auto s20 = bus.change_settings(make_rom(0x10, 2), c);
  EXPECT_EQ(s20.error(), qvds::Errc::kNotSupported);
  EXPECT_NE(s20.message().find("DS18S20"), std::string::npos);
  EXPECT_EQ(bus.change_settings(make_rom(0x28, 77), c).error(), qvds::Errc::kNotOnBus);
  // Thresholds of a DS18S20 are its to change.
  c = {};
  c.alarm_high = 40;  // below the factory's low threshold, 70
  EXPECT_EQ(bus.change_settings(make_rom(0x10, 2), c).error(), qvds::Errc::kBadArgument);
  c.alarm_low = 10;
  auto ok = bus.change_settings(make_rom(0x10, 2), c);
  ASSERT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(ok->alarm_high, 40);
  EXPECT_FALSE(ok->resolution.has_value());
  EXPECT_EQ(bus.settings(b20)->alarm_low, 70);
}

TEST_F(EngineSettings, ASensorThatKeepsItsOwnConfigurationIsRefusedByName) {
  b.add_sensor(0x28, 1, 30.0);
  auto sensor = b.last_sensor();
  // A part whose scratchpad reads the same whatever is written to it.
  onewire::ds18x20::Scratchpad pad = {0x90, 0x01, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10, 0};
  pad[8] = onewire::crc8(pad.data(), 8);
  sensor->set_scratchpad_override(pad);
  qvds::Bus bus = adopt(b.build());
  qvds::SettingsChange c;
  c.resolution = 9;
  auto r = bus.change_settings(make_rom(0x28, 1), c);
  ASSERT_EQ(r.error(), qvds::Errc::kRefused);
  EXPECT_NE(r.message().find(qvds::format_rom(make_rom(0x28, 1), qvds::RomForm::kOwfs)), std::string::npos);
  EXPECT_NE(r.message().find("resolution 9"), std::string::npos);
}

TEST_F(EngineSettings, ASaveWritesTheEepromOnlyWhenItDiffers) {
  b.add_sensor(0x28, 1, 30.0).parasite();
  auto sim = b.build();
  qvds::Bus bus = adopt(sim);
  const qvds::Rom rom = make_rom(0x28, 1);
  auto first = bus.save_settings(rom);
  ASSERT_TRUE(first.ok()) << first.message();
  EXPECT_FALSE(first->written);  // scratchpad and EEPROM hold the factory settings
  qvds::SettingsChange c;
  c.resolution = 10;
  c.alarm_high = 60;
  c.alarm_low = 5;
  ASSERT_TRUE(bus.change_settings(rom, c).ok());
  const auto pullups = sim->strong_pullups();
  auto second = bus.save_settings(rom);
  ASSERT_TRUE(second.ok()) << second.message();
  EXPECT_TRUE(second->written);
  EXPECT_TRUE(second->verified);
  // A parasite part got the strong pull-up for its EEPROM write.
  EXPECT_GT(sim->strong_pullups(), pullups);
  auto s = bus.settings(rom, true);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->eeprom_matches, true);
  EXPECT_EQ(s->resolution, 10);
  ASSERT_TRUE(s->eeprom.has_value());
  EXPECT_EQ(s->eeprom->resolution, 10);
  EXPECT_EQ(s->eeprom->alarm_high, 60);
  EXPECT_EQ(s->eeprom->alarm_low, 5);
  auto third = bus.save_settings(rom);
  ASSERT_TRUE(third.ok());
  EXPECT_FALSE(third->written);
}

TEST_F(EngineSettings, TheAlarmSearchFindsTheSensorsBeyondTheirThresholds) {
  b.add_sensor(0x28, 1, 30.0).add_sensor(0x28, 2, 20.0).add_sensor(0x28, 3, -0.5).add_sensor(0x10, 4, 50.0);
  qvds::Bus bus = adopt(b.build());
  qvds::SettingsChange hot;
  hot.alarm_low = 0;
  hot.alarm_high = 30;  // at the threshold: an alarm
  ASSERT_TRUE(bus.change_settings(make_rom(0x28, 1), hot).ok());
  qvds::SettingsChange cold;
  cold.alarm_low = -1;  // -0.5 counts as -1
  cold.alarm_high = 125;
  ASSERT_TRUE(bus.change_settings(make_rom(0x28, 3), cold).ok());
  qvds::SettingsChange quiet;
  quiet.alarm_low = -55;
  quiet.alarm_high = 125;
  ASSERT_TRUE(bus.change_settings(make_rom(0x28, 2), quiet).ok());
  qvds::SettingsChange s20;
  s20.alarm_low = -55;
  s20.alarm_high = 50;  // a DS18S20 alarms above TH, not at it
  ASSERT_TRUE(bus.change_settings(make_rom(0x10, 4), s20).ok());
  auto a = bus.alarm_search();
  ASSERT_TRUE(a.ok()) << a.message();
  std::vector<qvds::Rom> expected = {make_rom(0x28, 1), make_rom(0x28, 3)};
  std::sort(expected.begin(), expected.end(), onewire::search_order_less);
  EXPECT_EQ(a->in_alarm, expected);
  // Each reading says the same of itself.
  for (const auto& r : a->measurement.readings)
    EXPECT_EQ(r.alarm, std::find(expected.begin(), expected.end(), r.rom) != expected.end())
        << qvds::format_rom(r.rom, qvds::RomForm::kOwfs);
}

TEST_F(EngineSettings, LatestReadsWhatTheLastConversionLeft) {
  b.add_sensor(0x28, 1, 30.0);
  auto sensor = b.last_sensor();
  qvds::Bus bus = adopt(b.build());
  auto before = bus.read_latest(make_rom(0x28, 1));
  ASSERT_TRUE(before.ok());
  EXPECT_EQ(before->status, qvds::ReadStatus::kPowerOnValue);  // nothing converted yet
  ASSERT_TRUE(bus.measure().ok());
  sensor->set_temperature(40.0);
  auto latest = bus.read_latest(make_rom(0x28, 1));
  ASSERT_TRUE(latest.ok());
  EXPECT_EQ(latest->celsius, 30.0);
  EXPECT_EQ(sensor->conversions(), 1);
}

// The asynchronous forms of the sensor calls do what the synchronous ones
// do, in the order they were made, each callback on the bus's thread.
TEST_F(EngineSettings, TheAsynchronousSensorCallsRunInOrderOnTheBusThread) {
  b.add_sensor(0x28, 1, 30.0).add_sensor(0x28, 2, 18.0);
  qvds::Bus bus = adopt(b.build());
  const qvds::Rom rom = make_rom(0x28, 1);
  std::mutex mutex;
  std::vector<std::string> order;
  std::set<std::thread::id> threads;
  std::promise<void> all_done;
  const auto note = [&](const std::string& what) {
    std::lock_guard lock(mutex);
    order.push_back(what);
    threads.insert(std::this_thread::get_id());
  };
  qvds::SettingsChange c;
  c.resolution = 10;
  c.alarm_low = 0;
  c.alarm_high = 50;
  bus.change_settings_async(rom, c, [&](qvds::Result<qvds::SensorSettings> r) {
    EXPECT_TRUE(r.ok()) << r.message();
    if (r.ok()) {
      EXPECT_EQ(r->resolution, 10);
    }
    note("change");
  });
  bus.settings_async(rom, true, [&](qvds::Result<qvds::SensorSettings> r) {
    EXPECT_TRUE(r.ok()) << r.message();
    if (r.ok()) {
      EXPECT_EQ(r->eeprom_matches, false);
      ASSERT_TRUE(r->eeprom.has_value());
      EXPECT_EQ(r->eeprom->resolution, 12);
    }
    note("settings");
  });
  bus.save_settings_async(rom, [&](qvds::Result<qvds::SaveOutcome> r) {
    EXPECT_TRUE(r.ok() && r->written && r->verified) << r.message();
    note("save");
  });
  bus.alarm_search_async([&](qvds::Result<qvds::AlarmResult> r) {
    EXPECT_TRUE(r.ok()) << r.message();
    if (r.ok()) {
      // 30 lies between the new thresholds; 18 is below the other's factory 70.
      EXPECT_EQ(r->in_alarm, std::vector<qvds::Rom>{make_rom(0x28, 2)});
    }
    note("alarm");
  });
  bus.read_latest_async(rom, [&](qvds::Result<qvds::Reading> r) {
    EXPECT_TRUE(r.ok()) << r.message();
    if (r.ok()) {
      EXPECT_EQ(r->celsius, 30.0);  // what the alarm search's conversion left
      EXPECT_EQ(r->resolution, 10);
    }
    note("latest");
    all_done.set_value();
  });
  ASSERT_EQ(all_done.get_future().wait_for(10s), std::future_status::ready);
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, (std::vector<std::string>{"change", "settings", "save", "alarm", "latest"}));
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  // A closed handle answers at once, on the caller's thread.
  bus.close();
  std::thread::id ran_on;
  bus.settings_async(rom, false, [&](qvds::Result<qvds::SensorSettings> r) {
    ran_on = std::this_thread::get_id();
    EXPECT_EQ(r.error(), qvds::Errc::kClosed);
  });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

}  // namespace
