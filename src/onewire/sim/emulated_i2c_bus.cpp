#include "onewire/sim/emulated_i2c_bus.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace onewire::sim {

namespace i2c = onewire::ds2482;

namespace {

std::string hex(const std::uint8_t* data, std::size_t n) {
  std::string text;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", data[i]);
    text += b;
  }
  return text;
}

}  // namespace

EmulatedI2cBus::EmulatedI2cBus(int hz, rtl::Clock* clock) : hz_(hz), clock_(clock) {}

EmulatedI2cBus::~EmulatedI2cBus() = default;

class EmulatedI2cBus::Handle final : public ds2482::I2cBus {
 public:
  explicit Handle(std::shared_ptr<EmulatedI2cBus> bus) : bus_(std::move(bus)) {}
  int open() override {
    const int r = bus_->open_handle();
    open_ = r == i2c::kI2cOk;
    return r;
  }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int write(std::uint8_t address, const std::uint8_t* data, std::size_t n) override {
    return bus_->transfer_write(address, data, n, open_);
  }
  int read(std::uint8_t address, std::uint8_t* data, std::size_t n) override {
    return bus_->transfer_read(address, data, n, open_);
  }

 private:
  std::shared_ptr<EmulatedI2cBus> bus_;
  bool open_ = false;
};

std::unique_ptr<ds2482::I2cBus> EmulatedI2cBus::connect() { return std::make_unique<Handle>(shared_from_this()); }

int EmulatedI2cBus::open_handle() {
  std::lock_guard lock(mu_);
  if (gone_) return i2c::kI2cNoBus;
  return open_error_;
}

void EmulatedI2cBus::attach(std::uint8_t address, std::shared_ptr<Ds2482Emulator> chip) {
  std::lock_guard lock(mu_);
  chips_[address] = std::move(chip);
}

void EmulatedI2cBus::detach(std::uint8_t address) {
  std::lock_guard lock(mu_);
  chips_.erase(address);
}

std::shared_ptr<Ds2482Emulator> EmulatedI2cBus::chip(std::uint8_t address) const {
  std::lock_guard lock(mu_);
  const auto it = chips_.find(address);
  return it == chips_.end() ? nullptr : it->second;
}

int EmulatedI2cBus::open() {
  const int r = open_handle();
  std::lock_guard lock(mu_);
  open_ = r == i2c::kI2cOk;
  return r;
}

void EmulatedI2cBus::close() {
  std::lock_guard lock(mu_);
  open_ = false;
}

bool EmulatedI2cBus::is_open() const {
  std::lock_guard lock(mu_);
  return open_;
}

rtl::Duration EmulatedI2cBus::transfer_time(std::size_t bytes) const {
  if (hz_ <= 0) return rtl::Duration{0};
  const std::int64_t bits = 2 + 9 * static_cast<std::int64_t>(bytes + 1);
  return rtl::Duration(bits * 1'000'000'000LL / hz_);
}

// Counts the transfer and finds its chip; a fault or a missing chip is
// the transfer's answer (kI2cOk: go on to the chip).
int EmulatedI2cBus::begin(std::uint8_t address, bool open, std::shared_ptr<Ds2482Emulator>& chip) {
  std::lock_guard lock(mu_);
  ++stats_.transfers;
  const std::uint64_t n = ++count_;
  const auto fault = std::find_if(failures_.begin(), failures_.end(), [n](const auto& f) { return f.first == n; });
  if (fault != failures_.end()) {
    const int code = fault->second;
    failures_.erase(fault);
    return code;
  }
  if (gone_ || !open) return i2c::kI2cGone;
  const auto it = chips_.find(address);
  if (it == chips_.end()) {
    ++stats_.nacks;
    return i2c::kI2cNack;
  }
  chip = it->second;
  return i2c::kI2cOk;
}

int EmulatedI2cBus::write(std::uint8_t address, const std::uint8_t* data, std::size_t n) {
  return transfer_write(address, data, n, is_open());
}

int EmulatedI2cBus::read(std::uint8_t address, std::uint8_t* data, std::size_t n) {
  return transfer_read(address, data, n, is_open());
}

// The bus carries one transfer at a time: each starts when the one before
// has ended, or when the host asks for it. A wait that woke up late is
// not held against the next transfer, so that the sleeps' overshoot does
// not add up over thousands of transfers; time the host spent between
// transfers still counts.
rtl::TimePoint EmulatedI2cBus::start_transfer() {
  const rtl::TimePoint asked = clock().now() - overshoot_;
  return std::max(asked, free_at_);
}

void EmulatedI2cBus::end_transfer(rtl::TimePoint end) {
  free_at_ = end;
  clock().sleep_until(end);
  const rtl::Duration late = clock().now() - end;
  overshoot_ = late.count() > 0 ? late : rtl::Duration{0};
}

int EmulatedI2cBus::transfer_write(std::uint8_t address, const std::uint8_t* data, std::size_t n, bool open) {
  std::shared_ptr<Ds2482Emulator> chip;
  const rtl::Duration bit = hz_ > 0 ? rtl::Duration(1'000'000'000LL / hz_) : rtl::Duration{0};
  int r = i2c::kI2cOk;
  std::size_t acked = 0;
  rtl::Duration length{0};
  {
    std::lock_guard wire(wire_mu_);
    const rtl::TimePoint start = start_transfer();
    r = begin(address, open, chip);
    if (r == i2c::kI2cOk) {
      acked = chip->write(data, n, start, bit);
      if (acked < n) r = i2c::kI2cNack;
    }
    // The transfer ends at the byte refused (an address nobody took: at
    // the address), or after the last.
    const std::size_t clocked = r == i2c::kI2cOk ? n : (r == i2c::kI2cNack && chip ? acked + 1 : 0);
    length = transfer_time(clocked);
    end_transfer(start + length);
  }
  {
    std::lock_guard lock(mu_);
    stats_.time += length;
    if (r == i2c::kI2cNack && chip) ++stats_.nacks;
  }
  trace_.note("W %02X [%s] -> %s", address, hex(data, n).c_str(),
       r == i2c::kI2cOk ? "ack" : (r == i2c::kI2cNack ? "nack" : "error"));
  return r;
}

int EmulatedI2cBus::transfer_read(std::uint8_t address, std::uint8_t* data, std::size_t n, bool open) {
  std::shared_ptr<Ds2482Emulator> chip;
  const rtl::Duration bit = hz_ > 0 ? rtl::Duration(1'000'000'000LL / hz_) : rtl::Duration{0};
  int r = i2c::kI2cOk;
  rtl::Duration length{0};
  {
    std::lock_guard wire(wire_mu_);
    const rtl::TimePoint start = start_transfer();
    r = begin(address, open, chip);
    if (r == i2c::kI2cOk) chip->read(data, n, start, bit);
    length = transfer_time(r == i2c::kI2cOk ? n : 0);
    end_transfer(start + length);
  }
  {
    std::lock_guard lock(mu_);
    stats_.time += length;
  }
  trace_.note("R %02X %zu -> %s", address, n, r == i2c::kI2cOk ? hex(data, n).c_str() : (r == i2c::kI2cNack ? "nack" : "error"));
  return r;
}

void EmulatedI2cBus::set_gone(bool gone) {
  std::lock_guard lock(mu_);
  gone_ = gone;
}

void EmulatedI2cBus::set_open_error(int code) {
  std::lock_guard lock(mu_);
  open_error_ = code;
}

void EmulatedI2cBus::fail_transfer(int nth, int code) {
  std::lock_guard lock(mu_);
  if (nth < 1) return;
  failures_.push_back({count_ + static_cast<std::uint64_t>(nth), code});
}

I2cBusStats EmulatedI2cBus::stats() const {
  std::lock_guard lock(mu_);
  return stats_;
}

void EmulatedI2cBus::reset_stats() {
  std::lock_guard lock(mu_);
  stats_ = I2cBusStats{};
}

void EmulatedI2cBus::set_trace(std::function<void(const std::string&)> trace) { trace_.set(std::move(trace)); }

}  // namespace onewire::sim
