// The driver's device search on a line that flips bits of the adapter's
// answers: whatever the noise does, a caller gets either the whole list
// of devices, once each and in search order, or an error; never a
// repeated device and never a list cut short without a word.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "onewire/driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "onewire/sim/sim_link.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"

namespace {

using onewire::Rom;
using onewire::sim::AdapterKind;

// The serial line between host and adapter, flipping single bits of what
// the adapter answers with a seeded generator once it is armed. The
// adapter's own state stays sound: only the host is misled.
struct NoisyLine {
  std::mt19937 rng;
  double bit_error_rate = 0;
  bool armed = false;
  std::uint64_t flips = 0;
};

class FlippingPort final : public onewire::serial::Transport {
 public:
  FlippingPort(std::unique_ptr<onewire::serial::Transport> inner, std::shared_ptr<NoisyLine> line)
      : inner_(std::move(inner)), line_(std::move(line)) {}
  int open() override { return inner_->open(); }
  void close() override { inner_->close(); }
  bool is_open() const override { return inner_->is_open(); }
  int set_baud(int baud) override { return inner_->set_baud(baud); }
  int baud() const override { return inner_->baud(); }
  int send_break(rtl::Duration length) override { return inner_->send_break(length); }
  int write(const std::uint8_t* data, std::size_t n) override { return inner_->write(data, n); }
  int read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) override {
    const int k = inner_->read(data, n, timeout);
    if (line_->armed && k > 0) {
      std::bernoulli_distribution flip(line_->bit_error_rate);
      for (int i = 0; i < k; ++i)
        for (int bit = 0; bit < 8; ++bit)
          if (flip(line_->rng)) {
            data[i] = static_cast<std::uint8_t>(data[i] ^ (1u << bit));
            ++line_->flips;
          }
    }
    return k;
  }
  int flush_input() override { return inner_->flush_input(); }

 private:
  std::unique_ptr<onewire::serial::Transport> inner_;
  std::shared_ptr<NoisyLine> line_;
};

std::unique_ptr<onewire::Link> make_link(AdapterKind kind, std::shared_ptr<onewire::sim::SimBus> bus,
                                         std::shared_ptr<NoisyLine> line) {
  std::shared_ptr<onewire::sim::AdapterEmulator> chip = onewire::sim::make_adapter_emulator(kind, std::move(bus));
  auto port = std::make_unique<FlippingPort>(std::make_unique<onewire::sim::EmulatedPort>(chip), std::move(line));
  if (kind == AdapterKind::kDs2480b) return std::make_unique<onewire::ds2480b::Ds2480bLink>(std::move(port));
  return std::make_unique<onewire::passive::PassiveLink>(std::move(port));
}

// What a caller of the driver gets from one walk, the way the component
// walks: TMFirst, then TMNext until it answers anything but 1.
struct Walk {
  int first = 0;
  int end = 0;  // what the last TMNext answered
  std::vector<Rom> roms;
};

Walk walk(onewire::BusDriver& driver, std::int32_t session) {
  Walk w;
  std::vector<std::uint8_t> state(onewire::kStateBufferSize);
  auto current = [&] {
    std::array<std::uint16_t, 8> words{};
    EXPECT_EQ(driver.TMRom(session, state.data(), words.data()), 1);
    Rom rom{};
    for (std::size_t k = 0; k < 8; ++k) rom[k] = static_cast<std::uint8_t>(words[k]);
    return rom;
  };
  w.first = driver.TMFirst(session, state.data());
  if (w.first != 1) return w;
  w.roms.push_back(current());
  while ((w.end = driver.TMNext(session, state.data())) == 1 && w.roms.size() < 200) w.roms.push_back(current());
  return w;
}

struct Tally {
  int whole = 0;         // the complete, right list
  int refused = 0;       // TMFirst failed: an error the caller sees
  int mended = 0;        // the complete list although bits were flipped
  std::set<int> codes;   // the errors TMFirst answered
};

// `runs` walks of a bus of `devices` sensors on adapters of `kind`, one
// seed each; every wrong outcome is a test failure.
Tally noisy_walks(AdapterKind kind, int devices, double bit_error_rate, int runs) {
  rtl::SkipClock skip;
  rtl::ClockGuard guard{skip};
  Tally tally;
  for (int seed = 1; seed <= runs; ++seed) {
    testing_support::SensorBus sensors(devices, 0x00C0FFEE0000 + static_cast<std::uint64_t>(seed) * 0x1000);
    const auto expected = sensors.sorted_roms();
    auto line = std::make_shared<NoisyLine>();
    line->rng.seed(static_cast<std::uint32_t>(seed));
    line->bit_error_rate = bit_error_rate;
    onewire::BusDriver driver(
        [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> { return make_link(kind, sensors.bus, line); },
        "noisy", [](int) { return true; });
    const std::int32_t h = driver.TMExtendedStartSession(1, 5, nullptr);
    if (h <= 0) {
      ADD_FAILURE() << "seed " << seed << ": no session (" << h << ") on a quiet line";
      continue;
    }
    line->armed = true;
    const std::uint64_t flips_before = line->flips;
    const Walk w = walk(driver, h);
    line->armed = false;
    if (w.first == 1) {
      EXPECT_EQ(w.end, 0) << "seed " << seed << ": the walk ended in " << w.end << " after " << w.roms.size()
                          << " devices, not in a completed search";
      EXPECT_EQ(w.roms, expected) << "seed " << seed << ": a list that is not the bus";
      if (w.end == 0 && w.roms == expected) {
        ++tally.whole;
        if (line->flips > flips_before) ++tally.mended;
      }
    } else {
      EXPECT_LT(w.first, 0) << "seed " << seed << ": \"no device\" on a bus of " << devices;
      ++tally.refused;
      tally.codes.insert(w.first);
    }
    driver.TMEndSession(h);
  }
  return tally;
}

// Sixty walks of six sensors at one bit in 300, where most walks meet a
// flip, and sixty at `light_rate`, where most get through, some after a
// repeat: the noise must have been met, refused and mended, and every
// code TMFirst answered must be one the caller can read.
void expect_noise_refused_or_mended(AdapterKind kind, double light_rate) {
  const Tally heavy = noisy_walks(kind, 6, 1.0 / 300, 60);
  const Tally light = noisy_walks(kind, 6, light_rate, 60);
  EXPECT_GT(heavy.refused + light.refused, 0) << "the noise never reached the search";
  EXPECT_GT(light.whole, 30) << "noise this light should rarely cost the list";
  EXPECT_GT(heavy.mended + light.mended, 0) << "no corrupted walk was ever repaired by a repeat";
  for (int code : heavy.codes) EXPECT_NE(onewire::describe(code), "") << code;
}

}  // namespace

TEST(NoisySearch, Ds2480bNeverReportsARepeatedOrShortenedList) {
  expect_noise_refused_or_mended(AdapterKind::kDs2480b, 1.0 / 3000);
}

TEST(NoisySearch, PassiveAdapterNeverReportsARepeatedOrShortenedList) {
  // The passive technique exchanges a byte per time slot: a pass is ten
  // times the traffic of the DS2480B's, so its light noise is lighter.
  expect_noise_refused_or_mended(AdapterKind::kPassive, 1.0 / 30000);
}

TEST(NoisySearch, ABusLargerThanTheKeptListIsWalkedToItsEnd) {
  // More devices than the state buffer keeps: TMNext goes on past the
  // list with checked single passes.
  rtl::SkipClock skip;
  rtl::ClockGuard guard{skip};
  testing_support::SensorBus sensors(170);
  onewire::BusDriver driver(
      [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
        return std::make_unique<onewire::sim::SimLink>(sensors.bus);
      },
      "big", [](int) { return true; });
  const std::int32_t h = driver.TMExtendedStartSession(1, 1, nullptr);
  ASSERT_GT(h, 0);
  const Walk w = walk(driver, h);
  ASSERT_EQ(w.first, 1);
  EXPECT_EQ(w.end, 0);
  EXPECT_EQ(w.roms, sensors.sorted_roms());
}

TEST(NoisySearch, WalksThatNeverAgreeAreAnInconsistentSearch) {
  // A device that answers the search only now and then: every walk gives
  // another list, and the driver says so instead of picking one.
  rtl::SkipClock skip;
  rtl::ClockGuard guard{skip};
  testing_support::SensorBus sensors(4);
  const auto flaky = sensors.sensors[1];
  int searches = 0;
  struct FlakyLink final : onewire::sim::SimLink {
    FlakyLink(std::shared_ptr<onewire::sim::SimBus> bus, std::shared_ptr<onewire::sim::Ds18x20> dev, int& n)
        : SimLink(bus), shared_(std::move(bus)), dev_(std::move(dev)), n_(n) {}
    int search(onewire::SearchPass& pass) override {
      // The device leaves or joins at the start of every walk.
      if (pass.last_discrepancy == 0) {
        ++n_;
        if (!shared_->remove(dev_->rom())) shared_->add(dev_);
      }
      return SimLink::search(pass);
    }
    std::shared_ptr<onewire::sim::SimBus> shared_;
    std::shared_ptr<onewire::sim::Ds18x20> dev_;
    int& n_;
  };
  onewire::BusDriver driver(
      [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
        return std::make_unique<FlakyLink>(sensors.bus, flaky, searches);
      },
      "flaky", [](int) { return true; });
  const std::int32_t h = driver.TMExtendedStartSession(1, 1, nullptr);
  ASSERT_GT(h, 0);
  std::vector<std::uint8_t> state(onewire::kStateBufferSize);
  EXPECT_EQ(driver.TMFirst(h, state.data()), onewire::kErrSearchInconsistent);
  std::array<std::uint16_t, 8> words{};
  EXPECT_EQ(driver.TMRom(h, state.data(), words.data()), onewire::kErrNoCurrentDevice)
      << "nothing of a list that could not be trusted becomes current";
  EXPECT_GE(searches, 2) << "the walk was repeated";
  EXPECT_NE(onewire::describe(onewire::kErrSearchInconsistent), "");
}
