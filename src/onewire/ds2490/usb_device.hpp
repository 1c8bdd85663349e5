// The USB transfers the DS2490 backend needs, as one small table of
// operations: the libusb transport (usb/), the in-process emulated chip
// (sim/ds2490_emulator) and the tests' fault-injecting wrappers implement
// it, so the protocol code never sees which one it runs on.
//
// The calls mirror libusb-1.0's, return codes included (kUsb* below are
// libusb's values), so that a libusb shim can hand the emulator to
// unmodified programs. Every transfer has a deadline.
#pragma once

#include <cstdint>

#include "rtl/clock.hpp"

namespace onewire::ds2490 {

inline constexpr int kUsbSuccess = 0;
inline constexpr int kUsbErrorIo = -1;
inline constexpr int kUsbErrorInvalidParam = -2;
inline constexpr int kUsbErrorAccess = -3;
inline constexpr int kUsbErrorNoDevice = -4;
inline constexpr int kUsbErrorNotFound = -5;
inline constexpr int kUsbErrorBusy = -6;
inline constexpr int kUsbErrorTimeout = -7;
inline constexpr int kUsbErrorOverflow = -8;
inline constexpr int kUsbErrorPipe = -9;
inline constexpr int kUsbErrorInterrupted = -10;
inline constexpr int kUsbErrorNoMem = -11;
inline constexpr int kUsbErrorNotSupported = -12;
inline constexpr int kUsbErrorOther = -99;

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Finds the device and opens it, taking it over from a kernel driver
  // for as long as it stays open: kUsbSuccess or a libusb error
  // (kUsbErrorNoDevice when it is not there).
  virtual int open() = 0;
  // Releases what open() and claim_interface() took, the kernel driver
  // included. open() may be called again: it looks for the device anew.
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  virtual int set_configuration(int configuration) = 0;
  virtual int claim_interface(int interface_number) = 0;
  virtual int release_interface(int interface_number) = 0;
  virtual int set_alt_setting(int interface_number, int alt_setting) = 0;
  virtual int clear_halt(std::uint8_t endpoint) = 0;

  // A control transfer; bit 7 of `request_type` gives the data stage's
  // direction. The bytes moved in the data stage, or a negative error.
  virtual int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                      std::uint8_t* data, std::uint16_t length, rtl::Duration timeout) = 0;
  // Bulk and interrupt transfers: kUsbSuccess or a negative error; the
  // bytes moved are in `transferred` either way (a timeout may have moved
  // some).
  virtual int bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred, rtl::Duration timeout) = 0;
  virtual int interrupt(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                        rtl::Duration timeout) = 0;
};

}  // namespace onewire::ds2490
