#include "onewire/sim/emulated_usb_device.hpp"

#include <algorithm>

#include "onewire/ds2490/protocol.hpp"

namespace onewire::sim {

namespace p = onewire::ds2490;

EmulatedUsbDevice::EmulatedUsbDevice(std::shared_ptr<Ds2490Emulator> chip) : chip_(std::move(chip)) {}

EmulatedUsbDevice::~EmulatedUsbDevice() = default;

int EmulatedUsbDevice::slot(std::uint8_t endpoint) {
  switch (endpoint) {
    case p::kEpStatus:
      return 1;
    case p::kEpToBus:
      return 2;
    case p::kEpFromBus:
      return 3;
    default:
      return 0;
  }
}

int EmulatedUsbDevice::open() {
  std::lock_guard lock(mu_);
  if (unplugged_) return ds2490::kUsbErrorNoDevice;
  if (!open_) {
    open_ = true;
    ++opens_;
    chip_->open();
  }
  return ds2490::kUsbSuccess;
}

void EmulatedUsbDevice::close() {
  std::lock_guard lock(mu_);
  if (open_ && !unplugged_) chip_->close();
  open_ = false;
  claimed_ = false;
}

bool EmulatedUsbDevice::is_open() const {
  std::lock_guard lock(mu_);
  return open_;
}

int EmulatedUsbDevice::set_configuration(int configuration) {
  {
    std::lock_guard lock(mu_);
    if (unplugged_ || !open_) return ds2490::kUsbErrorNoDevice;
    std::fill(std::begin(halted_), std::end(halted_), false);
  }
  return chip_->set_configuration(configuration);
}

int EmulatedUsbDevice::claim_interface(int interface_number) {
  {
    std::lock_guard lock(mu_);
    if (unplugged_ || !open_) return ds2490::kUsbErrorNoDevice;
  }
  const int r = chip_->claim_interface(interface_number);
  std::lock_guard lock(mu_);
  if (r == ds2490::kUsbSuccess) claimed_ = true;
  return r;
}

int EmulatedUsbDevice::release_interface(int interface_number) {
  {
    std::lock_guard lock(mu_);
    if (unplugged_ || !open_) return ds2490::kUsbErrorNoDevice;
    claimed_ = false;
  }
  return chip_->release_interface(interface_number);
}

int EmulatedUsbDevice::set_alt_setting(int interface_number, int alt_setting) {
  {
    std::lock_guard lock(mu_);
    if (unplugged_ || !open_) return ds2490::kUsbErrorNoDevice;
  }
  return chip_->set_alt_setting(interface_number, alt_setting);
}

int EmulatedUsbDevice::clear_halt(std::uint8_t endpoint) {
  std::lock_guard lock(mu_);
  if (unplugged_ || !open_) return ds2490::kUsbErrorNoDevice;
  ++clear_halts_;
  halted_[slot(endpoint)] = false;
  return ds2490::kUsbSuccess;
}

int EmulatedUsbDevice::fault_for(std::uint8_t endpoint, rtl::Duration timeout) {
  Fault fault{};
  {
    std::lock_guard lock(mu_);
    if (unplugged_ || !open_) return ds2490::kUsbErrorNoDevice;
    const int s = slot(endpoint);
    const std::uint64_t n = ++counts_[s];
    if (halted_[s]) {
      // A halted control endpoint recovers with the next setup packet.
      if (s == 0) halted_[s] = false;
      return ds2490::kUsbErrorPipe;
    }
    auto it = std::find_if(faults_.begin(), faults_.end(),
                           [&](const Pending& f) { return f.endpoint == endpoint && f.at == n; });
    if (it == faults_.end()) return 0;
    fault = it->fault;
    faults_.erase(it);
    if (fault == Fault::kStall) {
      if (s != 0) halted_[s] = true;
      return ds2490::kUsbErrorPipe;
    }
  }
  rtl::GetClock().sleep_for(timeout);
  return ds2490::kUsbErrorTimeout;
}

int EmulatedUsbDevice::control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                               std::uint16_t index, std::uint8_t* data, std::uint16_t length, rtl::Duration timeout) {
  if (const int f = fault_for(0, timeout); f != 0) return f;
  return chip_->control(request_type, request, value, index, data, length, timeout);
}

int EmulatedUsbDevice::bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                            rtl::Duration timeout) {
  transferred = 0;
  if (const int f = fault_for(endpoint, timeout); f != 0) return f;
  {
    std::lock_guard lock(mu_);
    if (!claimed_) return ds2490::kUsbErrorIo;
  }
  return chip_->bulk(endpoint, data, length, transferred, timeout);
}

int EmulatedUsbDevice::interrupt(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                                 rtl::Duration timeout) {
  transferred = 0;
  if (const int f = fault_for(endpoint, timeout); f != 0) return f;
  {
    std::lock_guard lock(mu_);
    if (!claimed_) return ds2490::kUsbErrorIo;
  }
  const int r = chip_->interrupt(endpoint, data, length, transferred, timeout);
  if (r != ds2490::kUsbSuccess) return r;
  std::lock_guard lock(mu_);
  const std::uint64_t n = ++status_packets_;
  auto it = std::find_if(corruptions_.begin(), corruptions_.end(), [&](const auto& c) { return c.first == n; });
  if (it != corruptions_.end()) {
    const auto [index, mask] = it->second;
    if (index >= 0 && index < transferred) data[index] = static_cast<std::uint8_t>(data[index] ^ mask);
    corruptions_.erase(it);
  }
  return r;
}

void EmulatedUsbDevice::stall(std::uint8_t endpoint, int nth) {
  std::lock_guard lock(mu_);
  if (nth < 1) return;
  faults_.push_back({endpoint, counts_[slot(endpoint)] + static_cast<std::uint64_t>(nth), Fault::kStall});
}

void EmulatedUsbDevice::time_out(std::uint8_t endpoint, int nth) {
  std::lock_guard lock(mu_);
  if (nth < 1) return;
  faults_.push_back({endpoint, counts_[slot(endpoint)] + static_cast<std::uint64_t>(nth), Fault::kTimeout});
}

void EmulatedUsbDevice::corrupt_status(int nth, int index, std::uint8_t mask) {
  std::lock_guard lock(mu_);
  if (nth < 1) return;
  corruptions_.push_back({status_packets_ + static_cast<std::uint64_t>(nth), {index, mask}});
}

void EmulatedUsbDevice::set_unplugged(bool unplugged) {
  std::lock_guard lock(mu_);
  if (unplugged == unplugged_) return;
  unplugged_ = unplugged;
  if (!unplugged) {
    // Plugged in again: the old handle is dead, the chip freshly powered.
    chip_->power_cycle();
    open_ = false;
    claimed_ = false;
    std::fill(std::begin(halted_), std::end(halted_), false);
  }
}

std::uint64_t EmulatedUsbDevice::opens() const {
  std::lock_guard lock(mu_);
  return opens_;
}

std::uint64_t EmulatedUsbDevice::clear_halts() const {
  std::lock_guard lock(mu_);
  return clear_halts_;
}

bool EmulatedUsbDevice::halted(std::uint8_t endpoint) const {
  std::lock_guard lock(mu_);
  return halted_[slot(endpoint)];
}

bool EmulatedUsbDevice::claimed() const {
  std::lock_guard lock(mu_);
  return claimed_;
}

}  // namespace onewire::sim
