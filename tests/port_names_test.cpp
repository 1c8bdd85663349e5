// The port-name resolver: every form a user writes to the port number the
// component gets and back to the device the driver opens, the names each
// form refuses, and what the driver keeps of a failed open.
#include "onewire/port_names.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "rtl/clock.hpp"
#include "rtl/com_ports.hpp"
#include "rtl/messages.hpp"

namespace {

using onewire::PortForm;
using onewire::PortName;

class PortNames : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int n = 1; n <= onewire::kMaxPortNumber; ++n) onewire::unpin_port(n);
  }
  static PortName resolved(const std::string& text, PortForm form) {
    const auto r = onewire::resolve_port(text, form);
    EXPECT_TRUE(r.port) << text << ": " << r.expected << " " << r.reason;
    return r.port.value_or(PortName{});
  }
  static void refused(const std::string& text, PortForm form) {
    const auto r = onewire::resolve_port(text, form);
    EXPECT_FALSE(r.port) << text << " became port " << r.port->number;
    EXPECT_NE(r.expected, "") << text;
  }
};

TEST_F(PortNames, ComNamesAreTheirNumbersAndLeadToWhatTheNumberIs) {
  onewire::pin_port(7, "/dev/qvds-seven");
  for (const char* text : {"COM7", "com7", "Com7"}) {
    const PortName p = resolved(text, PortForm::kSerial);
    EXPECT_EQ(p.number, 7);
    EXPECT_EQ(p.com_name(), "COM7");
    EXPECT_EQ(p.label, text);
    EXPECT_EQ(p.device, "/dev/qvds-seven");
  }
  EXPECT_EQ(resolved("COM255", PortForm::kSerial).number, 255);
  for (const char* text : {"COM0", "COM256", "COMx", "COM", "COM-1", "nonsense", "7", "USB1", "w1_bus_master1"})
    refused(text, PortForm::kSerial);
}

TEST_F(PortNames, PathsGetTheHighestFreeNumberOnceAndKeepIt) {
  onewire::pin_port(255, "/dev/qvds-taken");
  const PortName a = resolved("/tmp/qvds-port-a", PortForm::kSerial);
  EXPECT_EQ(a.number, 254) << "255 was pinned already";
  EXPECT_EQ(a.device, "/tmp/qvds-port-a");
  EXPECT_EQ(onewire::port_device(PortForm::kSerial, a.number), "/tmp/qvds-port-a");
  EXPECT_EQ(resolved("/tmp/qvds-port-a", PortForm::kSerial).number, a.number) << "a path keeps its number";
  const PortName b = resolved("/tmp/qvds-port-b", PortForm::kSerial);
  EXPECT_EQ(b.number, 253);
  // The pins of old, under their old name, are the same pins.
  EXPECT_EQ(rtl::com::path_for_port(253), "/tmp/qvds-port-b");
  EXPECT_EQ(resolved("\\\\.\\COM12", PortForm::kSerial).device, "\\\\.\\COM12");
}

TEST_F(PortNames, TheComponentGivenTheComNameReachesTheBusOfThatNumber) {
  // A path resolved to a number; the component takes "COMn" as it always
  // has and its session opens on the bus attached under that number.
  rtl::SkipClock clock;
  rtl::ClockGuard clock_guard(clock);
  const PortName p = resolved("/tmp/qvds-component-port", PortForm::kSerial);
  auto bus = std::make_shared<onewire::sim::SimBus>();
  bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 0x77), 19.0));
  auto driver = std::make_shared<onewire::sim::SimDriver>();
  driver->attach(p.number, bus);
  onewire::DriverGuard guard(driver);
  TQvDs18x20 c(nullptr);
  c.ComPort(p.com_name());
  c.TMEXOpenSession();
  ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  c.TMEXGetDSCount();
  RunMessageLoop([&] { return !c.Working(); });
  EXPECT_EQ(c.FSensorCount, 1);
  c.Close();
}

TEST_F(PortNames, UsbI2cAndKernelMastersHaveFormsOfTheirOwn) {
  const PortName usb = resolved("usb3", PortForm::kUsb);
  EXPECT_EQ(usb.number, 3);
  EXPECT_EQ(usb.device, "USB3");
  EXPECT_EQ(onewire::port_device(PortForm::kUsb, 3), "USB3");
  for (const char* text : {"USB0", "USB256", "COM3", "/dev/bus/usb/001/004"}) refused(text, PortForm::kUsb);

  const PortName i2c = resolved("/dev/i2c-1:0x1A:3", PortForm::kI2c);
  EXPECT_EQ(onewire::port_device(PortForm::kI2c, i2c.number), "/dev/i2c-1:0x1A:3");
  EXPECT_EQ(resolved("/dev/i2c-1", PortForm::kI2c).device, "/dev/i2c-1");
  const auto bad = onewire::resolve_port("/dev/i2c-1:0x17", PortForm::kI2c);
  ASSERT_FALSE(bad.port);
  EXPECT_NE(bad.reason.find("0x18 to 0x1F"), std::string::npos) << bad.reason;
  for (const char* text : {"COM3", "USB1", "i2c-1", "/dev/i2c-1:0x18:9"}) refused(text, PortForm::kI2c);

  for (const char* text : {"w1_bus_master3", "/sys/bus/w1/devices/w1_bus_master3", "3"}) {
    const PortName m = resolved(text, PortForm::kKernelW1);
    EXPECT_EQ(m.number, 3);
    EXPECT_EQ(m.label, "w1_bus_master3") << "messages name the master, whatever was written";
    EXPECT_EQ(m.device, "w1_bus_master3");
  }
  for (const char* text : {"w1_bus_master0", "w1_bus_master01", "03", "0", "256", "COM1", "w1_bus_master"})
    refused(text, PortForm::kKernelW1);

  // Only the names that say their form themselves.
  EXPECT_EQ(onewire::form_of_name("USB2"), PortForm::kUsb);
  EXPECT_EQ(onewire::form_of_name("w1_bus_master2"), PortForm::kKernelW1);
  for (const char* text : {"COM2", "/dev/ttyUSB0", "/dev/i2c-1", "2"}) EXPECT_FALSE(onewire::form_of_name(text)) << text;
}

TEST_F(PortNames, EachFormSaysWhatItTakes) {
  EXPECT_NE(onewire::port_forms_text(PortForm::kSerial).find("COM3"), std::string::npos);
  EXPECT_NE(onewire::port_forms_text(PortForm::kUsb).find("USB1"), std::string::npos);
  EXPECT_NE(onewire::port_forms_text(PortForm::kI2c).find("/dev/i2c-1:0x1A:3"), std::string::npos);
  EXPECT_NE(onewire::port_forms_text(PortForm::kKernelW1).find("w1_bus_master1"), std::string::npos);
  EXPECT_EQ(onewire::resolve_port("nonsense", PortForm::kUsb).expected, onewire::port_forms_text(PortForm::kUsb));
}

TEST_F(PortNames, AFailedOpenIsKeptUntilTheNextOneSucceeds) {
  const std::string device = "/dev/qvds-kept";
  EXPECT_FALSE(onewire::last_open_failure(device));
  onewire::note_open_failure(device, onewire::os_open_failure("open", EACCES));
  const auto f = onewire::last_open_failure(device);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->problem, onewire::OpenProblem::kDenied);
  EXPECT_EQ(f->call, "open");
  EXPECT_EQ(f->code, EACCES);
  EXPECT_EQ(f->what(), "open: " + std::string(std::strerror(EACCES)));
  onewire::note_open_failure(device, onewire::os_open_failure("flock", EWOULDBLOCK));
  EXPECT_EQ(onewire::last_open_failure(device)->problem, onewire::OpenProblem::kBusy) << "the last one counts";
  onewire::note_open_success(device);
  EXPECT_FALSE(onewire::last_open_failure(device));

  // An I2C port's failure is its bus's.
  onewire::note_open_failure("/dev/i2c-4", onewire::os_open_failure("open", ENOENT));
  const PortName i2c = resolved("/dev/i2c-4:0x19:2", PortForm::kI2c);
  ASSERT_TRUE(onewire::last_open_failure(i2c));
  EXPECT_EQ(onewire::last_open_failure(i2c)->problem, onewire::OpenProblem::kAbsent);
  onewire::note_open_success("/dev/i2c-4");
  // A COM number no device has has nothing to report.
  EXPECT_FALSE(onewire::last_open_failure(resolved("COM250", PortForm::kSerial)));
}

// A USB adapter that refuses one step of the open, as libusb reports it.
class RefusingUsbDevice final : public onewire::ds2490::UsbDevice {
 public:
  RefusingUsbDevice(int open_result, int claim_result) : open_(open_result), claim_(claim_result) {}
  int open() override {
    opened_ = open_ == onewire::ds2490::kUsbSuccess;
    return open_;
  }
  void close() override { opened_ = false; }
  bool is_open() const override { return opened_; }
  int set_configuration(int) override { return onewire::ds2490::kUsbSuccess; }
  int claim_interface(int) override { return claim_; }
  int release_interface(int) override { return onewire::ds2490::kUsbSuccess; }
  int set_alt_setting(int, int) override { return onewire::ds2490::kUsbErrorIo; }
  int clear_halt(std::uint8_t) override { return onewire::ds2490::kUsbSuccess; }
  int control(std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t, std::uint8_t*, std::uint16_t,
              rtl::Duration) override {
    return onewire::ds2490::kUsbErrorIo;
  }
  int bulk(std::uint8_t, std::uint8_t*, int, int& moved, rtl::Duration) override {
    moved = 0;
    return onewire::ds2490::kUsbErrorIo;
  }
  int interrupt(std::uint8_t, std::uint8_t*, int, int& moved, rtl::Duration) override {
    moved = 0;
    return onewire::ds2490::kUsbErrorIo;
  }

 private:
  int open_, claim_;
  bool opened_ = false;
};

TEST_F(PortNames, TheUsbAdaptersRefusalsAreKeptWithLibusbsWords) {
  namespace u = onewire::ds2490;
  struct Case {
    int open, claim;
    std::int32_t start;
    onewire::OpenProblem problem;
    const char* call;
  };
  const std::vector<Case> cases = {
      {u::kUsbErrorAccess, u::kUsbSuccess, onewire::kErrPortUnavailable, onewire::OpenProblem::kDenied, "libusb_open"},
      {u::kUsbSuccess, u::kUsbErrorBusy, onewire::kErrPortBusy, onewire::OpenProblem::kBusy, "libusb_claim_interface"},
      {u::kUsbErrorNoDevice, u::kUsbSuccess, onewire::kErrPortUnavailable, onewire::OpenProblem::kAbsent, "libusb_open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    onewire::BuiltinDriverOptions options;
    options.usb_devices = [c](int port) -> std::unique_ptr<u::UsbDevice> {
      if (port != 2) return nullptr;
      return std::make_unique<RefusingUsbDevice>(c.open, c.claim);
    };
    const auto driver = onewire::make_builtin_driver(options);
    EXPECT_EQ(driver->TMExtendedStartSession(2, onewire::kAdapterTypeDs2490, nullptr), c.start);
    const auto f = onewire::last_open_failure(resolved("USB2", PortForm::kUsb));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->problem, c.problem);
    EXPECT_EQ(f->call, c.call);
    EXPECT_NE(f->text, "");
  }
  onewire::note_open_success("USB2");
}

}  // namespace
