// The vendor driver library loaded by name: our own IBFS32.DLL (copied
// beside this program by the build) stands in for it, and the component
// runs on it exactly as it would on the vendor's.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "onewire/vendor_driver.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/errors.hpp"
#include "support/pump.hpp"
#include "support/testable_qv.hpp"
#include "win32/native.hpp"

using testing_support::pump_until;
using testing_support::TestableQv;

namespace {


void run_op(TQvDs18x20 &c, void (TQvDs18x20::*starter)()) {
  (c.*starter)();
  // A conversion waits its real 750 ms inside the library.
  ASSERT_TRUE(pump_until([&c] { return !c.Working(); }, std::chrono::seconds(30)));
  ProcessMessages();
}

std::string version_text(onewire::TmexDriver &d, std::int16_t type, std::int16_t *result) {
  std::array<char, 102> buffer{};
  *result = d.TMGetTypeVersion(type, buffer.data());
  return buffer.data();
}

}  // namespace

TEST(VendorDriver, MissingLibraryMeansNoDriver) {
  auto d = onewire::load_vendor_driver(L"QVDS_NO_SUCH_LIBRARY.DLL");
  ASSERT_NE(d, nullptr);
  std::int16_t r = 0;
  version_text(*d, 1, &r);
  EXPECT_NE(r, 1);
  EXPECT_EQ(d->TMExtendedStartSession(1, 1, nullptr), onewire::kErrNoDriver);
  EXPECT_EQ(d->TMTouchReset(1), onewire::kErrNoDriver);
  EXPECT_EQ(d->TMClose(1), onewire::kErrNoDriver);

  onewire::DriverGuard guard(d);
  TQvDs18x20 c(nullptr);
  EXPECT_FALSE(c.DriverActive());
  EXPECT_EQ(c.DriverVer(), "TMEX micro-lan Driver missing");
}

TEST(VendorDriver, LibraryWithoutTheEntryPointsMeansNoDriver) {
  // A real library, but not a driver: none of the 13 names is there.
  auto d = onewire::load_vendor_driver(L"kernel32.dll");
  std::int16_t r = 0;
  version_text(*d, 1, &r);
  EXPECT_EQ(r, onewire::kErrNoDriver);
  EXPECT_EQ(d->TMExtendedStartSession(1, 1, nullptr), onewire::kErrNoDriver);
}

TEST(VendorDriver, LibraryStaysLoadedWhileItsDriverLives) {
  // A copy under another name: the process-wide default driver keeps
  // IBFS32.DLL itself loaded.
  constexpr wchar_t kCopy[] = L"QVDSCOPY.DLL";
  ASSERT_FALSE(native::IsLoaded(kCopy));
  {
    auto d = onewire::load_vendor_driver(kCopy);
    EXPECT_TRUE(native::IsLoaded(kCopy));
    std::int16_t r = 0;
    version_text(*d, 5, &r);
    EXPECT_EQ(r, 1);
  }
  EXPECT_FALSE(native::IsLoaded(kCopy));
}

// One test, since the library's choice of bus is for the life of the
// process: first its serial adapters, then the simulated bus. At the end,
// the driver the operations use when the program installs none turns out
// to be the same library.
TEST(VendorDriver, ComponentRunsOnOurLibraryFirstOnSerialPortsThenOnItsSimulatedBus) {
  std::string sim_version;
  {
    auto d = onewire::load_vendor_driver();
    onewire::DriverGuard guard(d);

    // Serial adapters: the passive adapter (1) and the DS2480B (5), nothing
    // else; a port that Windows does not have cannot be opened.
    std::int16_t r = 0;
    const std::string serial_version = version_text(*d, 1, &r);
    EXPECT_EQ(r, 1);
    EXPECT_NE(serial_version.find("serial"), std::string::npos) << serial_version;
    version_text(*d, 5, &r);
    EXPECT_EQ(r, 1);
    version_text(*d, 6, &r);
    EXPECT_NE(r, 1);
    EXPECT_EQ(d->TMExtendedStartSession(250, 1, nullptr), onewire::kErrPortUnavailable);
    EXPECT_EQ(d->TMExtendedStartSession(1, 6, nullptr), onewire::kErrAdapterType);
    {
      TQvDs18x20 c(nullptr);
      EXPECT_TRUE(c.DriverActive());
      EXPECT_EQ(c.DriverVer(), serial_version);
      c.ComPort("COM250");
      EXPECT_NE(c.TMEXOpenSession(), 1);
      EXPECT_FALSE(c.SesionActive());
      EXPECT_EQ(c.TMEXerror.str(), "TMExtendedStartSession error: " + std::to_string(onewire::kErrPortUnavailable));
    }

    ASSERT_TRUE(native::CallExport(L"IBFS32.DLL", "QvUseSimulatedBus"));
    sim_version = version_text(*d, 1, &r);
    EXPECT_EQ(r, 1);
    EXPECT_NE(sim_version, serial_version);

    TestableQv c(nullptr);
    EXPECT_EQ(c.DriverVer(), sim_version);
    std::vector<std::string> events;
    c.OnSessionActive([&](TObject *) { events.push_back("SessionActive"); });
    c.OnSessionError([&](TObject *) { events.push_back("SessionError"); });
    c.OnGetSensorCount([&](TObject *) { events.push_back("GetSensorCount"); });
    c.OnGetTemp([&](TObject *) { events.push_back("GetTemp"); });
    ASSERT_EQ(c.TMEXOpenSession(), 1);
    EXPECT_TRUE(c.SesionActive());

    run_op(c, &TQvDs18x20::TMEXGetDSCount);
    ASSERT_EQ(c.FSensorCount.load(), 2);
    std::map<std::string, std::string> names;
    for (int i = 0; i < c.SensorListCount(); ++i) names[c.getsensor(i)->romstr] = c.getsensor(i)->name;
    EXPECT_EQ(names.size(), 2u);
    // Families 0x28 and 0x10 in the lowest byte, which the text ends with.
    int b20 = 0, s20 = 0;
    for (const auto &[rom, name] : names) {
      if (rom.size() == 16 && rom.substr(14) == "28" && name == "DS18B20") ++b20;
      if (rom.size() == 16 && rom.substr(14) == "10") ++s20;
    }
    EXPECT_EQ(b20, 1);
    EXPECT_EQ(s20, 1);

    run_op(c, &TQvDs18x20::TMEXGetTemp);
    std::map<std::string, std::string> temps;
    for (int i = 0; i < c.SensorListCount(); ++i) temps[c.getsensor(i)->romstr.substr(14)] = c.getsensor(i)->temp;
    EXPECT_EQ(temps["28"], "21.5");
    EXPECT_EQ(temps["10"], "-10.5");
    EXPECT_EQ(c.TMEXerror.str(), "");
    // The list was already made, so the measurement did not enumerate again.
    EXPECT_EQ(events, (std::vector<std::string>{"SessionActive", "GetSensorCount", "GetTemp"}));

    EXPECT_EQ(c.TMEXCloseSession(), 1);
    EXPECT_NE(d->TMValidSession(c.FSesionHandle), 1);
  }

  // Nothing installed now: the operations went to the library loaded by
  // name, which serves its simulated bus since the call above.
  std::array<char, 102> buffer{};
  EXPECT_EQ(TMGetTypeVersion(1, buffer.data()), 1);
  EXPECT_EQ(std::string(buffer.data()), sim_version);
  TQvDs18x20 c(nullptr);
  EXPECT_EQ(c.DriverVer(), sim_version);
  c.ComPort("COM1");
  EXPECT_EQ(c.TMEXOpenSession(), 1);
  EXPECT_EQ(c.TMEXCloseSession(), 1);
}
