// A serial port whose adapter answers whatever the fuzzer says: reads take
// the next bytes of a script and time out once it is used up. Writes,
// breaks and rates always work.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"

namespace fuzzing {

class ScriptedPort final : public onewire::serial::Transport {
 public:
  explicit ScriptedPort(std::vector<std::uint8_t> answers) : answers_(std::move(answers)) {}

  int open() override {
    open_ = true;
    return 1;
  }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int set_baud(int baud) override {
    if (!open_) return onewire::kErrPortIo;
    baud_ = baud;
    return 1;
  }
  int baud() const override { return baud_; }
  int send_break(rtl::Duration) override { return open_ ? 1 : onewire::kErrPortIo; }
  int write(const std::uint8_t*, std::size_t n) override { return open_ ? static_cast<int>(n) : onewire::kErrPortIo; }
  int read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) override {
    if (!open_) return onewire::kErrPortIo;
    if (next_ >= answers_.size() || n == 0) {
      // Nothing more will come: wait out the timeout on the (skipping)
      // clock, as a silent adapter makes a host do.
      rtl::GetClock().sleep_for(timeout);
      return 0;
    }
    const std::size_t k = std::min(n, answers_.size() - next_);
    std::copy_n(answers_.begin() + static_cast<std::ptrdiff_t>(next_), k, data);
    next_ += k;
    return static_cast<int>(k);
  }
  int flush_input() override { return open_ ? 1 : onewire::kErrPortIo; }

 private:
  std::vector<std::uint8_t> answers_;
  std::size_t next_ = 0;
  int baud_ = onewire::serial::kBaud9600;
  bool open_ = false;
};

}  // namespace fuzzing
