// Windows wakes a thread through its message queue (see
// user_queue_win32.cpp), so there is no descriptor to hand out.
#include "rtl/wake_signal.hpp"

namespace rtl::detail {
namespace {

class NoSignal final : public WakeSignal {
 public:
  void Signal() override {}
  void Clear() override {}
  int Fd() const override { return -1; }
};

}  // namespace

std::unique_ptr<WakeSignal> WakeSignal::Create() { return std::make_unique<NoSignal>(); }

}  // namespace rtl::detail
