// The doctor through the engine on the simulated bus: every family the
// simulator models is named beside a genuine sensor, nothing reaches an
// EEPROM and no code a host must never send reaches any device, each
// sensor's registers are as found afterwards, and the bus's troubles
// (CRC errors, parasite sensors left unfed, a device that comes and goes,
// a short) come back as advice. Bus time runs on a step clock: a
// conversion's wait costs no real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "onewire/commands.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/clone_family.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "qvds/bus.hpp"
#include "rtl/clock.hpp"
#include "support/step_clock.hpp"

namespace {

using onewire::sim::Ds18x20;
using onewire::sim::make_thermometer;
using onewire::sim::ThermometerFamily;
using qvds::CloneFamily;
using qvds::Confidence;
using TF = ThermometerFamily;

constexpr TF kFamilies[] = {TF::kA1, TF::kA1Fishy, TF::kA2, TF::kA3, TF::kB1, TF::kB1v2, TF::kB2,
                            TF::kC,  TF::kD1,      TF::kD2, TF::kE,  TF::kF,  TF::kG,    TF::kH};

std::string name_of(TF f) { return std::string(onewire::sim::family_name(f)); }
CloneFamily clone_of(TF f) { return onewire::ds18x20::clone_family_named(name_of(f)); }

std::string lines(const std::vector<std::string>& v) {
  std::string text;
  for (const auto& l : v) text += "\n  " + l;
  return text;
}

// A simulated adapter without a strong pull-up (a passive one).
class NoPullupLink : public onewire::sim::SimLink {
 public:
  using SimLink::SimLink;
  bool can_strong_pullup() const override { return false; }
  int touch_byte_pullup(int) override { return onewire::kErrNotOffered; }
};

// A simulated adapter that calls `on_search(n)` when search n (1, 2, ...)
// of the bus begins: the first search pass after other traffic.
class SearchWatchingLink : public onewire::sim::SimLink {
 public:
  SearchWatchingLink(std::shared_ptr<onewire::sim::SimBus> bus, std::function<void(int)> on_search)
      : SimLink(std::move(bus)), on_search_(std::move(on_search)) {}
  int search(onewire::SearchPass& pass) override {
    if (!searching_) on_search_(++searches_);
    searching_ = true;
    return SimLink::search(pass);
  }
  int block(const onewire::Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override {
    searching_ = false;
    return SimLink::block(rom, reset, data, n);
  }

 private:
  std::function<void(int)> on_search_;
  int searches_ = 0;
  bool searching_ = false;
};

// A simulated adapter that asks a stop when the first CONVERT T goes out.
class StoppingLink : public onewire::sim::SimLink {
 public:
  StoppingLink(std::shared_ptr<onewire::sim::SimBus> bus, std::stop_source stop)
      : SimLink(std::move(bus)), stop_(std::move(stop)) {}
  int block(const onewire::Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override {
    if (rom != nullptr && n > 0 && data[0] == onewire::kConvertT) stop_.request_stop();
    return SimLink::block(rom, reset, data, n);
  }

 private:
  std::stop_source stop_;
};

struct DoctorBus : ::testing::Test {
  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  std::shared_ptr<onewire::sim::SimBus> sim = std::make_shared<onewire::sim::SimBus>();

  DoctorBus() { sim->set_device_clock(&clock); }

  qvds::Bus adopt(std::unique_ptr<onewire::Link> link) {
    auto r = qvds::Bus::adopt(std::move(link), "doctor");
    EXPECT_TRUE(r.ok()) << r.message();
    return std::move(r).value();
  }
  qvds::Bus open() { return adopt(std::make_unique<onewire::sim::SimLink>(sim)); }
  qvds::BusReport diagnose(qvds::Bus& bus, const qvds::DoctorOptions& options = {}) {
    auto r = bus.diagnose(options);
    EXPECT_TRUE(r.ok()) << r.message();
    return r.ok() ? *r : qvds::BusReport{};
  }
  static const qvds::SensorReport& report_of(const qvds::BusReport& r, const std::shared_ptr<Ds18x20>& d) {
    for (const auto& s : r.sensors)
      if (s.rom == d->rom()) return s;
    ADD_FAILURE() << "not in the report";
    static const qvds::SensorReport none;
    return none;
  }
  static const qvds::Advice* advice_of(const qvds::BusReport& r, qvds::AdviceKind kind) {
    for (const auto& a : r.advice)
      if (a.kind == kind) return &a;
    return nullptr;
  }
  std::array<std::uint8_t, 9> pad(const std::shared_ptr<Ds18x20>& d) { return d->scratchpad(clock.now()); }
};

// Nothing a host must never send, and no COPY SCRATCHPAD.
void expect_left_alone(const std::shared_ptr<Ds18x20>& d, const std::string& who) {
  EXPECT_TRUE(d->forbidden_commands().empty()) << who << " got code " << int(d->forbidden_commands().front());
  EXPECT_EQ(d->copy_commands(), 0) << who;
  EXPECT_EQ(d->eeprom_writes(), 0) << who;
}

struct FamilyDoctor : DoctorBus, ::testing::WithParamInterface<TF> {};

TEST_P(FamilyDoctor, EveryFamilyIsNamedAndLeftAsItWasFound) {
  const TF family = GetParam();
  auto genuine = make_thermometer(TF::kA1, 1, 20.0);
  auto part = make_thermometer(family, 2, 21.5);
  // Settings of the owner's own, which the doctor must put back.
  part->set_power_up_settings(0x1E, 0x05, 0x5F);
  sim->add(genuine);
  sim->add(part);
  const auto before = pad(part);
  const auto eeprom = part->power_up_settings();
  qvds::Bus bus = open();
  const qvds::BusReport r = diagnose(bus);
  ASSERT_EQ(r.sensors.size(), 2u);
  EXPECT_TRUE(r.presence);
  EXPECT_FALSE(r.shorted);

  const qvds::SensorReport& s = report_of(r, part);
  EXPECT_EQ(s.family, clone_of(family)) << name_of(family) << " taken for " << clone_family_name(s.family)
                                        << lines(s.evidence);
  // Every safe test tells a family but B2 from a UMW B1 (only its ROM's
  // FF and the undocumented code 97 do).
  EXPECT_EQ(s.confidence, family == TF::kB2 ? Confidence::kLow : Confidence::kHigh)
      << name_of(family) << lines(s.evidence);
  EXPECT_EQ(s.reading, qvds::ReadStatus::kRead) << name_of(family) << ": " << qvds::status_name(s.reading);
  ASSERT_TRUE(s.celsius);
  EXPECT_DOUBLE_EQ(*s.celsius, 21.5);
  EXPECT_EQ(s.faults.empty(), family == TF::kA1) << name_of(family) << lines(s.faults);
  EXPECT_FALSE(s.summary.empty());
  EXPECT_NE(s.summary.find("reads right"), std::string::npos) << s.summary;
  EXPECT_FALSE(s.meaning.empty());
  EXPECT_EQ(s.reads, 20);
  EXPECT_EQ(s.crc_errors, 0);
  EXPECT_EQ(s.found_in, 3);
  EXPECT_EQ(s.resolution.value_or(0), family == TF::kC || family == TF::kF ? 12 : 11);
  EXPECT_EQ(s.alarm_high, 0x1E);
  EXPECT_EQ(s.alarm_low, 5);

  // The registers as found, the reserved bytes too (B1 and B2 get theirs
  // back from the write that spilled into them); the EEPROM untouched.
  EXPECT_TRUE(s.restored) << s.restore_note;
  const auto after = pad(part);
  for (std::size_t i : {2, 3, 4, 5, 7}) EXPECT_EQ(after[i], before[i]) << name_of(family) << " byte " << i;
  if (family == TF::kB1 || family == TF::kB2) {
    EXPECT_EQ(after[6], before[6]);
  }
  EXPECT_EQ(part->power_up_settings(), eeprom);
  expect_left_alone(part, name_of(family));
  expect_left_alone(genuine, "the genuine sensor");
  EXPECT_EQ(report_of(r, genuine).family, CloneFamily::kA1);

  // Its conversion times, as long as the part took at each resolution,
  // to the next poll; none for a part that cannot be polled.
  for (int bits = 9; bits <= 12; ++bits) {
    const auto& measured = s.conversion_times[static_cast<std::size_t>(bits - 9)];
    part->set_resolution(bits);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(part->conversion_time());
    if (family == TF::kF) {
      EXPECT_FALSE(measured) << bits;
      continue;
    }
    ASSERT_TRUE(measured) << name_of(family) << " at " << bits << " bits";
    EXPECT_GE(*measured, took) << name_of(family) << " at " << bits << " bits";
    EXPECT_LE(*measured, took + onewire::ds18x20::kTimingPoll) << name_of(family) << " at " << bits << " bits";
  }
  EXPECT_EQ(s.conversion_time, s.conversion_times[3]);
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyDoctor, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<TF>& info) {
                           std::string n = name_of(info.param);
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

TEST_F(DoctorBus, TheUndocumentedReadsAreReadsOnlyAndSettleWhatTheSafeTestsCannot) {
  auto b2 = make_thermometer(TF::kB2, 3, 22.0);
  auto d1 = make_thermometer(TF::kD1, 4, 22.0);
  auto g = make_thermometer(TF::kG, 5, 22.0);
  for (const auto& d : {b2, d1, g}) sim->add(d);
  qvds::Bus bus = open();
  qvds::DoctorOptions options;
  options.undocumented = true;
  const qvds::BusReport r = diagnose(bus, options);
  EXPECT_TRUE(r.undocumented);
  const qvds::SensorReport& s = report_of(r, b2);
  EXPECT_EQ(s.family, CloneFamily::kB2);
  EXPECT_EQ(s.confidence, Confidence::kHigh) << lines(s.evidence);
  ASSERT_EQ(s.undocumented.size(), onewire::ds18x20::undocumented_reads().size());
  const auto marker = std::find_if(s.undocumented.begin(), s.undocumented.end(), [](const auto& a) { return a.code == 0x97; });
  ASSERT_NE(marker, s.undocumented.end());
  EXPECT_EQ(marker->bytes, std::vector<std::uint8_t>{0x31});
  EXPECT_EQ(report_of(r, d1).family, CloneFamily::kD1);
  EXPECT_EQ(report_of(r, g).family, CloneFamily::kG);
  for (const auto& d : {b2, d1, g}) expect_left_alone(d, name_of(d->family()));

  // Without the option, not one of those codes goes out.
  auto quiet = std::make_shared<onewire::sim::SimBus>();
  quiet->set_device_clock(&clock);
  auto h = make_thermometer(TF::kH, 6, 22.0);
  quiet->add(h);
  qvds::Bus plain = adopt(std::make_unique<onewire::sim::SimLink>(quiet));
  const qvds::BusReport p = diagnose(plain);
  EXPECT_FALSE(p.undocumented);
  ASSERT_EQ(p.sensors.size(), 1u);
  EXPECT_TRUE(p.sensors[0].undocumented.empty());
  EXPECT_EQ(p.sensors[0].family, CloneFamily::kH);
}

TEST_F(DoctorBus, ParasiteSensorsAreNotTimedAndUnfedOnesAreNamedInTheAdvice) {
  auto b1 = make_thermometer(TF::kB1, 7, 19.5);
  b1->set_parasite(true);
  auto a1 = make_thermometer(TF::kA1, 8, 19.5);
  a1->set_parasite(true);
  sim->add(b1);
  sim->add(a1);
  {
    qvds::Bus bus = open();
    const qvds::BusReport r = diagnose(bus);
    for (const auto& d : {b1, a1}) {
      const qvds::SensorReport& s = report_of(r, d);
      EXPECT_EQ(s.power, qvds::PowerSupply::kParasite);
      EXPECT_FALSE(s.conversion_time);
      EXPECT_NE(s.timing_note.find("not valid on parasite power"), std::string::npos) << s.timing_note;
      EXPECT_NE(lines(s.untested).find("parasite"), std::string::npos) << lines(s.untested);
      EXPECT_EQ(s.reading, qvds::ReadStatus::kRead) << qvds::status_name(s.reading);
      EXPECT_TRUE(s.restored);
      EXPECT_EQ(d->brownouts(), 0) << "the strong pull-up fed every conversion";
      expect_left_alone(d, name_of(d->family()));
    }
    EXPECT_EQ(report_of(r, b1).family, CloneFamily::kB1) << lines(report_of(r, b1).evidence);
    EXPECT_EQ(report_of(r, a1).family, CloneFamily::kA1) << lines(report_of(r, a1).evidence);
    EXPECT_EQ(advice_of(r, qvds::AdviceKind::kParasiteUnfed), nullptr);
    const qvds::Advice* clones = advice_of(r, qvds::AdviceKind::kClones);
    ASSERT_NE(clones, nullptr);
    EXPECT_EQ(clones->sensors, std::vector<qvds::Rom>{b1->rom()});
  }
  // The same sensors on an adapter without a strong pull-up: never
  // converted, and said so for the bus.
  const int conversions = b1->conversions() + a1->conversions();
  qvds::Bus bus = adopt(std::make_unique<NoPullupLink>(sim));
  const qvds::BusReport r = diagnose(bus);
  EXPECT_FALSE(r.strong_pullup);
  const qvds::Advice* unfed = advice_of(r, qvds::AdviceKind::kParasiteUnfed);
  ASSERT_NE(unfed, nullptr);
  EXPECT_EQ(unfed->sensors.size(), 2u);
  EXPECT_NE(unfed->text.find("strong pull-up"), std::string::npos) << unfed->text;
  for (const auto& d : {b1, a1}) {
    const qvds::SensorReport& s = report_of(r, d);
    EXPECT_EQ(s.power, qvds::PowerSupply::kParasiteUnfed);
    EXPECT_EQ(s.reading, qvds::ReadStatus::kParasiteUnfed);
    EXPECT_NE(s.summary.find("cannot convert"), std::string::npos) << s.summary;
  }
  EXPECT_EQ(b1->conversions() + a1->conversions(), conversions);
  // The writes alone still tell B1.
  EXPECT_EQ(report_of(r, b1).family, CloneFamily::kB1);
}

TEST_F(DoctorBus, CrcErrorsAreCountedAndADeviceThatComesAndGoesIsNamed) {
  auto noisy = make_thermometer(TF::kA1, 9, 18.0);
  noisy->corrupt_every(4);
  auto shy = make_thermometer(TF::kE, 10, 18.0);
  sim->add(noisy);
  sim->add(shy);
  // The second of three searches misses `shy`; the third finds it again.
  auto link = std::make_unique<SearchWatchingLink>(sim, [this, shy](int search) {
    if (search == 2) sim->remove(shy->rom());
    if (search == 3) sim->add(shy);
  });
  qvds::Bus bus = adopt(std::move(link));
  const qvds::BusReport r = diagnose(bus);
  EXPECT_EQ(r.searches, 3);
  ASSERT_EQ(r.sensors.size(), 2u);

  const qvds::SensorReport& n = report_of(r, noisy);
  EXPECT_EQ(n.reads, 20);
  EXPECT_EQ(n.crc_errors, 5);
  EXPECT_DOUBLE_EQ(n.crc_error_rate(), 0.25);
  EXPECT_NE(n.summary.find("CRC errors in 5 of 20 reads"), std::string::npos) << n.summary;
  // Reads are retried in the tests themselves: the verdict stands.
  EXPECT_EQ(n.family, CloneFamily::kA1) << lines(n.evidence);
  const qvds::Advice* crc = advice_of(r, qvds::AdviceKind::kCrcErrors);
  ASSERT_NE(crc, nullptr);
  EXPECT_EQ(crc->sensors, std::vector<qvds::Rom>{noisy->rom()});

  const qvds::SensorReport& s = report_of(r, shy);
  EXPECT_EQ(s.found_in, 2);
  EXPECT_EQ(n.found_in, 3);
  const qvds::Advice* gone = advice_of(r, qvds::AdviceKind::kIntermittent);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->sensors, std::vector<qvds::Rom>{shy->rom()});
  EXPECT_EQ(s.family, CloneFamily::kE);
}

TEST_F(DoctorBus, ASensorThatNeverConvertsIsNamedAndSaidNotToConvert) {
  auto b1 = make_thermometer(TF::kB1, 11, 21.25);
  b1->skip_conversions(Ds18x20::kEvery);
  auto a1 = make_thermometer(TF::kA1, 12, 21.25);
  a1->skip_conversions(Ds18x20::kEvery);
  sim->add(b1);
  sim->add(a1);
  qvds::Bus bus = open();
  const qvds::BusReport r = diagnose(bus);
  const qvds::SensorReport& b = report_of(r, b1);
  EXPECT_EQ(b.family, CloneFamily::kB1) << lines(b.evidence);
  EXPECT_EQ(b.confidence, Confidence::kMedium);
  EXPECT_EQ(b.reading, qvds::ReadStatus::kUnconfirmed);
  EXPECT_NE(lines(b.faults).find("it did not convert"), std::string::npos) << lines(b.faults);
  EXPECT_FALSE(b.conversion_time);
  const qvds::SensorReport& a = report_of(r, a1);
  EXPECT_EQ(a.reading, qvds::ReadStatus::kPowerOnValue);
  EXPECT_NE(a.summary.find("did not convert"), std::string::npos) << a.summary;
  // One conversion asked of each, not one per resolution and retry.
  EXPECT_LE(b1->conversions(), 2);
  EXPECT_LE(a1->conversions(), 2);
  EXPECT_TRUE(b.restored);
}

TEST_F(DoctorBus, OtherModelsAreListedWithoutCloneTests) {
  auto s20 = std::make_shared<Ds18x20>(onewire::sim::make_rom(0x10, 0x1234), 24.5);
  sim->add(s20);
  sim->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x01, 0x42)));
  const auto before = pad(s20);
  qvds::Bus bus = open();
  const qvds::BusReport r = diagnose(bus);
  ASSERT_EQ(r.sensors.size(), 1u);
  ASSERT_EQ(r.others.size(), 1u);
  EXPECT_EQ(r.others[0].rom[0], 0x01);
  const qvds::SensorReport& s = r.sensors[0];
  EXPECT_EQ(s.model, qvds::Model::kDs18s20);
  EXPECT_EQ(s.family, CloneFamily::kUnknown);
  EXPECT_TRUE(s.candidates.empty());
  EXPECT_EQ(s.reading, qvds::ReadStatus::kRead);
  ASSERT_TRUE(s.conversion_time);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(*s.conversion_time).count(), 750);
  EXPECT_NE(s.summary.find("DS18S20: reads right"), std::string::npos) << s.summary;
  EXPECT_EQ(advice_of(r, qvds::AdviceKind::kUnknownFamily), nullptr) << "a DS18S20 is no unknown DS18B20";
  const auto after = pad(s20);
  for (std::size_t i : {2, 3}) EXPECT_EQ(after[i], before[i]);
  expect_left_alone(s20, "the DS18S20");
}

TEST_F(DoctorBus, AShortedOrEmptyBusIsAdviceNotAFailure) {
  {
    qvds::Bus bus = open();
    const qvds::BusReport r = diagnose(bus);
    EXPECT_FALSE(r.presence);
    EXPECT_NE(advice_of(r, qvds::AdviceKind::kNoDevices), nullptr);
    EXPECT_TRUE(r.sensors.empty());
  }
  sim->add(make_thermometer(TF::kA1, 13, 20.0));
  sim->set_short(true);
  qvds::Bus bus = open();
  const qvds::BusReport r = diagnose(bus);
  EXPECT_TRUE(r.shorted);
  const qvds::Advice* a = advice_of(r, qvds::AdviceKind::kShort);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a->text.find("DQ and GND"), std::string::npos);
  EXPECT_TRUE(r.sensors.empty());
  // Options out of range are refused before the bus is touched.
  qvds::DoctorOptions bad;
  bad.searches = 0;
  EXPECT_EQ(bus.diagnose(bad).error(), qvds::Errc::kBadArgument);
}

TEST_F(DoctorBus, AStopInTheMiddlePutsTheSensorBackFirst) {
  auto part = make_thermometer(TF::kB1, 14, 20.0);
  part->set_power_up_settings(0x20, 0x10, 0x3F);
  sim->add(part);
  const auto before = pad(part);
  std::stop_source stop;
  qvds::Bus bus = adopt(std::make_unique<StoppingLink>(sim, stop));
  qvds::CallOptions call;
  call.stop = stop.get_token();
  auto r = bus.diagnose({}, call);
  EXPECT_EQ(r.error(), qvds::Errc::kCancelled) << r.message();
  const auto after = pad(part);
  for (std::size_t i : {2, 3, 4, 6, 7}) EXPECT_EQ(after[i], before[i]) << "byte " << i;
  expect_left_alone(part, "B1");
}

}  // namespace
