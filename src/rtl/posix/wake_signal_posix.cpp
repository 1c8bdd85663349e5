// The wake-up on POSIX systems: a non-blocking pipe, which polls readable
// while a signal is pending; a burst of signals costs one read to clear.
// Linux uses an eventfd instead (linux/wake_signal_linux.cpp).
#include <fcntl.h>
#include <unistd.h>

#include "rtl/wake_signal.hpp"

namespace rtl::detail {
namespace {

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

}  // namespace

std::unique_ptr<WakeSignal> WakeSignal::Create() { return std::make_unique<PipeSignal>(); }

}  // namespace rtl::detail
