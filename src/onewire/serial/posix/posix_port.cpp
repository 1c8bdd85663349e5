// The serial port on POSIX systems: termios raw 8N1 with no flow control
// and modem lines ignored, non-blocking I/O with poll() for deadlines.
// Works the same on pseudo-terminals, which have no baud rate and no
// break: rates are accepted and ignored there, and a break is reported as
// not sent so that the adapter protocol can fall back to its own means.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>

#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::serial {
namespace {

bool baud_constant(int baud, speed_t& out) {
  switch (baud) {
    case kBaud9600:
      out = B9600;
      return true;
    case kBaud19200:
      out = B19200;
      return true;
    case kBaud57600:
      out = B57600;
      return true;
    case kBaud115200:
      out = B115200;
      return true;
    default:
      return false;
  }
}

// Linux numbers pseudo-terminal slaves with majors 136..143 (and the old
// BSD-style ones with 3).
bool is_pseudo_terminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

// Errors after which the device is gone for good.
bool device_gone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EBADF; }

int poll_ms(rtl::Duration d) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return ms <= 0 ? 0 : static_cast<int>(ms);
}

// What a port was set to before we opened it, per open descriptor, so
// that it can be put back on close and, from another thread, when the
// program must leave while a call on the port is still blocked.
struct SavedSettings {
  termios tio{};
  int lines = 0;
  bool has_lines = false;
};

std::mutex& saved_mutex() {
  static std::mutex mu;
  return mu;
}

std::map<int, SavedSettings>& saved_ports() {
  static std::map<int, SavedSettings> ports;
  return ports;
}

void put_back(int fd, const SavedSettings& saved) {
  (void)tcsetattr(fd, TCSANOW, &saved.tio);
  if (saved.has_lines) (void)ioctl(fd, TIOCMSET, &saved.lines);
}

class PosixPort final : public Transport {
 public:
  explicit PosixPort(std::string path) : path_(std::move(path)) {}
  ~PosixPort() override { close(); }
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  int open() override {
    if (fd_ >= 0) return 1;
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // A port another program holds with TIOCEXCL refuses us with EBUSY.
    if (fd < 0) {
      const int err = errno;
      note_open_failure(path_, os_open_failure("open", err));
      return err == EBUSY ? kErrPortBusy : kErrPortUnavailable;
    }
    if (!isatty(fd)) {
      const int err = errno;
      ::close(fd);
      OpenFailure f = os_open_failure("isatty", err);
      f.problem = OpenProblem::kNotAdapter;
      f.text = "not a serial port (" + f.text + ")";
      note_open_failure(path_, std::move(f));
      return kErrPortUnavailable;
    }
    // The port is ours alone while the session lasts: the advisory lock
    // for programs that ask first (and for root, whom TIOCEXCL does not
    // stop), TIOCEXCL for those that do not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      note_open_failure(path_, os_open_failure("flock", err));
      return err == EWOULDBLOCK ? kErrPortBusy : kErrPortUnavailable;
    }
    SavedSettings saved;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
      const int err = errno;
      ::close(fd);
      note_open_failure(path_, os_open_failure("tcgetattr", err));
      return kErrPortUnavailable;
    }
    saved.tio = tio;
    saved.has_lines = ioctl(fd, TIOCMGET, &saved.lines) == 0;
    (void)ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | CSIZE);
    tio.c_cflag |= CS8;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
      put_back(fd, saved);
      (void)ioctl(fd, TIOCNXCL);
      ::close(fd);
      return kErrPortUnavailable;
    }
    // Adapters may draw their power from DTR and RTS. A pseudo-terminal
    // has no modem lines and refuses this, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &lines);
    tcflush(fd, TCIFLUSH);
    request_low_latency(fd);
    {
      std::lock_guard<std::mutex> lock(saved_mutex());
      saved_ports()[fd] = saved;
    }
    fd_ = fd;
    pty_ = is_pseudo_terminal(fd);
    baud_ = kBaud9600;
    note_open_success(path_);
    return 1;
  }

  void close() override {
    if (fd_ < 0) return;
    {
      // The next user of the port finds it as we found it.
      std::lock_guard<std::mutex> lock(saved_mutex());
      auto it = saved_ports().find(fd_);
      if (it != saved_ports().end()) {
        put_back(fd_, it->second);
        saved_ports().erase(it);
      }
    }
    if (low_latency_set_) {
      // The next program meets the port as we found it.
      (void)ioctl(fd_, TIOCSSERIAL, &saved_serial_);
      low_latency_set_ = false;
    }
    (void)ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
  }

  bool is_open() const override { return fd_ >= 0; }

  int set_baud(int baud) override {
    speed_t speed{};
    if (!baud_constant(baud, speed)) return kErrSpeed;
    if (fd_ < 0) return kErrPortIo;
    if (baud == baud_) return 1;
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return fail(errno);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    // TCSADRAIN: a character still going out must leave at the old rate.
    if (tcsetattr(fd_, TCSADRAIN, &tio) != 0) return fail(errno);
    baud_ = baud;
    return 1;
  }

  int baud() const override { return baud_; }

  int send_break(rtl::Duration length) override {
    if (fd_ < 0) return kErrPortIo;
    if (pty_) return 0;
    tcdrain(fd_);
    if (ioctl(fd_, TIOCSBRK) == 0) {
      rtl::GetClock().sleep_for(length);
      if (ioctl(fd_, TIOCCBRK) != 0) return fail(errno);
      return 1;
    }
    if (device_gone(errno)) return fail(errno);
    // Some drivers only know the timed break of tcsendbreak.
    if (tcsendbreak(fd_, 0) == 0) return 1;
    return device_gone(errno) ? fail(errno) : 0;
  }

  int write(const std::uint8_t* data, std::size_t n) override {
    if (fd_ < 0) return kErrPortIo;
    std::size_t done = 0;
    while (done < n) {
      const ssize_t k = ::write(fd_, data + done, n - done);
      if (k > 0) {
        done += static_cast<std::size_t>(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return fail(errno);
      // The output queue is full: wait for room, as long as a few hundred
      // characters take at the slowest rate.
      const int r = wait_with_deadline(std::chrono::seconds(1), [&](rtl::Duration slice) -> int {
        pollfd p{fd_, POLLOUT, 0};
        const int pr = ::poll(&p, 1, poll_ms(slice));
        if (pr < 0) return errno == EINTR ? 0 : fail(errno);
        if (pr == 0) return 0;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return fail(EIO);
        return 1;
      });
      if (r < 0) return r;
      if (r == 0) return kErrPortIo;
    }
    return static_cast<int>(n);
  }

  int read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) override {
    if (fd_ < 0) return kErrPortIo;
    if (n == 0) return 0;
    pollfd p{fd_, POLLIN, 0};
    int pr = 0;
    do {
      pr = ::poll(&p, 1, poll_ms(timeout));
    } while (pr < 0 && errno == EINTR);
    if (pr < 0) return fail(errno);
    if (pr == 0) return 0;
    if ((p.revents & POLLIN) == 0) return fail(EIO);
    const ssize_t k = ::read(fd_, data, n);
    if (k > 0) return static_cast<int>(k);
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    // Readable but nothing to read: the other end hung up.
    return fail(k < 0 ? errno : EIO);
  }

  int flush_input() override {
    if (fd_ < 0) return kErrPortIo;
    if (tcflush(fd_, TCIFLUSH) != 0) return fail(errno);
    return 1;
  }

 private:
  // USB serial bridges hold answers until their latency timer runs out
  // (16 ms on FTDI bridges); in low-latency mode the driver sets it to
  // 1 ms. Ports that do not know the request (a pseudo-terminal, a UART)
  // refuse it, and work as they are.
  void request_low_latency(int fd) {
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
    if ((ss.flags & ASYNC_LOW_LATENCY) != 0) return;
    saved_serial_ = ss;
    ss.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &ss) == 0) low_latency_set_ = true;
  }

  // Every failure of an open port is an I/O error for the caller; a port
  // whose device went away stays failed until it is opened again.
  int fail(int err) {
    if (device_gone(err)) close();
    return kErrPortIo;
  }

  std::string path_;
  int fd_ = -1;
  bool pty_ = false;
  int baud_ = kBaud9600;
  serial_struct saved_serial_{};
  bool low_latency_set_ = false;
};

}  // namespace

std::unique_ptr<Transport> make_serial_port(const std::string& path) { return std::make_unique<PosixPort>(path); }

void restore_open_ports() {
  std::lock_guard<std::mutex> lock(saved_mutex());
  for (const auto& [fd, saved] : saved_ports()) put_back(fd, saved);
}

}  // namespace onewire::serial
