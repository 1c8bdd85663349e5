#include "onewire/sim/answer_schedule.hpp"

#include <algorithm>
#include <chrono>

namespace onewire::sim {

ScheduledAnswers AnswerSchedule::take(AdapterEmulator& emulator, const std::uint8_t* data, std::size_t n,
                                      rtl::TimePoint arrival, bool paced) {
  if (!paced) arrival = std::max(arrival, tx_done_);
  const rtl::TimePoint start = std::max(arrival, busy_until_);
  rx_done_ = std::max(rx_done_, arrival);
  op_done_ = std::max(op_done_, arrival);
  tx_done_ = std::max(tx_done_, arrival);
  ScheduledAnswers out;
  std::vector<std::uint8_t> answers;
  for (std::size_t i = 0; i < n; ++i) {
    answers.clear();
    emulator.receive_at(data[i], rx_done_, answers);
    const ByteTiming& t = emulator.last_timing();
    rx_done_ += t.receive;
    op_done_ = std::max(op_done_, rx_done_) + t.wire;
    for (std::uint8_t a : answers) {
      tx_done_ = std::max(tx_done_, op_done_) + t.answer;
      out.bytes.push_back(a);
      out.due.push_back(tx_done_);
    }
  }
  busy_until_ = std::max({rx_done_, op_done_, tx_done_});
  if (busy_until_ > start) out.modelled = busy_until_ - start;
  return out;
}

std::vector<AnswerBatch> bridge_packets(const std::vector<rtl::TimePoint>& due, rtl::TimePoint origin,
                                        rtl::Duration period) {
  constexpr std::size_t kPacket = 62;
  std::vector<AnswerBatch> packets;
  for (std::size_t s = 0; s < due.size();) {
    const auto periods = std::max<std::int64_t>((due[s] - origin + period - rtl::Duration(1)) / period, 0);
    const rtl::TimePoint tick = origin + periods * period;
    std::size_t e = s;
    while (e < due.size() && e - s < kPacket && due[e] <= tick) ++e;
    packets.push_back({s, e, e - s == kPacket ? due[e - 1] : tick});
    s = e;
  }
  return packets;
}

std::vector<AnswerBatch> paced_batches(const std::vector<rtl::TimePoint>& due) {
  constexpr rtl::Duration kTogether = std::chrono::microseconds(250);
  std::vector<AnswerBatch> batches;
  for (std::size_t i = 0; i < due.size();) {
    std::size_t j = i + 1;
    while (j < due.size() && due[j] - due[j - 1] <= kTogether) ++j;
    batches.push_back({i, j, due[j - 1]});
    i = j;
  }
  return batches;
}

}  // namespace onewire::sim
