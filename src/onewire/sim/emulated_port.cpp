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
  return 1;
}

void EmulatedPort::close() {
  if (!open_) return;
  open_ = false;
  pending_.clear();
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
  for (std::size_t i = 0; i < n; ++i) {
    const int listening = adapter_->baud();
    // At the wrong rate the adapter sees only framing errors.
    if (listening != 0 && listening != baud_) continue;
    scratch_.clear();
    adapter_->receive(data[i], scratch_);
    const int answering = adapter_->baud();
    for (std::uint8_t a : scratch_) {
      if (answering != 0 && answering != baud_) continue;
      ++answers_;
      auto it = std::find_if(corruptions_.begin(), corruptions_.end(),
                             [&](const auto& c) { return c.first == answers_; });
      if (it != corruptions_.end()) {
        const std::uint8_t mask = it->second;
        corruptions_.erase(it);
        if (mask == 0) continue;
        a = static_cast<std::uint8_t>(a ^ mask);
      }
      pending_.push_back(a);
    }
  }
  return static_cast<int>(n);
}

int EmulatedPort::read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) {
  if (vanished_) return gone();
  if (!open_) return kErrPortIo;
  if (n > 0 && pending_.empty()) {
    rtl::GetClock().sleep_for(timeout);
    return 0;
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

void EmulatedPort::set_vanished(bool vanished) {
  vanished_ = vanished;
  if (vanished) pending_.clear();
}

int EmulatedPort::gone() {
  // Like a descriptor whose device was unplugged: open until it fails.
  open_ = false;
  return kErrPortIo;
}

}  // namespace onewire::sim
