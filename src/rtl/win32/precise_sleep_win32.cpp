#include <thread>

#include "rtl/precise_sleep.hpp"

namespace rtl {

void sleep_precisely(std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); }

}  // namespace rtl
