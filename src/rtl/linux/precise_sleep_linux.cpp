// Linux lets a thread's timers fire up to its timer slack late (50 us by
// default) to save wake-ups. A thread that sleeps through the run-time
// layer asks for no slack, once: its waits are the adapters' timing.
#include <sys/prctl.h>

#include <thread>

#include "rtl/precise_sleep.hpp"

namespace rtl {

void sleep_precisely(std::chrono::nanoseconds d) {
  thread_local const bool tight = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)tight;
  std::this_thread::sleep_for(d);
}

}  // namespace rtl
