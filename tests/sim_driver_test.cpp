// The simulated driver as an adapter like the others: the measurement every
// adapter's suite runs, on buses behind two port numbers.
#include "onewire/sim/sim_driver.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"

namespace {

using namespace std::chrono_literals;

TEST(SimDriverWalk, FindsEverySensorOnEachPortAndReadsItsTemperature) {
  rtl::SkipClock skip;
  rtl::ClockGuard guard(skip);
  testing_support::SensorBus first(6);
  testing_support::SensorBus second(3, 0x00BEEF000000);
  auto driver = std::make_shared<onewire::sim::SimDriver>();
  driver->attach(1, first.bus);
  driver->attach(2, second.bus);
  for (int port : {1, 2}) {
    SCOPED_TRACE("port " + std::to_string(port));
    const testing_support::SensorBus& sensors = port == 1 ? first : second;
    const std::int32_t session = driver->TMExtendedStartSession(static_cast<std::int16_t>(port), 1, nullptr);
    ASSERT_GT(session, 0);
    testing_support::expect_measurement_of_every_sensor(*driver, session, sensors, [&] { skip.sleep_for(800ms); });
  }
}

}  // namespace
