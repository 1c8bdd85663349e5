// A stand-in for one Linux i2c-dev bus, loaded with LD_PRELOAD, that shows
// a program an emulated DS2482-100 or DS2482-800 on /dev/i2c-N (which need
// not exist) over simulated buses. The C library calls such a program
// makes on the device land here: open and openat of its path, ioctl
// (I2C_SLAVE, I2C_SLAVE_FORCE, I2C_FUNCS, I2C_RDWR, I2C_SMBUS and the
// settings), read, write, flock and close; every other file, and every
// call on another descriptor, goes to the C library. A transfer the chip
// does not acknowledge fails with EREMOTEIO, as on a Raspberry Pi.
//
// Configured from the environment (qvds18x20 sim-i2c sets it):
//   QVDS_SIM_I2C_DEVICE     the bus's path, e.g. /dev/i2c-1 (unset: the
//                           stand-in passes everything through)
//   QVDS_SIM_I2C_ADDRESS    the chip's 7-bit address, e.g. 0x18
//   QVDS_SIM_I2C_CHIP       100 or 800
//   QVDS_SIM_I2C_CHANNEL_n  the device file of channel n ('-' for the
//                           demonstration bus); channel 0 for a -100
//   QVDS_SIM_I2C_CLOCK_HZ   the bus's SCL rate (default 100000)
//   QVDS_SIM_I2C_SPEEDUP    the emulator's time runs this many times faster
//   QVDS_SIM_I2C_TRACE      a file that receives every call and transfer
// and, for trying what a program says about them:
//   QVDS_SIM_I2C_OPEN_ERRNO an errno every open of the device fails with
//                           (13: permission denied)
//   QVDS_SIM_I2C_BOUND      1: a kernel driver holds the chip's address, so
//                           that I2C_SLAVE to it fails with EBUSY (only
//                           I2C_SLAVE_FORCE takes it)
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "i2c_dev.hpp"
#include "onewire/ds2482/i2c_bus.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/emulated_i2c_bus.hpp"
#include "qvds18x20/device_file.hpp"
#include "rtl/clock.hpp"
#include "shim_common/shim_support.hpp"

#define SHIM_API extern "C" __attribute__((visibility("default")))

namespace {

namespace i2c = onewire::ds2482;
namespace i2cdev = qvshim::i2cdev;
using onewire::sim::Ds2482Emulator;
using onewire::sim::EmulatedI2cBus;

// The C library's own functions, found once.
template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using FlockFn = int (*)(int, int);

struct Real {
  OpenFn open = next<OpenFn>("open");
  OpenFn open64 = next<OpenFn>("open64");
  OpenAtFn openat = next<OpenAtFn>("openat");
  OpenAtFn openat64 = next<OpenAtFn>("openat64");
  CloseFn close = next<CloseFn>("close");
  ReadFn read = next<ReadFn>("read");
  WriteFn write = next<WriteFn>("write");
  IoctlFn ioctl = next<IoctlFn>("ioctl");
  FlockFn flock = next<FlockFn>("flock");
};

Real& real() {
  static Real r;
  return r;
}

// The device path alone, read at the first open: cheap enough for every
// open of every file to compare against.
const std::string& device_path() {
  static const std::string path = [] {
    const char* p = std::getenv("QVDS_SIM_I2C_DEVICE");
    return std::string(p != nullptr ? p : "");
  }();
  return path;
}

struct Shim {
  std::unique_ptr<rtl::Clock> clock;
  std::shared_ptr<EmulatedI2cBus> bus;
  qvshim::TraceLog trace;
  i2cdev::Seat seat{.chip = 0x18, .bound = false, .trace = &trace};
  std::mutex mu;  // guards `files`; held for no transfer
  std::map<int, std::shared_ptr<i2cdev::File>> files;
};

std::shared_ptr<onewire::sim::SimBus> load_bus(const std::string& file) {
  try {
    return file.empty() || file == "-" ? qvtool::demo_bus() : qvtool::load_device_file(file);
  } catch (const std::exception& e) {
    // sim-i2c has read every file before the program started; one that
    // changed since leaves its channel empty.
    std::fprintf(stderr, "qvds18x20 i2c stand-in: %s\n", e.what());
    return nullptr;
  }
}

// The stand-in's state, made at the first open of the device. Until then
// no descriptor is ours, and the calls made while it is being made (the
// device files are read through read()) pass straight through.
std::atomic<Shim*> g_shim{nullptr};

Shim* existing() { return g_shim.load(std::memory_order_acquire); }

Shim& shim() {
  static Shim* s = [] {
    auto* shim = new Shim;
    shim->trace.open_from_env("QVDS_SIM_I2C_TRACE");
    double speedup = 1.0;
    if (const char* f = std::getenv("QVDS_SIM_I2C_SPEEDUP"); f != nullptr) speedup = std::atof(f);
    shim->clock = qvshim::emulator_clock(speedup);
    int hz = 100'000;
    if (const char* f = std::getenv("QVDS_SIM_I2C_CLOCK_HZ"); f != nullptr && std::atoi(f) > 0) hz = std::atoi(f);
    shim->bus = std::make_shared<EmulatedI2cBus>(hz, shim->clock.get());
    if (const char* a = std::getenv("QVDS_SIM_I2C_ADDRESS"); a != nullptr)
      shim->seat.chip = static_cast<std::uint8_t>(std::strtol(a, nullptr, 0));
    const char* bound = std::getenv("QVDS_SIM_I2C_BOUND");
    shim->seat.bound = bound != nullptr && std::string(bound) == "1";
    const char* chip = std::getenv("QVDS_SIM_I2C_CHIP");
    const bool eight = chip != nullptr && std::string(chip) == "800";
    auto file_of = [](int channel) {
      const char* f = std::getenv(("QVDS_SIM_I2C_CHANNEL_" + std::to_string(channel)).c_str());
      return f;
    };
    std::shared_ptr<Ds2482Emulator> emulator;
    if (eight) {
      std::array<std::shared_ptr<onewire::sim::SimBus>, 8> buses;
      for (int c = 0; c < 8; ++c)
        if (const char* f = file_of(c)) buses[static_cast<std::size_t>(c)] = load_bus(f);
      emulator = std::make_shared<Ds2482Emulator>(buses);
    } else {
      const char* f = file_of(0);
      emulator = std::make_shared<Ds2482Emulator>(load_bus(f != nullptr ? f : "-"));
    }
    shim->bus->attach(shim->seat.chip, emulator);
    if (shim->trace.on())
      shim->bus->set_trace([shim](const std::string& line) { shim->trace.log("  %s", line.c_str()); });
    shim->trace.log("stand-in: DS2482-%s at 0x%02X on %s, %d Hz", eight ? "800" : "100", shim->seat.chip,
              device_path().c_str(), hz);
    g_shim.store(shim, std::memory_order_release);
    return shim;
  }();
  return *s;
}

bool is_device(const char* path) {
  return path != nullptr && !device_path().empty() && device_path() == path;
}

// A file of ours: a descriptor of its own (on /dev/null), so that the
// number is the program's and close, fcntl and the like work on it.
int open_device(int flags) {
  if (const char* e = std::getenv("QVDS_SIM_I2C_OPEN_ERRNO"); e != nullptr && std::atoi(e) > 0) {
    errno = std::atoi(e);
    return -1;
  }
  auto& s = shim();
  auto f = std::make_shared<i2cdev::File>();
  f->handle = s.bus->connect();
  if (const int r = f->handle->open(); r != i2c::kI2cOk) {
    errno = ENOENT;
    return -1;
  }
  const int fd = real().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0) return -1;
  std::lock_guard lock(s.mu);
  s.files[fd] = std::move(f);
  s.trace.log("open %s -> %d", device_path().c_str(), fd);
  return fd;
}

// A descriptor the C library handed out for another file is not ours,
// whatever an earlier one of that number was.
int forget(int fd) {
  if (Shim* s = existing(); s != nullptr && fd >= 0) {
    std::lock_guard lock(s->mu);
    s->files.erase(fd);
  }
  return fd;
}

// The file of a descriptor of ours, or null.
std::shared_ptr<i2cdev::File> file_of(Shim& s, int fd) {
  std::lock_guard lock(s.mu);
  const auto it = s.files.find(fd);
  return it == s.files.end() ? nullptr : it->second;
}

int open_flags_mode(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

}  // namespace

SHIM_API int open(const char* path, int flags, ...) {
  if (is_device(path)) return open_device(flags);
  va_list args;
  va_start(args, flags);
  const int mode = open_flags_mode(flags, args);
  va_end(args);
  return forget(real().open(path, flags, mode));
}

SHIM_API int open64(const char* path, int flags, ...) {
  if (is_device(path)) return open_device(flags);
  va_list args;
  va_start(args, flags);
  const int mode = open_flags_mode(flags, args);
  va_end(args);
  return forget(real().open64(path, flags, mode));
}

SHIM_API int openat(int dir, const char* path, int flags, ...) {
  if (is_device(path)) return open_device(flags);
  va_list args;
  va_start(args, flags);
  const int mode = open_flags_mode(flags, args);
  va_end(args);
  return forget(real().openat(dir, path, flags, mode));
}

SHIM_API int openat64(int dir, const char* path, int flags, ...) {
  if (is_device(path)) return open_device(flags);
  va_list args;
  va_start(args, flags);
  const int mode = open_flags_mode(flags, args);
  va_end(args);
  return forget(real().openat64(dir, path, flags, mode));
}

// The fortified forms (_FORTIFY_SOURCE) of the calls above.
SHIM_API int __open_2(const char* path, int flags) { return open(path, flags); }
SHIM_API int __open64_2(const char* path, int flags) { return open64(path, flags); }
SHIM_API int __openat_2(int dir, const char* path, int flags) { return openat(dir, path, flags); }
SHIM_API int __openat64_2(int dir, const char* path, int flags) { return openat64(dir, path, flags); }

SHIM_API int close(int fd) {
  if (Shim* s = existing(); s != nullptr && fd >= 0) {
    std::lock_guard lock(s->mu);
    if (s->files.erase(fd) != 0) s->trace.log("close %d", fd);
  }
  return real().close(fd);
}

SHIM_API ssize_t read(int fd, void* buf, size_t n) {
  if (Shim* s = existing()) {
    if (const auto f = file_of(*s, fd)) {
      std::lock_guard lock(f->mu);
      return i2cdev::file_read(*f, buf, n);
    }
  }
  return real().read(fd, buf, n);
}

SHIM_API ssize_t __read_chk(int fd, void* buf, size_t n, size_t) { return read(fd, buf, n); }

SHIM_API ssize_t write(int fd, const void* buf, size_t n) {
  if (Shim* s = existing()) {
    if (const auto f = file_of(*s, fd)) {
      std::lock_guard lock(f->mu);
      return i2cdev::file_write(*f, buf, n);
    }
  }
  return real().write(fd, buf, n);
}

SHIM_API int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (Shim* s = existing()) {
    if (const auto f = file_of(*s, fd)) {
      std::lock_guard lock(f->mu);
      return i2cdev::device_ioctl(s->seat, *f, request, arg);
    }
  }
  return real().ioctl(fd, request, arg);
}

// Locks among the files of this process, as flock between the open files
// of one device node.
SHIM_API int flock(int fd, int operation) {
  if (Shim* s = existing()) {
    std::lock_guard lock(s->mu);
    const auto it = s->files.find(fd);
    if (it != s->files.end()) {
      i2cdev::File* f = it->second.get();
      if ((operation & LOCK_UN) != 0) {
        f->locked = false;
        return 0;
      }
      for (const auto& [other, g] : s->files)
        if (other != fd && g->locked) {
          errno = EWOULDBLOCK;
          return -1;
        }
      f->locked = true;
      return 0;
    }
  }
  return real().flock(fd, operation);
}
