// The wake-up on Linux: an eventfd, which polls readable while a signal is
// pending; a burst of signals costs one read to clear.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "rtl/wake_signal.hpp"

namespace rtl::detail {
namespace {

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

}  // namespace

std::unique_ptr<WakeSignal> WakeSignal::Create() { return std::make_unique<EventFdSignal>(); }

}  // namespace rtl::detail
