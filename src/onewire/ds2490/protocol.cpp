#include "onewire/ds2490/protocol.hpp"

namespace onewire::ds2490 {

StatusError parse_status(const std::uint8_t* data, std::size_t n, Status& out) {
  out = Status{};
  if (data == nullptr || n < kStatusRegisters) return StatusError::kShort;
  if (n > kStatusMax) return StatusError::kTooLong;
  Status s;
  s.enable_flags = data[0];
  s.speed = data[1];
  s.pullup_duration = data[2];
  s.prog_duration = data[3];
  s.slew_rate = data[4];
  s.write1_low = data[5];
  s.dso_w0r = data[6];
  s.flags = data[8];
  s.command = static_cast<std::uint16_t>(data[9] | (data[10] << 8));
  s.command_fifo = data[11];
  s.to_bus = data[12];
  s.from_bus = data[13];
  // The mode registers hold 3-bit codes, the enables three bits and the
  // speed one of three values; the FIFOs cannot hold more than they have
  // room for; and an idle chip runs no command. Anything else is a
  // damaged transfer.
  if (s.enable_flags > 7 || s.speed > kSpeedOverdrive || s.slew_rate > 7 || s.write1_low > 7 || s.dso_w0r > 7)
    return StatusError::kImpossible;
  if ((s.flags & kStReserved) != 0) return StatusError::kImpossible;
  if (s.command_fifo > kCommandFifoSize || s.to_bus > kFifoSize || s.from_bus > kFifoSize)
    return StatusError::kImpossible;
  if (s.idle() && s.command != 0) return StatusError::kImpossible;
  s.result_count = n - kStatusRegisters;
  for (std::size_t i = 0; i < s.result_count; ++i) s.results[i] = data[kStatusRegisters + i];
  out = s;
  return StatusError::kNone;
}

void summarise_results(const Status& status, ResultSummary& summary) {
  for (std::size_t i = 0; i < status.result_count; ++i) {
    const std::uint8_t r = status.results[i];
    if (r == kResultDeviceArrived) continue;
    ++summary.codes;
    if ((r & kResultSh) != 0) summary.short_circuit = true;
    if ((r & kResultNrs) != 0) summary.no_presence = true;
    if ((r & kResultApp) != 0) summary.alarm_presence = true;
  }
}

}  // namespace onewire::ds2490
