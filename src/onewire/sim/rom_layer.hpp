// The ROM-command layer every simulated 1-Wire slave shares: after a reset
// it takes a ROM command (SEARCH ROM, ALARM SEARCH, MATCH ROM, SKIP ROM,
// READ ROM) bit by bit and either drops out until the next reset or hands
// the following slots to the device's function layer.
//
// Not thread-safe on its own: the owning device calls it under its lock.
#pragma once

#include <cstdint>

#include "onewire/link.hpp"

namespace onewire::sim {

class RomLayer {
 public:
  explicit RomLayer(const Rom& rom) : rom_(rom) {}

  const Rom& rom() const { return rom_; }

  // A reset pulse ended: listen for a ROM command.
  void reset();
  // The device lost power and came back: deaf until the next reset.
  void power_up() { state_ = State::kIdle; }
  // True once a ROM command addressed this device; from then until the
  // next reset every slot belongs to the function layer.
  bool selected() const { return state_ == State::kSelected; }
  // True while the device ignores every slot until the next reset.
  bool idle() const { return state_ == State::kIdle; }
  // The level this layer leaves on the line in the current slot (true =
  // released). Meaningful while not selected().
  bool drive() const;
  // The sampled level of the current slot. `alarm` says whether the device
  // would take part in an ALARM SEARCH, read only when that command ends.
  void sample(bool line, bool alarm);

 private:
  enum class State : std::uint8_t { kIdle, kCommand, kSearch, kMatch, kReadRom, kSelected };

  // Bit i (0..63) of the ROM in bus order: byte 0 first, LSB first.
  bool rom_bit(int i) const { return ((rom_[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1) != 0; }

  Rom rom_;
  // Power-up behaves as after a reset that nobody saw: nothing until the
  // master's first reset pulse.
  State state_ = State::kIdle;
  int bit_ = 0;
  // Search ROM, per ROM bit: 0 id bit, 1 its complement, 2 the direction.
  int phase_ = 0;
  std::uint8_t command_ = 0;
};

}  // namespace onewire::sim
