// A DS2490 on a USB port, as the host sees it: the emulated chip behind a
// handle that can be opened, closed and lost, with the faults a USB line
// has. Tests and benchmarks hand it to the DS2490 backend in process.
//
// Faults: a transfer that stalls (the endpoint then stays halted until
// the host clears it; a stall on endpoint 0 ends with the next request),
// one that times out, a status packet with a damaged byte, and the
// device unplugged and plugged in again (a fresh chip, found again by the
// next open).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "onewire/ds2490/usb_device.hpp"
#include "onewire/sim/ds2490_emulator.hpp"

namespace onewire::sim {

class EmulatedUsbDevice final : public ds2490::UsbDevice {
 public:
  explicit EmulatedUsbDevice(std::shared_ptr<Ds2490Emulator> chip);
  ~EmulatedUsbDevice() override;

  int open() override;
  void close() override;
  bool is_open() const override;
  int set_configuration(int configuration) override;
  int claim_interface(int interface_number) override;
  int release_interface(int interface_number) override;
  int set_alt_setting(int interface_number, int alt_setting) override;
  int clear_halt(std::uint8_t endpoint) override;
  int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
              std::uint8_t* data, std::uint16_t length, rtl::Duration timeout) override;
  int bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred, rtl::Duration timeout) override;
  int interrupt(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                rtl::Duration timeout) override;

  const std::shared_ptr<Ds2490Emulator>& chip() const { return chip_; }

  // --- faults (endpoint 0 is the control endpoint) ---
  // The n-th transfer on `endpoint` from now (1 = the next) stalls.
  void stall(std::uint8_t endpoint, int nth);
  // The n-th transfer on `endpoint` from now waits out its deadline and
  // moves nothing.
  void time_out(std::uint8_t endpoint, int nth);
  // The n-th status packet from now has byte `index` XORed with `mask`.
  void corrupt_status(int nth, int index, std::uint8_t mask);
  // Unplugged: every call fails with kUsbErrorNoDevice, also on a handle
  // opened before. Plugged in again: a freshly powered chip, reachable
  // through a new open().
  void set_unplugged(bool unplugged);

  // --- observation ---
  std::uint64_t opens() const;
  std::uint64_t clear_halts() const;
  bool halted(std::uint8_t endpoint) const;
  bool claimed() const;

 private:
  enum class Fault : std::uint8_t { kStall, kTimeout };
  struct Pending {
    std::uint8_t endpoint;
    std::uint64_t at;  // transfer number on that endpoint
    Fault fault;
  };
  // Counts a transfer on `endpoint`; returns the fault it meets, if any
  // (0, or a libusb error code the caller returns).
  int fault_for(std::uint8_t endpoint, rtl::Duration timeout);
  static int slot(std::uint8_t endpoint);

  std::shared_ptr<Ds2490Emulator> chip_;
  mutable std::mutex mu_;
  std::uint64_t counts_[4] = {};
  bool halted_[4] = {};
  std::vector<Pending> faults_;
  std::vector<std::pair<std::uint64_t, std::pair<int, std::uint8_t>>> corruptions_;
  std::uint64_t status_packets_ = 0;
  bool unplugged_ = false;
  bool open_ = false;
  bool claimed_ = false;
  std::uint64_t opens_ = 0;
  std::uint64_t clear_halts_ = 0;
};

}  // namespace onewire::sim
