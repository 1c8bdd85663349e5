// The whole Windows path to a serial adapter: the component loads our
// IBFS32.DLL by name, which drives a DS2480B or passive adapter through a
// COM port. The test run names the ports and what is on their bus:
//
//   QVDS_TEST_ADAPTERS=COM43:5,COM44:1   port and adapter type number
//   QVDS_TEST_ADAPTER_TEMPS=-3.0,19.5    the thermometers' readings
//
// scripts/test_windows.sh serves each port with `qvds18x20 sim-adapter`
// on a pseudo-terminal when a native build of the tool is at hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "onewire/vendor_driver.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "support/pump.hpp"
#include "support/testable_qv.hpp"

using testing_support::pump_until;
using testing_support::TestableQv;

namespace {


std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, sep);)
    if (!part.empty()) out.push_back(part);
  return out;
}

struct Adapter {
  std::string port;
  int type = 0;
};

std::vector<Adapter> adapters_from_env() {
  std::vector<Adapter> out;
  const char* env = std::getenv("QVDS_TEST_ADAPTERS");
  if (env == nullptr) return out;
  for (const std::string& item : split(env, ',')) {
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    out.push_back(Adapter{item.substr(0, colon), std::atoi(item.c_str() + colon + 1)});
  }
  return out;
}

void run_op(TQvDs18x20& c, void (TQvDs18x20::*starter)()) {
  (c.*starter)();
  // Serial exchanges and the real 750 ms conversion.
  ASSERT_TRUE(pump_until([&c] { return !c.Working(); }, std::chrono::seconds(60)));
  ProcessMessages();
}

}  // namespace

TEST(SerialAdapterThroughTheDriverLibrary, ComponentFindsAndMeasuresEveryThermometer) {
  const std::vector<Adapter> adapters = adapters_from_env();
  const char* temps_env = std::getenv("QVDS_TEST_ADAPTER_TEMPS");
  if (adapters.empty() || temps_env == nullptr) GTEST_SKIP() << "QVDS_TEST_ADAPTERS names no served COM port";
  std::vector<std::string> expected = split(temps_env, ',');
  std::sort(expected.begin(), expected.end());

  onewire::DriverGuard guard(onewire::load_vendor_driver());
  for (const Adapter& a : adapters) {
    SCOPED_TRACE(a.port + " type " + std::to_string(a.type));
    TestableQv c(nullptr);
    ASSERT_TRUE(c.DriverActive()) << c.DriverVer();
    c.ComPort(a.port);
    c.AdapterType(static_cast<std::uint8_t>(a.type));
    ASSERT_EQ(c.TMEXOpenSession(), 1) << c.TMEXerror.str();
    run_op(c, &TQvDs18x20::TMEXGetTemp);
    EXPECT_EQ(c.TMEXerror.str(), "");
    std::vector<std::string> got;
    for (int i = 0; i < c.SensorListCount(); ++i) got.push_back(c.getsensor(i)->temp);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(c.TMEXCloseSession(), 1);
  }
}
