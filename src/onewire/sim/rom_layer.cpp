#include "onewire/sim/rom_layer.hpp"

#include "onewire/commands.hpp"

namespace onewire::sim {

void RomLayer::reset() {
  state_ = State::kCommand;
  bit_ = 0;
  phase_ = 0;
  command_ = 0;
}

bool RomLayer::drive() const {
  switch (state_) {
    case State::kSearch:
      if (phase_ == 0) return rom_bit(bit_);
      if (phase_ == 1) return !rom_bit(bit_);
      return true;
    case State::kReadRom:
      return rom_bit(bit_);
    default:
      return true;
  }
}

void RomLayer::sample(bool line, bool alarm) {
  switch (state_) {
    case State::kIdle:
    case State::kSelected:
      return;
    case State::kCommand:
      if (line) command_ = static_cast<std::uint8_t>(command_ | (1u << bit_));
      if (++bit_ < 8) return;
      bit_ = 0;
      phase_ = 0;
      switch (command_) {
        case kSearchRom:
          state_ = State::kSearch;
          break;
        case kAlarmSearch:
          state_ = alarm ? State::kSearch : State::kIdle;
          break;
        case kMatchRom:
          state_ = State::kMatch;
          break;
        case kSkipRom:
          state_ = State::kSelected;
          break;
        case kReadRom:
          state_ = State::kReadRom;
          break;
        default:
          // Overdrive and resume commands are not modelled: such a device
          // stays silent, as one without them would.
          state_ = State::kIdle;
          break;
      }
      return;
    case State::kSearch:
      if (phase_ < 2) {
        ++phase_;
        return;
      }
      if (line != rom_bit(bit_)) {
        state_ = State::kIdle;
        return;
      }
      phase_ = 0;
      // The device left alone after 64 bits is addressed, as after MATCH ROM.
      if (++bit_ == 64) state_ = State::kSelected;
      return;
    case State::kMatch:
      if (line != rom_bit(bit_)) {
        state_ = State::kIdle;
        return;
      }
      if (++bit_ == 64) state_ = State::kSelected;
      return;
    case State::kReadRom:
      if (++bit_ == 64) state_ = State::kSelected;
      return;
  }
}

}  // namespace onewire::sim
