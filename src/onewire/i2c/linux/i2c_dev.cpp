// The DS2482's transport over Linux's i2c-dev: plain read() and write()
// transfers where the controller makes them (I2C_FUNC_I2C), else the
// SMBus byte transfers the chip's commands fit into (send byte, write
// byte data, receive byte), as on PC SMBus controllers.
#include <dirent.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "onewire/i2c/i2c_buses.hpp"
#include "onewire/port_names.hpp"

namespace onewire::i2c {

namespace {

using namespace onewire::ds2482;

constexpr unsigned long kSmbusNeeded =
    I2C_FUNC_SMBUS_WRITE_BYTE | I2C_FUNC_SMBUS_READ_BYTE | I2C_FUNC_SMBUS_WRITE_BYTE_DATA;

// What a failed transfer's errno means. A refused byte is ENXIO on
// bit-banged and PC SMBus controllers, EREMOTEIO on the Raspberry Pi's and
// DesignWare ones, EIO for a data byte on bit-banged buses.
int classify(int error) {
  switch (error) {
    case ENXIO:
    case EREMOTEIO:
    case EIO:
      return kI2cNack;
    case ENODEV:
    case ESHUTDOWN:
      return kI2cGone;
    case EBUSY:
      return kI2cBusy;
    default:
      return kI2cBusError;
  }
}

class I2cDevBus final : public I2cBus {
 public:
  explicit I2cDevBus(std::string path) : path_(std::move(path)) {}
  ~I2cDevBus() override { close(); }

  int open() override {
    close();
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      error_ = errno;
      note_open_failure(path_, os_open_failure("open", error_));
      if (error_ == EACCES || error_ == EPERM) return kI2cAccess;
      return error_ == EBUSY ? kI2cBusy : kI2cNoBus;
    }
    unsigned long funcs = 0;
    if (::ioctl(fd_, I2C_FUNCS, &funcs) != 0) {
      // ENOTTY: a device node, but no I2C bus.
      return fail_open("ioctl(I2C_FUNCS)", errno, kI2cUnsupported);
    }
    if ((funcs & I2C_FUNC_I2C) != 0)
      smbus_ = false;
    else if ((funcs & kSmbusNeeded) == kSmbusNeeded)
      smbus_ = true;
    else
      return fail_open("ioctl(I2C_FUNCS)", EOPNOTSUPP, kI2cUnsupported);
    // One session per bus: the chip's read pointer, channel and pull-up
    // are not to be shared with another program's commands.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return fail_open("flock", EWOULDBLOCK, kI2cBusy);
    address_ = -1;
    error_ = 0;
    note_open_success(path_);
    return kI2cOk;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    address_ = -1;
  }

  bool is_open() const override { return fd_ >= 0; }

  int write(std::uint8_t address, const std::uint8_t* data, std::size_t n) override {
    if (const int r = select(address); r != kI2cOk) return r;
    if (smbus_) {
      i2c_smbus_data value{};
      if (n == 0) return smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr);
      if (n == 1) return smbus(I2C_SMBUS_WRITE, data[0], I2C_SMBUS_BYTE, nullptr);
      if (n == 2) {
        value.byte = data[1];
        return smbus(I2C_SMBUS_WRITE, data[0], I2C_SMBUS_BYTE_DATA, &value);
      }
      error_ = EOPNOTSUPP;
      return kI2cBusError;
    }
    for (;;) {
      const ssize_t done = ::write(fd_, data, n);
      if (done >= 0) return static_cast<std::size_t>(done) == n ? kI2cOk : kI2cNack;
      if (errno != EINTR) return failed(errno);
    }
  }

  int read(std::uint8_t address, std::uint8_t* data, std::size_t n) override {
    if (const int r = select(address); r != kI2cOk) return r;
    if (smbus_) {
      // Receive Byte reads the register under the pointer, as each byte
      // of a longer read would.
      for (std::size_t i = 0; i < n; ++i) {
        i2c_smbus_data value{};
        if (const int r = smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &value); r != kI2cOk) return r;
        data[i] = value.byte;
      }
      return kI2cOk;
    }
    for (;;) {
      const ssize_t done = ::read(fd_, data, n);
      if (done >= 0) return static_cast<std::size_t>(done) == n ? kI2cOk : kI2cNack;
      if (errno != EINTR) return failed(errno);
    }
  }

  int os_error() const override { return error_; }

 private:
  int fail_open(const char* call, int error, int code) {
    close();
    error_ = error == EWOULDBLOCK ? EBUSY : error;
    OpenFailure f = os_open_failure(call, error);
    // A node that is no I2C bus, or one the chip cannot be reached on.
    if (code == kI2cUnsupported) f.problem = OpenProblem::kNotAdapter;
    note_open_failure(path_, std::move(f));
    return code;
  }

  int failed(int error) {
    error_ = error;
    return classify(error);
  }

  int select(std::uint8_t address) {
    if (fd_ < 0) {
      error_ = EBADF;
      return kI2cGone;
    }
    if (address_ == address) return kI2cOk;
    // Not I2C_SLAVE_FORCE: a kernel driver bound to the address (EBUSY)
    // owns the chip, and commands of ours would cross its own.
    if (::ioctl(fd_, I2C_SLAVE, static_cast<unsigned long>(address)) != 0) return failed(errno);
    address_ = address;
    return kI2cOk;
  }

  int smbus(std::uint8_t read_write, std::uint8_t command, std::uint32_t size, i2c_smbus_data* data) {
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = command;
    args.size = size;
    args.data = data;
    for (;;) {
      if (::ioctl(fd_, I2C_SMBUS, &args) == 0) return kI2cOk;
      if (errno != EINTR) return failed(errno);
    }
  }

  std::string path_;
  int fd_ = -1;
  int address_ = -1;
  bool smbus_ = false;
  int error_ = 0;
};

}  // namespace

bool i2c_available() { return true; }

std::vector<I2cBusEntry> enumerate_buses() {
  std::vector<I2cBusEntry> found;
  DIR* dev = ::opendir("/dev");
  if (dev == nullptr) return found;
  while (const dirent* e = ::readdir(dev)) {
    const std::string name = e->d_name;
    if (name.size() < 5 || name.compare(0, 4, "i2c-") != 0) continue;
    const std::string digits = name.substr(4);
    if (digits.size() > 4 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    I2cBusEntry entry{std::atoi(digits.c_str()), "/dev/" + name, ""};
    std::ifstream sys("/sys/class/i2c-dev/" + name + "/name");
    std::getline(sys, entry.name);
    found.push_back(std::move(entry));
  }
  ::closedir(dev);
  std::sort(found.begin(), found.end(), [](const I2cBusEntry& a, const I2cBusEntry& b) { return a.number < b.number; });
  return found;
}

std::unique_ptr<I2cBus> make_i2c_bus(const std::string& path) { return std::make_unique<I2cDevBus>(path); }

}  // namespace onewire::i2c
