// The DS2490 USB-to-1-Wire bridge, emulated over a simulated bus at the
// level of USB transfers: vendor requests on endpoint 0, the status packet
// on endpoint 1, the two 128-byte bulk FIFOs, the communication command
// FIFO and the search answers, with the chip's mode registers and result
// codes. It is a ds2490::UsbDevice, so our backend runs on it in process,
// and the libusb shim hands it to unmodified programs.
//
// Timing model: the host controller serves every transfer at the start
// of the next 1 ms USB frame (the status endpoint at its polling
// interval: 1 ms in alternate settings 2 and 3, 10 ms in 0 and 1); a
// communication command starts on the 1-Wire when its control transfer
// completes and takes the bus time of what it does (DS2490 slots: 65 us
// regular, 65..72 us flexible, 10 us overdrive; resets 1096 us and
// 140 us), plus a strong pull-up's duration when it asks for one. Results
// and EP3 data show up when the bus work that makes them is done. Every
// wait goes through the emulator's clock (rtl::GetClock() unless given),
// so tests with a skipping clock pay nothing for it.
//
// Not modelled: DO & RELEASE, SET PATH, the EPROM and page commands (they
// are refused with a stall), repeated resets until presence (PST), and
// commands whose data exceeds one FIFO. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "onewire/ds2490/usb_device.hpp"
#include "onewire/sim/bus.hpp"

namespace onewire::sim {

struct Ds2490Stats {
  std::uint64_t control = 0;
  std::uint64_t bulk_out = 0;
  std::uint64_t bulk_in = 0;
  std::uint64_t interrupt = 0;
  // What a host with no overhead of its own would have waited for the
  // same transfers: from the start of the frame each transfer was issued
  // in to its completion. Elapsed time above this is the host's.
  rtl::Duration modelled{0};
  std::uint64_t transfers() const { return control + bulk_out + bulk_in + interrupt; }
};

class Ds2490Emulator final : public ds2490::UsbDevice {
 public:
  // `clock`: where transfers wait (null: rtl::GetClock() at each wait).
  explicit Ds2490Emulator(std::shared_ptr<SimBus> bus, rtl::Clock* clock = nullptr);
  ~Ds2490Emulator() override;
  Ds2490Emulator(const Ds2490Emulator&) = delete;
  Ds2490Emulator& operator=(const Ds2490Emulator&) = delete;

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

  // The chip loses power and comes back (unplugged and plugged in): every
  // register, FIFO and pending result is back at its power-on state.
  void power_cycle();

  // --- observation ---
  const std::shared_ptr<SimBus>& bus() const { return bus_; }
  int alt_setting() const;
  // Status byte `i` (0..15) as the next packet would carry it.
  std::uint8_t status_register(int i);
  Ds2490Stats stats() const;
  void reset_stats();
  // Every transfer and what it did, one line each, for debugging hosts.
  void set_trace(std::function<void(const std::string&)> trace);

  // The standard descriptors the chip serves (device: 18 bytes,
  // configuration with its interface, alternate settings and endpoints).
  static const std::uint8_t* device_descriptor(std::size_t& length);
  static const std::uint8_t* config_descriptor(std::size_t& length);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::shared_ptr<SimBus> bus_;
};

}  // namespace onewire::sim
