// What Linux's i2c-dev does with the ioctls a program makes on one of its
// files, answered from an emulated bus: the client address the file
// talks to, the plain (I2C_RDWR) and SMBus transfers, the functions the
// controller offers, and the errno of each way a transfer fails.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "onewire/ds2482/i2c_bus.hpp"
#include "shim_common/shim_support.hpp"

namespace qvshim::i2cdev {

// One open of the device: its own handle on the bus, and what i2c-dev
// keeps per file.
struct File {
  std::mutex mu;  // one call at a time on the file, as i2c-dev has it
  std::unique_ptr<onewire::ds2482::I2cBus> handle;
  int address = 0;  // i2c-dev's client starts at address 0
  bool locked = false;
};

// Where the chip sits on the bus, and whether a kernel driver holds that
// address (so that only I2C_SLAVE_FORCE takes it).
struct Seat {
  std::uint8_t chip = 0x18;
  bool bound = false;
  TraceLog* trace = nullptr;
};

// read() and write() of a file: one plain transfer to its client
// address, of at most the 8192 bytes i2c-dev takes at once.
ssize_t file_read(File& f, void* buf, std::size_t n);
ssize_t file_write(File& f, const void* buf, std::size_t n);

// An ioctl of a file of the device: 0 or what the request returns, or -1
// with errno as the kernel sets it.
int device_ioctl(const Seat& s, File& f, unsigned long request, void* arg);

}  // namespace qvshim::i2cdev
