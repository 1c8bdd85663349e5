// eventfd on Linux, a non-blocking pipe elsewhere: both poll readable while
// a signal is pending, and a burst of signals costs one read to clear.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "rtl/wake_signal.hpp"

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

namespace rtl::detail {
namespace {

#if defined(__linux__)
class EventFdSignal final : public WakeSignal {
 public:
  EventFdSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~EventFdSignal() override {
    if (fd_ >= 0) close(fd_);
  }
  void Signal() override {
    const std::uint64_t one = 1;
    if (fd_ >= 0) {
      // A full counter already means "signalled"; nothing to do on EAGAIN.
      [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
    }
  }
  void Clear() override {
    std::uint64_t value = 0;
    if (fd_ >= 0) {
      [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
    }
  }
  int Fd() const override { return fd_; }

 private:
  int fd_;
};
using PlatformSignal = EventFdSignal;
#else
class PipeSignal final : public WakeSignal {
 public:
  PipeSignal() {
    if (pipe(fds_) == 0) {
      for (int fd : fds_) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    } else {
      fds_[0] = fds_[1] = -1;
    }
  }
  ~PipeSignal() override {
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  void Signal() override {
    const char c = 1;
    if (fds_[1] >= 0) [[maybe_unused]] ssize_t n = write(fds_[1], &c, 1);
  }
  void Clear() override {
    char buf[64];
    if (fds_[0] >= 0)
      while (read(fds_[0], buf, sizeof buf) > 0) {
      }
  }
  int Fd() const override { return fds_[0]; }

 private:
  int fds_[2];
};
using PlatformSignal = PipeSignal;
#endif

}  // namespace

std::unique_ptr<WakeSignal> WakeSignal::Create() { return std::make_unique<PlatformSignal>(); }

}  // namespace rtl::detail
