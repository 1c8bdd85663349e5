// Parasite-powered thermometers through the virtual adapters on real
// pseudo-terminals, with real time and a USB bridge of 0, 1 and 16 ms:
// the DS2480B holds the strong pull-up through the conversion and every
// sensor reads its value; the passive adapter cannot, and its parasite
// sensors end as not read, with the reason, never as 85.0.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "rtl/messages.hpp"
#include "support/pump.hpp"
#include "support/sim_bus_builder.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::sim::AdapterKind;
using onewire::sim::Ds18x20;

class ParasitePty : public ::testing::TestWithParam<std::tuple<AdapterKind, int>> {
 protected:
  std::shared_ptr<Ds18x20> add(std::uint8_t family, std::uint64_t serial, double celsius, bool parasite) {
    return testing_support::sim_bus_builder(bus).add_sensor(family, serial, celsius).parasite(parasite).last_sensor();
  }
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
};

TEST_P(ParasitePty, AMeasurementReadsRightValuesOrSaysWhyNot) {
  const AdapterKind kind = std::get<0>(GetParam());
  auto b20 = add(0x28, 0x0416913C6BFF, 21.5, true);
  auto s20 = add(0x10, 0x000802B4A1C3, 25.5, true);
  auto cold = add(0x28, 0x0316A2B80C11, -3.25, false);
  onewire::sim::VirtualAdapterOptions o;
  o.kind = kind;
  o.bridge_latency = std::chrono::milliseconds(std::get<1>(GetParam()));
  onewire::sim::VirtualAdapter adapter(bus, o);
  ASSERT_EQ(adapter.start(), 1);
  const std::string path = adapter.path();
  auto driver = std::make_shared<onewire::BusDriver>(
      [&](int, int, std::int16_t&) -> std::unique_ptr<onewire::Link> {
        auto port = onewire::serial::make_serial_port(path);
        if (kind == AdapterKind::kDs2480b) return std::make_unique<onewire::ds2480b::Ds2480bLink>(std::move(port));
        return std::make_unique<onewire::passive::PassiveLink>(std::move(port));
      },
      "test", [](int) { return true; });
  onewire::DriverGuard installed(driver);
  TQvDs18x20 c(nullptr);
  c.AdapterType(kind == AdapterKind::kDs2480b ? 5 : 1);
  c.TMEXOpenSession();
  ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  c.TMEXGetTemp();
  ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }, 60s));
  ProcessMessages();
  ASSERT_EQ(c.SensorListCount(), 3);
  int checked = 0;
  for (int i = 0; i < c.SensorListCount(); ++i) {
    const TSensor& s = *c.sensor(i);
    if (s.rom == cold->rom()) {
      EXPECT_EQ(s.status, rsRead);
      EXPECT_EQ(s.celsius, -3.25);
      ++checked;
      continue;
    }
    const double expected = s.rom == b20->rom() ? 21.5 : 25.5;
    if (kind == AdapterKind::kDs2480b) {
      EXPECT_EQ(s.status, rsRead) << s.romstr << ": " << DescribeReadStatus(s.status);
      EXPECT_EQ(s.celsius, expected) << s.romstr;
      EXPECT_EQ(s.power, psParasite);
    } else {
      // Never a plausible figure: a sensor that cannot be fed holds its
      // power-on value.
      EXPECT_EQ(s.status, rsPowerOnValue) << s.romstr;
      EXPECT_EQ(s.power, psParasiteUnfed);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 3);
  EXPECT_EQ(c.UnfedSensors().size(), kind == AdapterKind::kDs2480b ? 0u : 2u);
  c.Close();
  (void)s20;
}

INSTANTIATE_TEST_SUITE_P(KindsAndLatencies, ParasitePty,
                         ::testing::Combine(::testing::Values(AdapterKind::kDs2480b, AdapterKind::kPassive),
                                            ::testing::Values(0, 1, 16)),
                         [](const ::testing::TestParamInfo<std::tuple<AdapterKind, int>>& info) {
                           return std::string(std::get<0>(info.param) == AdapterKind::kDs2480b ? "Ds2480b" : "Passive") +
                                  "_" + std::to_string(std::get<1>(info.param)) + "ms";
                         });

}  // namespace
