#include "i2c_dev.hpp"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace qvshim::i2cdev {

namespace i2c = onewire::ds2482;

namespace {

// What the kernel answers for a transfer's outcome.
int fail_with(int r) {
  switch (r) {
    case i2c::kI2cNack:
      errno = EREMOTEIO;
      break;
    case i2c::kI2cGone:
      errno = ENODEV;
      break;
    case i2c::kI2cBusy:
      errno = EBUSY;
      break;
    default:
      errno = ETIMEDOUT;
      break;
  }
  return -1;
}

constexpr std::size_t kMaxTransfer = 8192;  // i2c-dev caps read() and write() there

int smbus(File& f, i2c_smbus_ioctl_data* args) {
  if (args == nullptr) {
    errno = EFAULT;
    return -1;
  }
  const auto a = static_cast<std::uint8_t>(f.address);
  const bool reading = args->read_write == I2C_SMBUS_READ;
  const bool needs_data = args->size != I2C_SMBUS_QUICK && !(args->size == I2C_SMBUS_BYTE && !reading);
  if (needs_data && args->data == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int r = i2c::kI2cOk;
  switch (args->size) {
    case I2C_SMBUS_QUICK:
      r = reading ? f.handle->read(a, nullptr, 0) : f.handle->write(a, nullptr, 0);
      break;
    case I2C_SMBUS_BYTE:
      if (reading)
        r = f.handle->read(a, &args->data->byte, 1);
      else
        r = f.handle->write(a, &args->command, 1);
      break;
    case I2C_SMBUS_BYTE_DATA:
    case I2C_SMBUS_WORD_DATA: {
      const std::size_t n = args->size == I2C_SMBUS_BYTE_DATA ? 1 : 2;
      if (reading) {
        // Command, repeated start, the data: two transfers to the chip.
        r = f.handle->write(a, &args->command, 1);
        std::uint8_t in[2] = {};
        if (r == i2c::kI2cOk) r = f.handle->read(a, in, n);
        if (r == i2c::kI2cOk) {
          if (n == 1)
            args->data->byte = in[0];
          else
            args->data->word = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
        }
      } else {
        const std::uint8_t out[3] = {args->command, static_cast<std::uint8_t>(args->data->word & 0xFF),
                                     static_cast<std::uint8_t>(args->data->word >> 8)};
        const std::uint8_t one[2] = {args->command, args->data->byte};
        r = n == 1 ? f.handle->write(a, one, 2) : f.handle->write(a, out, 3);
      }
      break;
    }
    default:
      errno = EOPNOTSUPP;
      return -1;
  }
  return r == i2c::kI2cOk ? 0 : fail_with(r);
}

int rdwr(File& f, i2c_rdwr_ioctl_data* args) {
  if (args == nullptr || (args->nmsgs > 0 && args->msgs == nullptr)) {
    errno = EFAULT;
    return -1;
  }
  if (args->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
    errno = EINVAL;
    return -1;
  }
  for (std::uint32_t i = 0; i < args->nmsgs; ++i) {
    const i2c_msg& m = args->msgs[i];
    if (m.len > kMaxTransfer || (m.flags & (I2C_M_TEN | I2C_M_RECV_LEN)) != 0 || (m.len > 0 && m.buf == nullptr)) {
      errno = EINVAL;
      return -1;
    }
  }
  // Repeated starts between the messages: to the chip, one transfer
  // after another.
  for (std::uint32_t i = 0; i < args->nmsgs; ++i) {
    const i2c_msg& m = args->msgs[i];
    const auto a = static_cast<std::uint8_t>(m.addr);
    const int r = (m.flags & I2C_M_RD) != 0 ? f.handle->read(a, m.buf, m.len) : f.handle->write(a, m.buf, m.len);
    if (r != i2c::kI2cOk) return fail_with(r);
  }
  return static_cast<int>(args->nmsgs);
}

}  // namespace

ssize_t file_read(File& f, void* buf, std::size_t n) {
  const std::size_t count = n < kMaxTransfer ? n : kMaxTransfer;
  const int r = f.handle->read(static_cast<std::uint8_t>(f.address), static_cast<std::uint8_t*>(buf), count);
  return r == i2c::kI2cOk ? static_cast<ssize_t>(count) : fail_with(r);
}

ssize_t file_write(File& f, const void* buf, std::size_t n) {
  const std::size_t count = n < kMaxTransfer ? n : kMaxTransfer;
  const int r = f.handle->write(static_cast<std::uint8_t>(f.address), static_cast<const std::uint8_t*>(buf), count);
  return r == i2c::kI2cOk ? static_cast<ssize_t>(count) : fail_with(r);
}

int device_ioctl(const Seat& s, File& f, unsigned long request, void* arg) {
  switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
      const auto address = reinterpret_cast<unsigned long>(arg);
      s.trace->log("ioctl %s 0x%02lX", request == I2C_SLAVE ? "I2C_SLAVE" : "I2C_SLAVE_FORCE", address);
      if (address > 0x7F) {
        errno = EINVAL;
        return -1;
      }
      if (request == I2C_SLAVE && s.bound && address == s.chip) {
        errno = EBUSY;
        return -1;
      }
      f.address = static_cast<int>(address);
      return 0;
    }
    case I2C_TENBIT:
      // A 7-bit bus only.
      if (arg != nullptr) {
        errno = EINVAL;
        return -1;
      }
      return 0;
    case I2C_PEC:
    case I2C_RETRIES:
    case I2C_TIMEOUT:
      return 0;
    case I2C_FUNCS: {
      if (arg == nullptr) {
        errno = EFAULT;
        return -1;
      }
      // Plain transfers and the SMBus transfers made of them, as a
      // Raspberry Pi's controller reports.
      *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE |
                                          I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA;
      s.trace->log("ioctl I2C_FUNCS");
      return 0;
    }
    case I2C_RDWR: {
      const auto* args = static_cast<i2c_rdwr_ioctl_data*>(arg);
      s.trace->log("ioctl I2C_RDWR %u messages", args != nullptr ? args->nmsgs : 0u);
      return rdwr(f, static_cast<i2c_rdwr_ioctl_data*>(arg));
    }
    case I2C_SMBUS: {
      const auto* args = static_cast<i2c_smbus_ioctl_data*>(arg);
      if (args != nullptr)
        s.trace->log("ioctl I2C_SMBUS %s size %u command %02X", args->read_write == I2C_SMBUS_READ ? "read" : "write",
              args->size, args->command);
      return smbus(f, static_cast<i2c_smbus_ioctl_data*>(arg));
    }
    default:
      errno = ENOTTY;
      return -1;
  }
}

}  // namespace qvshim::i2cdev
