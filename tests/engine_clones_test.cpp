// Clone DS18B20s through the engine and through the component: a value
// that may be a power-on value is confirmed by a conversion of its own or
// is not read, every family of the clone research against a genuine
// sensor on the same bus.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/sim/clone_family.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "onewire/sim/sim_link.hpp"
#include "qvds/bus.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"
#include "support/step_clock.hpp"

namespace {

using onewire::sim::Ds18x20;
using onewire::sim::make_thermometer;
using onewire::sim::ThermometerFamily;

constexpr ThermometerFamily kClones[] = {
    ThermometerFamily::kA1Fishy, ThermometerFamily::kA2, ThermometerFamily::kA3, ThermometerFamily::kB1,
    ThermometerFamily::kB1v2,    ThermometerFamily::kB2, ThermometerFamily::kC,  ThermometerFamily::kD1,
    ThermometerFamily::kD2,      ThermometerFamily::kE,  ThermometerFamily::kF,  ThermometerFamily::kG,
    ThermometerFamily::kH};

// Families whose ROM has a genuine part's serial (bytes 5 and 6 zero):
// their byte 6 tells a power-on value for certain.
bool genuine_serial(ThermometerFamily f) {
  return f == ThermometerFamily::kA1 || f == ThermometerFamily::kA1Fishy || f == ThermometerFamily::kA3;
}

std::string name_of(ThermometerFamily f) { return std::string(onewire::sim::family_name(f)); }

struct CloneBus : ::testing::TestWithParam<ThermometerFamily> {
  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<onewire::sim::SimBus> sim = std::make_shared<onewire::sim::SimBus>();
  std::shared_ptr<Ds18x20> genuine = make_thermometer(ThermometerFamily::kA1, 1, 21.5);
  std::shared_ptr<Ds18x20> clone = make_thermometer(GetParam(), 2, 19.0);

  CloneBus() {
    sim->set_device_clock(&clock);
    sim->add(genuine);
    sim->add(clone);
  }
  qvds::Bus open() {
    auto r = qvds::Bus::adopt(std::make_unique<onewire::sim::SimLink>(sim), "clones");
    EXPECT_TRUE(r.ok()) << r.message();
    return std::move(r).value();
  }
  const qvds::Reading& reading_of(const qvds::Measurement& m, const std::shared_ptr<Ds18x20>& d) {
    for (const auto& r : m.readings)
      if (r.rom == d->rom()) return r;
    ADD_FAILURE() << "not measured";
    return m.readings.front();
  }
};

TEST_P(CloneBus, AClonesReadingIsRight) {
  qvds::Bus bus = open();
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  const qvds::Reading& g = reading_of(*m, genuine);
  EXPECT_EQ(g.celsius, 21.5);
  const qvds::Reading& c = reading_of(*m, clone);
  ASSERT_TRUE(c.ok()) << name_of(GetParam()) << ": " << qvds::status_name(c.status) << " " << c.reason;
  EXPECT_NEAR(*c.celsius, 19.0, 0.5) << name_of(GetParam());
}

TEST_P(CloneBus, AConversionThatNeverHappensIsNeverANumber) {
  clone->skip_conversions(Ds18x20::kEvery);
  qvds::Bus bus = open();
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  EXPECT_EQ(reading_of(*m, genuine).celsius, 21.5);
  const qvds::Reading& c = reading_of(*m, clone);
  EXPECT_FALSE(c.ok()) << name_of(GetParam()) << " read as " << c.celsius.value_or(-1000);
  EXPECT_EQ(c.status, genuine_serial(GetParam()) ? qvds::ReadStatus::kPowerOnValue : qvds::ReadStatus::kUnconfirmed)
      << name_of(GetParam()) << ": " << qvds::status_name(c.status);
  EXPECT_FALSE(c.reason.empty());
}

TEST_P(CloneBus, AConversionMissedOnceIsMadeGoodByASecondOne) {
  clone->skip_conversions(1);
  qvds::Bus bus = open();
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  const qvds::Reading& c = reading_of(*m, clone);
  ASSERT_TRUE(c.ok()) << name_of(GetParam()) << ": " << qvds::status_name(c.status);
  EXPECT_NEAR(*c.celsius, 19.0, 0.5);
  EXPECT_EQ(clone->conversions(), 2);
  EXPECT_EQ(genuine->conversions(), 1) << "the second conversion is the clone's alone";
}

TEST_P(CloneBus, ARealEightyFiveOnAPoweredBusIsAReading) {
  clone->set_temperature(85.0);
  genuine->set_temperature(85.0);
  qvds::Bus bus = open();
  auto m = bus.measure();
  ASSERT_TRUE(m.ok()) << m.message();
  EXPECT_EQ(reading_of(*m, genuine).celsius, 85.0) << "byte 6 says a genuine part converted";
  const qvds::Reading& c = reading_of(*m, clone);
  if (GetParam() == ThermometerFamily::kF) {
    // It never reports busy: its 85.0 cannot be told from its power-on
    // value, and is shown as doubtful, not read.
    EXPECT_EQ(c.status, qvds::ReadStatus::kUnconfirmed);
    EXPECT_EQ(c.celsius, 85.0);
    EXPECT_FALSE(c.ok());
  } else {
    ASSERT_TRUE(c.ok()) << name_of(GetParam()) << ": " << qvds::status_name(c.status);
    EXPECT_NEAR(*c.celsius, 85.0, 0.5);
  }
}

TEST_P(CloneBus, ASensorThatNeverConvertsIsNotReadByTheComponent) {
  // The component writes TH, TL and the configuration before it reads
  // (B1 and B2 put that configuration byte into byte 6), converts once,
  // and keeps what it cannot vouch for out of its temperature texts.
  clone->skip_conversions(Ds18x20::kEvery);
  auto driver = std::make_shared<onewire::sim::SimDriver>();
  driver->attach(1, sim);
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.TMEXOpenSession();
  ASSERT_TRUE(c.SesionActive());
  c.TMEXGetTemp();
  RunMessageLoop([&] { return !c.Working(); });
  ProcessMessages();
  ASSERT_EQ(c.SensorListCount(), 2);
  for (int i = 0; i < c.SensorListCount(); ++i) {
    const TSensor* s = c.sensor(i);
    if (s->rom == genuine->rom()) {
      EXPECT_EQ(s->temp, "21.5");
    } else {
      EXPECT_EQ(s->temp, "") << name_of(GetParam()) << " stored " << s->temp;
      EXPECT_FALSE(IsReading(s->status)) << ReadStatusName(s->status);
    }
  }
  c.Close();
}

INSTANTIATE_TEST_SUITE_P(Families, CloneBus, ::testing::ValuesIn(kClones),
                         [](const ::testing::TestParamInfo<ThermometerFamily>& info) {
                           std::string n = name_of(info.param);
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

TEST(CloneParasite, AParasiteCloneThatDoesNotConvertStaysUnconfirmed) {
  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  auto sim = std::make_shared<onewire::sim::SimBus>();
  sim->set_device_clock(&clock);
  auto b1 = make_thermometer(ThermometerFamily::kB1, 3, 20.0);
  b1->set_parasite(true);
  b1->skip_conversions(Ds18x20::kEvery);
  sim->add(b1);
  auto r = qvds::Bus::adopt(std::make_unique<onewire::sim::SimLink>(sim), "parasite");
  ASSERT_TRUE(r.ok());
  auto m = r->measure();
  ASSERT_TRUE(m.ok()) << m.message();
  ASSERT_EQ(m->readings.size(), 1u);
  EXPECT_EQ(m->readings[0].power, qvds::PowerSupply::kParasite);
  EXPECT_EQ(m->readings[0].status, qvds::ReadStatus::kUnconfirmed);
  EXPECT_FALSE(m->readings[0].ok());
}

}  // namespace
