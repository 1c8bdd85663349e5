#include <atomic>
#include "onewire/sim/bus.hpp"

#include <algorithm>
#include <utility>

#include "onewire/crc.hpp"
#include "onewire/sim/rom_layer.hpp"

namespace onewire::sim {

using namespace std::chrono_literals;

rtl::Duration BusTiming::reset(Speed s) { return s == Speed::kOverdrive ? rtl::Duration(138us) : rtl::Duration(1096us); }

rtl::Duration BusTiming::slot(Speed s) { return s == Speed::kOverdrive ? rtl::Duration(10us) : rtl::Duration(60us); }

struct SimBus::Impl {
  mutable std::mutex mutex;
  std::vector<std::shared_ptr<Device>> devices;
  bool shorted = false;
  Speed speed = Speed::kNormal;
  rtl::Duration bus_time{0};
  std::uint64_t resets = 0;
  std::uint64_t slots = 0;
  std::uint64_t pullups = 0;
  bool pullup = false;
  rtl::Clock* pacing = nullptr;
  rtl::TimePoint deadline{};
  // How late the last paced wait woke up (written after the wait, outside
  // the lock).
  std::atomic<std::int64_t> overshoot_ns{0};
  rtl::Clock* device_clock = nullptr;
  std::vector<Device*> awake;  // scratch of slot(), kept to avoid allocating

  rtl::TimePoint device_now() const { return (device_clock != nullptr ? *device_clock : rtl::GetClock()).now(); }

  // Every device sees the strong pull-up change, asleep or not: it powers
  // the whole line.
  void set_pullup(bool on, rtl::TimePoint now) {
    if (pullup == on) return;
    pullup = on;
    if (on) ++pullups;
    for (const auto& d : devices) d->on_strong_pullup(on, now);
  }

  // One slot on the wired-AND line; every device sees every slot, also
  // when the master or another device already holds the line low.
  bool slot(bool master, rtl::TimePoint now) {
    set_pullup(false, now);
    ++slots;
    bus_time += BusTiming::slot(speed);
    if (shorted) return false;
    awake.clear();
    bool line = master;
    for (const auto& d : devices) {
      if (d->asleep()) continue;
      awake.push_back(d.get());
      line = d->drive(now) && line;
    }
    for (Device* d : awake) d->sample(line, now);
    return line;
  }

  // Accounts `cost` against the pacing deadline. Returns the clock and the
  // time to wait until, so that the caller sleeps after releasing the lock.
  // A bus that was idle starts the primitive now; the lateness of the last
  // wait's wake-up is taken off, so that the sleeps' overshoot does not add
  // up over thousands of primitives, while time the master spent between
  // primitives still counts as idle bus time.
  std::pair<rtl::Clock*, rtl::TimePoint> pace(rtl::Duration cost) {
    if (pacing == nullptr) return {nullptr, {}};
    const rtl::TimePoint idle_start = pacing->now() - rtl::Duration(overshoot_ns.load(std::memory_order_relaxed));
    deadline = std::max(deadline, idle_start) + cost;
    return {pacing, deadline};
  }
};

namespace {

void wait(const std::pair<rtl::Clock*, rtl::TimePoint>& until, std::atomic<std::int64_t>& overshoot_ns) {
  if (until.first == nullptr) return;
  until.first->sleep_until(until.second);
  const auto late = until.first->now() - until.second;
  overshoot_ns.store(late.count() > 0 ? late.count() : 0, std::memory_order_relaxed);
}

}  // namespace

SimBus::SimBus() : impl_(std::make_unique<Impl>()) {}

SimBus::~SimBus() = default;

void SimBus::add(std::shared_ptr<Device> device) {
  if (!device) return;
  std::lock_guard lock(impl_->mutex);
  impl_->devices.push_back(std::move(device));
}

bool SimBus::remove(const Rom& rom) {
  std::lock_guard lock(impl_->mutex);
  auto& v = impl_->devices;
  const auto before = v.size();
  std::erase_if(v, [&](const std::shared_ptr<Device>& d) { return d->rom() == rom; });
  return v.size() != before;
}

std::vector<std::shared_ptr<Device>> SimBus::devices() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->devices;
}

std::shared_ptr<Device> SimBus::find(const Rom& rom) const {
  std::lock_guard lock(impl_->mutex);
  for (const auto& d : impl_->devices)
    if (d->rom() == rom) return d;
  return nullptr;
}

void SimBus::set_short(bool shorted) {
  std::lock_guard lock(impl_->mutex);
  if (shorted) impl_->set_pullup(false, impl_->device_now());
  impl_->shorted = shorted;
}

int SimBus::reset() {
  int result = kResetNoPresence;
  std::pair<rtl::Clock*, rtl::TimePoint> until;
  {
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    ++s.resets;
    const rtl::Duration cost = BusTiming::reset(s.speed);
    s.bus_time += cost;
    if (s.shorted) {
      result = kResetShort;
    } else {
      const rtl::TimePoint now = s.device_now();
      s.set_pullup(false, now);
      bool presence = false;
      bool held_low = false;
      for (const auto& d : s.devices) {
        presence = d->on_reset(now) || presence;
        held_low = held_low || d->holds_line_low(now);
      }
      result = held_low ? kResetShort : presence ? kResetPresence : kResetNoPresence;
    }
    until = s.pace(cost);
  }
  wait(until, impl_->overshoot_ns);
  return result;
}

int SimBus::touch_bit(int bit) {
  bool line = false;
  std::pair<rtl::Clock*, rtl::TimePoint> until;
  {
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    line = s.slot(bit != 0, s.device_now());
    until = s.pace(BusTiming::slot(s.speed));
  }
  wait(until, impl_->overshoot_ns);
  return line ? 1 : 0;
}

int SimBus::touch_byte(int byte) {
  int result = 0;
  std::pair<rtl::Clock*, rtl::TimePoint> until;
  {
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    const rtl::TimePoint now = s.device_now();
    for (int i = 0; i < 8; ++i)
      if (s.slot(((byte >> i) & 1) != 0, now)) result |= 1 << i;
    until = s.pace(8 * BusTiming::slot(s.speed));
  }
  wait(until, impl_->overshoot_ns);
  return result;
}

void SimBus::strong_pullup(bool on, std::optional<rtl::TimePoint> at) {
  std::lock_guard lock(impl_->mutex);
  // A shorted line holds nothing up.
  if (impl_->shorted && on) return;
  impl_->set_pullup(on, at ? *at : impl_->device_now());
}

void SimBus::strong_pullup_for(rtl::Duration length) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->shorted) return;
  const rtl::TimePoint now = impl_->device_now();
  impl_->set_pullup(true, now);
  impl_->set_pullup(false, now + length);
}

bool SimBus::strong_pullup_on() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pullup;
}

void SimBus::set_speed(Speed s) {
  std::lock_guard lock(impl_->mutex);
  impl_->speed = s;
}

Speed SimBus::speed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->speed;
}

rtl::Duration SimBus::bus_time() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bus_time;
}

void SimBus::reset_bus_time() {
  std::lock_guard lock(impl_->mutex);
  impl_->bus_time = rtl::Duration{0};
}

void SimBus::set_pacing(rtl::Clock* clock) {
  std::lock_guard lock(impl_->mutex);
  impl_->pacing = clock;
  // A deadline belongs to the clock it was read from.
  impl_->deadline = rtl::TimePoint{};
}

void SimBus::set_device_clock(rtl::Clock* clock) {
  std::lock_guard lock(impl_->mutex);
  impl_->device_clock = clock;
}

std::uint64_t SimBus::resets() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->resets;
}

std::uint64_t SimBus::slots() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->slots;
}

std::uint64_t SimBus::strong_pullups() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pullups;
}

Rom make_rom(std::uint8_t family, std::uint64_t serial) {
  Rom rom{};
  rom[0] = family;
  for (std::size_t i = 0; i < 6; ++i) rom[1 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
  rom[7] = crc8(rom.data(), 7);
  return rom;
}

namespace {

class RomDevice final : public Device {
 public:
  explicit RomDevice(const Rom& rom) : layer_(rom) {}

  const Rom& rom() const override { return layer_.rom(); }

  bool on_reset(rtl::TimePoint) override {
    std::lock_guard lock(mutex_);
    layer_.reset();
    asleep_.store(false, std::memory_order_relaxed);
    return true;
  }

  bool drive(rtl::TimePoint) override {
    std::lock_guard lock(mutex_);
    // Selected, it has no function commands: it releases the line.
    return layer_.selected() || layer_.drive();
  }

  void sample(bool line, rtl::TimePoint) override {
    std::lock_guard lock(mutex_);
    layer_.sample(line, false);
    asleep_.store(layer_.idle(), std::memory_order_relaxed);
  }

  bool alarm(rtl::TimePoint) override { return false; }

  bool asleep() override { return asleep_.load(std::memory_order_relaxed); }

 private:
  // Mirrors layer_.idle() for the bus's lock-free check.
  std::atomic<bool> asleep_{true};
  std::mutex mutex_;
  RomLayer layer_;
};

}  // namespace

std::shared_ptr<Device> make_rom_device(const Rom& rom) { return std::make_shared<RomDevice>(rom); }

}  // namespace onewire::sim
