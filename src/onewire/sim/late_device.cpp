#include "onewire/sim/late_device.hpp"

#include <mutex>
#include <optional>

namespace onewire::sim {

namespace {

class LateDevice final : public Device {
 public:
  LateDevice(std::shared_ptr<Device> inner, rtl::Duration after) : inner_(std::move(inner)), after_(after) {}

  const Rom& rom() const override { return inner_->rom(); }
  bool on_reset(rtl::TimePoint now) override {
    {
      std::lock_guard lock(mutex_);
      if (!first_) first_ = now;
      here_ = now - *first_ >= after_;
    }
    return here() && inner_->on_reset(now);
  }
  bool drive(rtl::TimePoint now) override { return !here() || inner_->drive(now); }
  void sample(bool line, rtl::TimePoint now) override {
    if (here()) inner_->sample(line, now);
  }
  bool alarm(rtl::TimePoint now) override { return here() && inner_->alarm(now); }
  void on_strong_pullup(bool on, rtl::TimePoint now) override {
    if (here()) inner_->on_strong_pullup(on, now);
  }
  bool asleep() override { return !here() || inner_->asleep(); }
  bool holds_line_low(rtl::TimePoint now) override { return here() && inner_->holds_line_low(now); }

 private:
  bool here() const {
    std::lock_guard lock(mutex_);
    return here_;
  }

  std::shared_ptr<Device> inner_;
  const rtl::Duration after_;
  mutable std::mutex mutex_;
  std::optional<rtl::TimePoint> first_;
  bool here_ = false;
};

}  // namespace

std::shared_ptr<Device> make_late_device(std::shared_ptr<Device> device, rtl::Duration after) {
  return std::make_shared<LateDevice>(std::move(device), after);
}

}  // namespace onewire::sim
