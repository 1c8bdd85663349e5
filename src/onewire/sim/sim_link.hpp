// The in-process simulated adapter: a Link straight onto a SimBus, with no
// serial protocol in between. Several links may share one bus.
#pragma once

#include "qvds18x20/export.hpp"

#include <memory>

#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"

namespace onewire::sim {

class QVDS_API SimLink : public Link {
 public:
  explicit SimLink(std::shared_ptr<SimBus> bus);
  ~SimLink() override;

  int open() override;
  void close() override;
  bool is_open() const override;

  int reset() override;
  int touch_bit(int bit) override;
  int touch_byte(int byte) override;
  int set_speed(Speed speed) override;
  bool can_strong_pullup() const override { return true; }
  int touch_byte_pullup(int byte) override;
  int end_strong_pullup() override;

  const char* name() const override;

  const std::shared_ptr<SimBus>& bus() const { return bus_; }

 private:
  std::shared_ptr<SimBus> bus_;
  bool open_ = false;
  bool pullup_ = false;  // this link put the bus at the strong pull-up
};

}  // namespace onewire::sim
