// A sleep that returns as close to its end as the system allows. The
// 1-Wire adapters' waits are many and short (a slot is 70 us): a system
// that lets every timer fire late by its default slack (50 us on Linux)
// would add most of a slot to each.
#pragma once

#include <chrono>

namespace rtl {

void sleep_precisely(std::chrono::nanoseconds d);

}  // namespace rtl
