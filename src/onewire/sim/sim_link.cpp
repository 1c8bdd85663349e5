#include "onewire/sim/sim_link.hpp"

#include <utility>

namespace onewire::sim {

SimLink::SimLink(std::shared_ptr<SimBus> bus) : bus_(std::move(bus)) {}

SimLink::~SimLink() = default;

int SimLink::open() {
  open_ = true;
  return 1;
}


bool SimLink::is_open() const { return open_; }

int SimLink::reset() { return bus_->reset(); }

int SimLink::touch_bit(int bit) { return bus_->touch_bit(bit); }

// The bus runs a byte as one primitive: one lock, one paced wait.
int SimLink::touch_byte(int byte) { return bus_->touch_byte(byte); }

int SimLink::touch_byte_pullup(int byte) {
  const int r = bus_->touch_byte(byte);
  bus_->strong_pullup(true);
  pullup_ = true;
  return r;
}

int SimLink::end_strong_pullup() {
  if (pullup_) bus_->strong_pullup(false);
  pullup_ = false;
  return 1;
}

void SimLink::close() {
  end_strong_pullup();
  open_ = false;
}

int SimLink::set_speed(Speed speed) {
  bus_->set_speed(speed);
  return static_cast<int>(bus_->speed());
}

const char* SimLink::name() const { return "Simulated 1-Wire bus"; }

}  // namespace onewire::sim
