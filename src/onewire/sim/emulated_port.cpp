#include "onewire/sim/emulated_port.hpp"

#include <algorithm>

#include "onewire/errors.hpp"

namespace onewire::sim {

EmulatedPort::EmulatedPort(std::shared_ptr<AdapterEmulator> adapter) : adapter_(std::move(adapter)) {}

EmulatedPort::~EmulatedPort() { close(); }

int EmulatedPort::open() {
  if (vanished_) return kErrPortUnavailable;
  if (open_) return 1;
  open_ = true;
  ++opens_;
  baud_ = serial::kBaud9600;
  pending_.clear();
  bridge_.clear();
  origin_ = rtl::GetClock().now();
  rx_done_ = op_done_ = tx_done_ = origin_;
  return 1;
}

void EmulatedPort::close() {
  if (!open_) return;
  open_ = false;
  pending_.clear();
  bridge_.clear();
  // Closing drops the modem lines that power the adapter.
  adapter_->power_cycle();
}

int EmulatedPort::set_baud(int baud) {
  if (vanished_) return gone();
  if (!open_) return kErrPortIo;
  if (baud != serial::kBaud9600 && baud != serial::kBaud19200 && baud != serial::kBaud57600 &&
      baud != serial::kBaud115200)
    return kErrSpeed;
  baud_ = baud;
  return 1;
}

int EmulatedPort::send_break(rtl::Duration) {
  if (vanished_) return gone();
  if (!open_) return kErrPortIo;
  if (!break_supported_) return 0;
  ++breaks_;
  if (!silent_) adapter_->line_break();
  return 1;
}

int EmulatedPort::write(const std::uint8_t* data, std::size_t n) {
  if (vanished_) return gone();
  if (!open_) return kErrPortIo;
  ++writes_;
  written_.insert(written_.end(), data, data + n);
  if (silent_) return static_cast<int>(n);
  // The adapter's schedule, as the virtual adapter keeps it: reception,
  // bus activity and answers overlap as they do in the chip.
  const rtl::TimePoint now = rtl::GetClock().now();
  rx_done_ = std::max(rx_done_, now);
  op_done_ = std::max(op_done_, now);
  tx_done_ = std::max(tx_done_, now);
  for (std::size_t i = 0; i < n; ++i) {
    const int listening = adapter_->baud();
    // At the wrong rate the adapter sees only framing errors.
    if (listening != 0 && listening != baud_) {
      rx_done_ += serial::char_time(baud_);
      continue;
    }
    scratch_.clear();
    adapter_->receive_at(data[i], rx_done_, scratch_);
    const ByteTiming& t = adapter_->last_timing();
    rx_done_ += t.receive;
    op_done_ = std::max(op_done_, rx_done_) + t.wire;
    const int answering = adapter_->baud();
    for (std::uint8_t a : scratch_) {
      tx_done_ = std::max(tx_done_, op_done_) + t.answer;
      if (answering != 0 && answering != baud_) {
        if (wrong_rate_noise_) answer(0x00, tx_done_);
        continue;
      }
      ++answers_;
      auto it = std::find_if(corruptions_.begin(), corruptions_.end(),
                             [&](const auto& c) { return c.first == answers_; });
      if (it != corruptions_.end()) {
        const std::uint8_t mask = it->second;
        corruptions_.erase(it);
        if (mask == 0) continue;
        a = static_cast<std::uint8_t>(a ^ mask);
      }
      answer(a, tx_done_);
    }
  }
  return static_cast<int>(n);
}

void EmulatedPort::answer(std::uint8_t a, rtl::TimePoint ready) { bridge_.emplace_back(ready, a); }

std::pair<rtl::TimePoint, std::size_t> EmulatedPort::next_packet() const {
  const rtl::TimePoint first = bridge_.front().first;
  // Wired straight, each answer is there once its stop bit is.
  if (latency_ <= rtl::Duration(0)) return {first, 1};
  const auto periods = (first - origin_ + latency_ - rtl::Duration(1)) / latency_;
  const rtl::TimePoint tick = origin_ + std::max<std::int64_t>(periods, 0) * latency_;
  std::size_t k = 0;
  while (k < bridge_.size() && k < kBridgePacket && bridge_[k].first <= tick) ++k;
  if (k == kBridgePacket) return {bridge_[k - 1].first, k};
  return {tick, k};
}

void EmulatedPort::collect(rtl::TimePoint now) {
  while (!bridge_.empty()) {
    const auto [when, k] = next_packet();
    if (when > now) return;
    for (std::size_t i = 0; i < k; ++i) {
      pending_.push_back(bridge_.front().second);
      bridge_.pop_front();
    }
  }
}

int EmulatedPort::read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) {
  if (vanished_) return gone();
  if (!open_) return kErrPortIo;
  rtl::Clock& clock = rtl::GetClock();
  collect(clock.now());
  if (n > 0 && pending_.empty()) {
    const rtl::TimePoint deadline = clock.now() + timeout;
    if (bridge_.empty() || next_packet().first > deadline) {
      clock.sleep_for(timeout);
      return 0;
    }
    clock.sleep_until(next_packet().first);
    collect(std::max(clock.now(), next_packet().first));
  }
  std::size_t k = 0;
  while (k < n && !pending_.empty()) {
    data[k++] = pending_.front();
    pending_.pop_front();
  }
  return static_cast<int>(k);
}

int EmulatedPort::flush_input() {
  if (vanished_) return gone();
  if (!open_) return kErrPortIo;
  // What the bridge still holds is not the host's to drop.
  collect(rtl::GetClock().now());
  pending_.clear();
  return 1;
}

void EmulatedPort::drop_answer(int nth) { corrupt_answer(nth, 0); }

void EmulatedPort::corrupt_answer(int nth, std::uint8_t mask) {
  if (nth < 1) return;
  corruptions_.emplace_back(answers_ + static_cast<std::uint64_t>(nth), mask);
}

void EmulatedPort::inject(std::vector<std::uint8_t> bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }

void EmulatedPort::set_silent(bool silent) { silent_ = silent; }

void EmulatedPort::set_break_supported(bool supported) { break_supported_ = supported; }

void EmulatedPort::set_wrong_rate_noise(bool noise) { wrong_rate_noise_ = noise; }

void EmulatedPort::set_bridge_latency(rtl::Duration period) { latency_ = period; }

void EmulatedPort::set_vanished(bool vanished) {
  vanished_ = vanished;
  if (vanished) {
    pending_.clear();
    bridge_.clear();
  }
}

int EmulatedPort::gone() {
  // Like a descriptor whose device was unplugged: open until it fails.
  open_ = false;
  return kErrPortIo;
}

}  // namespace onewire::sim
