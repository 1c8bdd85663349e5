// When a real serial adapter would send each answer to what a host wrote:
// after the host's characters at the adapter's current rate, the 1-Wire
// time of what they did, and the answer's own character time, with
// reception, bus activity and sending overlapping as they do in the chip.
// Behind a USB serial bridge, the answers then reach the host only on the
// ticks of the bridge's latency timer, or at once when a full USB packet
// has gathered. The emulator itself works in no time; this is the
// schedule the virtual adapter keeps to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "onewire/sim/adapter_emulator.hpp"
#include "rtl/clock.hpp"

namespace onewire::sim {

// The answers to one chunk of host bytes.
struct ScheduledAnswers {
  std::vector<std::uint8_t> bytes;
  std::vector<rtl::TimePoint> due;  // when each leaves the adapter
  // The adapter time the chunk added: receiving, bus work and answering,
  // less what overlapped the chunks before it.
  rtl::Duration modelled{0};
};

// Answers [begin, end) of a chunk, handed over together at `at`.
struct AnswerBatch {
  std::size_t begin = 0;
  std::size_t end = 0;
  rtl::TimePoint at{};
};

class AnswerSchedule {
 public:
  // Feeds a chunk that reached the adapter at `arrival` to `emulator` and
  // schedules its answers. Unpaced (answers leave at once, ahead of their
  // time), a host that waited for answers writes early by the schedule:
  // its bytes count as arriving once the answers it has seen were sent,
  // so that they cannot overrun an input buffer only on paper.
  ScheduledAnswers take(AdapterEmulator& emulator, const std::uint8_t* data, std::size_t n, rtl::TimePoint arrival,
                        bool paced);

 private:
  // When the adapter will have taken in the host's last character,
  // finished its last bus activity, and sent its last answer.
  rtl::TimePoint rx_done_{};
  rtl::TimePoint op_done_{};
  rtl::TimePoint tx_done_{};
  rtl::TimePoint busy_until_{};
};

// The USB packets of a bridge whose latency timer of `period` started at
// `origin`: each holds the answers due by the first tick at or after its
// first answer's due time, and leaves at that tick, or when its 62nd byte
// is due.
std::vector<AnswerBatch> bridge_packets(const std::vector<rtl::TimePoint>& due, rtl::TimePoint origin,
                                        rtl::Duration period);

// Paced answers straight to the host: those due within a few character
// times of each other leave together when the last of them is due. The
// last leaves exactly when it would alone, and one wake-up on each side
// (each late by whatever the scheduler adds) replaces several: a passive
// adapter's echoes, 87 us apart, go as one; a DS2480B's answers, each
// after a byte's 1-Wire work, go one by one.
std::vector<AnswerBatch> paced_batches(const std::vector<rtl::TimePoint>& due);

}  // namespace onewire::sim
