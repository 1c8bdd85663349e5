#include "onewire/sim/adapter_emulator.hpp"

#include <algorithm>

#include "onewire/ds2480b/protocol.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::sim {

using namespace std::chrono_literals;
namespace proto = onewire::ds2480b;

std::unique_ptr<AdapterEmulator> make_adapter_emulator(AdapterKind kind, std::shared_ptr<SimBus> bus) {
  if (kind == AdapterKind::kPassive) return std::make_unique<PassiveEmulator>(std::move(bus));
  return std::make_unique<Ds2480bEmulator>(std::move(bus));
}

// ---------------------------------------------------------------- DS2480B

namespace {

// Power-on values: 512 us programming pulse, 524 ms strong pull-up,
// 9600 baud, the rest at their fastest settings.
constexpr std::uint8_t kDefaultParams[8] = {0, 0, 4, 4, 0, 0, 0, proto::kRate9600};

Speed speed_of(std::uint8_t field) {
  switch (field) {
    case proto::kSpeedFlexible:
      return Speed::kRelaxed;
    case proto::kSpeedOverdrive:
      return Speed::kOverdrive;
    default:
      return Speed::kNormal;
  }
}

// The 5 V pulse answer (upper six bits of the pulse command): what a
// strong pull-up after a single bit sends when it ends.
constexpr std::uint8_t kPullUpAnswer = proto::kPulse & 0xFC;

}  // namespace

Ds2480bEmulator::Ds2480bEmulator(std::shared_ptr<SimBus> bus) : bus_(std::move(bus)) {
  master_reset();
}

Ds2480bEmulator::~Ds2480bEmulator() = default;

int Ds2480bEmulator::baud() const { return proto::rate_baud(params_[static_cast<int>(proto::Param::kBaud)]); }

std::uint8_t Ds2480bEmulator::parameter(int code) const { return code >= 0 && code < 8 ? params_[code] : 0; }

Speed Ds2480bEmulator::speed() const { return speed_of(speed_field_); }

void Ds2480bEmulator::master_reset() {
  awaiting_calibration_ = true;
  data_mode_ = false;
  escape_pending_ = false;
  accelerator_ = false;
  if (pulse_active_) bus_->strong_pullup(false);
  pulse_active_ = false;
  pulse_armed_ = false;
  speed_field_ = proto::kSpeedStandard;
  for (int i = 0; i < 8; ++i) params_[i] = kDefaultParams[i];
  // The reset also empties the input buffer.
  work_start_ = work_end_ = rtl::TimePoint{};
}

void Ds2480bEmulator::line_break() { master_reset(); }

void Ds2480bEmulator::power_cycle() { master_reset(); }

// A host that flushes its output right after ending an accelerated search
// can lose the "E3 A5" that ends it, and would then find the chip still
// searching. No host flushes in the middle of a search, so a flush seen
// while the accelerator is on means that switch was lost.
void Ds2480bEmulator::host_discarded_output() {
  if (!accelerator_) return;
  accelerator_ = false;
  data_mode_ = false;
  escape_pending_ = false;
}

void Ds2480bEmulator::apply_speed(std::uint8_t field) {
  // Speed field 11 only marks a pulse command.
  if (field == (proto::kSpeedFlexible | proto::kSpeedOverdrive)) return;
  speed_field_ = field;
  bus_->set_speed(speed_of(field));
}

rtl::Duration Ds2480bEmulator::pulse_length(bool programming) const {
  if (programming) {
    const std::uint8_t code = params_[static_cast<int>(proto::Param::kProgramPulse)];
    return std::chrono::microseconds(32 << code);
  }
  static constexpr std::int64_t kPullUpUs[7] = {16'400, 65'500, 131'000, 262'000, 524'000, 1'048'000, 1'048'000};
  const std::uint8_t code = params_[static_cast<int>(proto::Param::kPullUp)];
  return std::chrono::microseconds(kPullUpUs[code < 7 ? code : 6]);
}

void Ds2480bEmulator::receive_at(std::uint8_t b, rtl::TimePoint begins, std::vector<std::uint8_t>& out) {
  const rtl::TimePoint arrived = begins + serial::char_time(baud());
  // The byte two before this one must be done: otherwise the chip is
  // working on one byte and holds the next, and this one has nowhere to
  // go. The byte before it is then being worked on or done, so this one
  // starts when that ends.
  if (overrun_ && work_start_ > arrived) {
    ++lost_bytes_;
    timing_ = ByteTiming{serial::char_time(baud()), rtl::Duration(0), rtl::Duration(0)};
    return;
  }
  receive(b, out);
  work_start_ = std::max(arrived, work_end_);
  work_end_ = work_start_ + busy_;
}

void Ds2480bEmulator::receive(std::uint8_t b, std::vector<std::uint8_t>& out) {
  const rtl::Duration ch = serial::char_time(baud());
  timing_ = ByteTiming{ch, rtl::Duration(0), ch};
  busy_ = rtl::Duration(0);
  if (!data_mode_) {
    command(b, out);
    return;
  }
  if (escape_pending_) {
    escape_pending_ = false;
    if (b == proto::kCommandMode) {
      data(b, out);
    } else {
      // The E3 was a switch to command mode; this byte is a command.
      data_mode_ = false;
      command(b, out);
    }
    return;
  }
  if (b == proto::kCommandMode) {
    escape_pending_ = true;
    return;
  }
  data(b, out);
}

void Ds2480bEmulator::command(std::uint8_t b, std::vector<std::uint8_t>& out) {
  // A NUL is never a command: it is a break sent as a character at a
  // lower rate, the way a host reaches a chip it cannot send a real
  // break to.
  if (b == 0x00 && nul_is_break_) {
    master_reset();
    return;
  }
  if (awaiting_calibration_) {
    // Only measured for timing; no bus activity, no answer.
    awaiting_calibration_ = false;
    return;
  }
  if (b == proto::kDataMode) {
    data_mode_ = true;
    return;
  }
  if (b == proto::kCommandMode) return;
  if (b == proto::kStopPulse) {
    if (pulse_active_) {
      pulse_active_ = false;
      if (pulse_is_pullup_) bus_->strong_pullup(false);
      out.push_back(pulse_answer_);
    }
    return;
  }
  if ((b & 1) == 0) return;  // not a command

  if ((b & 0x80) == 0) {
    // Configuration: 0 P P P V V V 1 writes, 0 0 0 0 P P P 1 reads.
    const int param = (b >> 4) & 7;
    if (param == 0) {
      out.push_back(proto::config_read_answer(params_[(b >> 1) & 7]));
      return;
    }
    params_[param] = static_cast<std::uint8_t>((b >> 1) & 7);
    // A new rate applies at once, to this answer too.
    if (param == static_cast<int>(proto::Param::kBaud)) timing_.answer = serial::char_time(baud());
    out.push_back(proto::config_write_answer(b));
    return;
  }

  const int function = (b >> 5) & 3;
  const auto field = static_cast<std::uint8_t>(b & proto::kSpeedMask);
  switch (function) {
    case 0: {  // single bit: 1 0 0 V S S P 1
      apply_speed(field);
      const int line = bus_->touch_bit((b & proto::kBitValue) != 0 ? 1 : 0);
      timing_.wire = BusTiming::slot(speed());
      busy_ = timing_.wire;
      out.push_back(static_cast<std::uint8_t>((b & 0xFC) | (line != 0 ? 3 : 0)));
      if ((b & proto::kBitPullUp) != 0) {
        // The strong pull-up follows the slot at once: what a parasite
        // device converting after this bit lives on.
        if (params_[static_cast<int>(proto::Param::kPullUp)] == proto::kDurationInfinite) {
          pulse_active_ = true;
          pulse_is_pullup_ = true;
          pulse_answer_ = kPullUpAnswer;
          bus_->strong_pullup(true);
        } else {
          timing_.wire += pulse_length(false);
          bus_->strong_pullup_for(pulse_length(false));
          out.push_back(kPullUpAnswer);
        }
      }
      return;
    }
    case 1:  // search accelerator: 1 0 1 H S S x 1, no answer
      apply_speed(field);
      accelerator_ = (b & 0x10) != 0;
      return;
    case 2: {  // reset: 1 1 0 x S S x 1
      apply_speed(field);
      const int r = bus_->reset();
      timing_.wire = BusTiming::reset(speed());
      busy_ = timing_.wire;
      std::uint8_t result = proto::kResetNoPresence;
      if (r == kResetShort)
        result = proto::kResetShorted;
      else if (r == kResetPresence)
        result = proto::kResetPresence;
      else if (r == kResetAlarmPresence)
        result = proto::kResetAlarming;
      out.push_back(static_cast<std::uint8_t>(proto::kResetAnswerMask | proto::kRevisionDs2480b | result));
      return;
    }
    default: {  // pulse: 1 1 1 T 1 1 Q 1
      const bool programming = (b & proto::kPulseProgram) != 0;
      pulse_armed_ = (b & proto::kPulseArm) != 0;
      const auto answer = static_cast<std::uint8_t>(b & 0xFC);
      const auto code = params_[static_cast<int>(programming ? proto::Param::kProgramPulse : proto::Param::kPullUp)];
      // Only the 5 V pulse is a strong pull-up; the 12 V one programs
      // EPROM parts and feeds no thermometer.
      if (code == proto::kDurationInfinite) {
        pulse_active_ = true;
        pulse_is_pullup_ = !programming;
        pulse_answer_ = answer;
        if (!programming) bus_->strong_pullup(true);
      } else {
        timing_.wire = pulse_length(programming);
        if (!programming) bus_->strong_pullup_for(pulse_length(false));
        out.push_back(answer);
      }
      return;
    }
  }
}

void Ds2480bEmulator::data(std::uint8_t b, std::vector<std::uint8_t>& out) {
  if (!accelerator_) {
    out.push_back(static_cast<std::uint8_t>(bus_->touch_byte(b)));
    timing_.wire = 8 * BusTiming::slot(speed());
    busy_ = timing_.wire;
    if (pulse_armed_ && params_[static_cast<int>(proto::Param::kPullUp)] != proto::kDurationInfinite) {
      timing_.wire += pulse_length(false);
      bus_->strong_pullup_for(pulse_length(false));
    }
    return;
  }
  // Four ROM bits, each three slots: the bit, its complement, and the
  // direction written (the host's choice on a discrepancy, the only bit
  // present otherwise, 1 when nobody answered).
  std::uint8_t answer = 0;
  for (int k = 0; k < 4; ++k) {
    const int id = bus_->touch_bit(1);
    const int cmp = bus_->touch_bit(1);
    const bool wanted = ((b >> (2 * k + 1)) & 1) != 0;
    bool dir = true;
    bool flag = true;
    if (id == 0 && cmp == 0) {
      dir = wanted;
    } else if (id != cmp) {
      dir = id != 0;
      flag = false;
    }
    bus_->touch_bit(dir ? 1 : 0);
    if (flag) answer = static_cast<std::uint8_t>(answer | (1u << (2 * k)));
    if (dir) answer = static_cast<std::uint8_t>(answer | (1u << (2 * k + 1)));
  }
  timing_.wire = 12 * BusTiming::slot(speed());
  busy_ = timing_.wire;
  out.push_back(answer);
}

// ---------------------------------------------------------------- passive

PassiveEmulator::PassiveEmulator(std::shared_ptr<SimBus> bus) : bus_(std::move(bus)) {}

PassiveEmulator::~PassiveEmulator() = default;

void PassiveEmulator::line_break() { bus_->reset(); }

void PassiveEmulator::receive(std::uint8_t b, std::vector<std::uint8_t>& out) {
  if (b == 0xF0) {
    timing_ = ByteTiming{serial::char_time(serial::kBaud9600), rtl::Duration(0), rtl::Duration(0)};
    const int r = bus_->reset();
    if (r == kResetShort)
      out.push_back(0x00);
    else if (r == kResetNoPresence)
      out.push_back(0xF0);
    else
      out.push_back(0xE0);  // the presence pulse clears bit 4 of the released half
    return;
  }
  timing_ = ByteTiming{serial::char_time(serial::kBaud115200), rtl::Duration(0), rtl::Duration(0)};
  const bool write_one = (b & 1) != 0;
  const int line = bus_->touch_bit(write_one ? 1 : 0);
  // A slave holding the line low through the read sample point clears the
  // first three data bits on the receive line.
  out.push_back(write_one && line == 0 ? static_cast<std::uint8_t>(b & 0xF8) : b);
}

}  // namespace onewire::sim
