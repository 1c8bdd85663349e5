// The tool where a first hour with real adapters goes wrong: a serial port
// the user may not open, a USB adapter that is refused, held by another
// program or not there, an adapter opened as the wrong type, and
// --adapter auto finding the right one. Each failure is one line on
// standard error that says what to do.
#include <gtest/gtest.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders

// The one line of a failed command, checked for each of `parts`.
void ExpectOneLine(const Result& r, const std::vector<std::string>& parts) {
  EXPECT_EQ(r.code, 1) << r.err;
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_EQ(lines[0].rfind("qvds18x20: ", 0), 0u) << lines[0];
  for (const auto& p : parts) EXPECT_NE(lines[0].find(p), std::string::npos) << "no \"" << p << "\" in: " << lines[0];
}

// A virtual adapter of the library on a pseudo-terminal, in this process.
class Adapter {
 public:
  explicit Adapter(onewire::sim::AdapterKind kind) {
    onewire::sim::VirtualAdapterOptions o;
    o.kind = kind;
    auto bus = std::make_shared<onewire::sim::SimBus>();
    bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 0xAB01), 21.5));
    adapter_ = std::make_unique<onewire::sim::VirtualAdapter>(bus, o);
    started_ = adapter_->start() == 1;
  }
  ~Adapter() { adapter_->stop(); }
  bool started() const { return started_; }
  const std::string& path() const { return adapter_->path(); }

 private:
  std::unique_ptr<onewire::sim::VirtualAdapter> adapter_;
  bool started_ = false;
};

// Leaves root behind in the child the tool runs in (nobody, no groups),
// or, run as another user, takes the node's permissions away.
class NoAccess {
 public:
  explicit NoAccess(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0) mode_ = st.st_mode & 07777;
    chmod(path_.c_str(), geteuid() == 0 ? 0600 : 0);
  }
  ~NoAccess() { chmod(path_.c_str(), mode_); }
  static void drop_root() {
    if (geteuid() != 0) return;
    // A sanitizer's leak check cannot stop a process that gave up root.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
  }

 private:
  std::string path_;
  mode_t mode_ = 0620;
};

TEST(ToolFirstHour, ASerialPortTheUserMayNotOpenNamesTheGroupToJoin) {
  Adapter adapter(onewire::sim::AdapterKind::kDs2480b);
  ASSERT_TRUE(adapter.started());
  NoAccess refuse(adapter.path());
  const Result r = Tool({"read", "--port", adapter.path(), "--adapter", "ds2480b"}, std::chrono::seconds(30), nullptr,
                        &NoAccess::drop_root);
  ExpectOneLine(r, {"cannot open a session on " + adapter.path() + " (adapter type 5)",
                    adapter.path() + ": permission denied (open: Permission denied)",
                    "add the user to the dialout group (sudo adduser $USER dialout), then log in again"});
  // --adapter auto says the same of the port it cannot ask.
  const Result automatic =
      Tool({"read", "--port", adapter.path(), "--adapter", "auto"}, std::chrono::seconds(30), nullptr,
           &NoAccess::drop_root);
  ExpectOneLine(automatic, {"--adapter auto", "permission denied", "sudo adduser $USER dialout"});
}

TEST(ToolFirstHour, AnAdapterOpenedAsTheOtherTypeSaysWhichToUseAndAutoFindsIt) {
  struct Case {
    onewire::sim::AdapterKind kind;
    const char* asked;
    int type;
    const char* named;
  };
  for (const Case& c : {Case{onewire::sim::AdapterKind::kDs2480b, "passive", 5, "ds2480b"},
                        Case{onewire::sim::AdapterKind::kPassive, "ds2480b", 1, "passive"}}) {
    SCOPED_TRACE(c.named);
    Adapter adapter(c.kind);
    ASSERT_TRUE(adapter.started());
    const Result wrong = Tool({"read", "--port", adapter.path(), "--adapter", c.asked});
    ExpectOneLine(wrong, {": the adapter did not answer, or answered nonsense; the adapter on " + adapter.path() +
                              " answers as a",
                          std::string("use --adapter ") + c.named,
                          std::string("use --adapter ") + c.named + ""});
    // Asked for, and by default on a serial port.
    for (const std::vector<std::string>& choice : {std::vector<std::string>{"--adapter", "auto"}, {}}) {
      std::vector<std::string> args = {"read", "--port", adapter.path(), "--format", "json"};
      args.insert(args.end(), choice.begin(), choice.end());
      const Result found = Tool(args);
      ASSERT_EQ(found.code, 0) << found.err;
      const auto j = nlohmann::json::parse(found.out);
      EXPECT_EQ(j["adapter"], c.type) << "the session runs on the type found";
      ASSERT_EQ(j["sensors"].size(), 1u);
      EXPECT_EQ(j["sensors"][0]["temp"], "21.5");
    }
  }
}

TEST(ToolFirstHour, AutoOnAPortNobodyAnswersOnSaysSo) {
  TempDir dir;
  int master = -1, slave = -1;
  char name[256] = "";
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  const Result r = Tool({"list", "--port", name, "--adapter", "auto"});
  ExpectOneLine(r, {"--adapter auto: neither a DS2480B nor a passive adapter answers on " + std::string(name)});
  // Detected by default, the port is named as the user gave it, without
  // an option that was not given.
  const Result by_default = Tool({"list", "--port", name});
  ExpectOneLine(by_default, {"no adapter answers on " + std::string(name) + ": neither a DS2480B nor a passive one"});
  EXPECT_EQ(by_default.err.find("--adapter auto"), std::string::npos) << by_default.err;
  close(slave);
  close(master);
  const Result without_port = Tool({"read", "--adapter", "auto"});
  EXPECT_EQ(without_port.code, 2) << without_port.err;
  EXPECT_NE(without_port.err.find("--adapter auto needs --port"), std::string::npos) << without_port.err;
}

#ifdef QVDS_USB_SHIM_PATH
// The tool under sim-usb, with the stand-in refusing as `refuse` says.
Result UnderStandIn(const std::string& devices, const std::string& port, const char* refuse) {
  return Tool({"sim-usb", "--devices", devices, "--", QVDS_TOOL_PATH, "read", "--port", port},
              std::chrono::seconds(60), nullptr, [refuse] {
                if (refuse != nullptr) setenv("QVDS_SIM_USB_REFUSE", refuse, 1);
              });
}

TEST(ToolFirstHour, AUsbAdapterThatCannotBeOpenedSaysWhy) {
  TempDir dir;
  const std::string devices = testing_support::DevicesFile(dir, "bus.json", 2);
  ExpectOneLine(UnderStandIn(devices, "USB1", "access"),
                {"cannot open a session on USB1 (adapter type 6)", "USB1 (DS2490 on bus 1, device 4)",
                 "permission denied (libusb_open: Access denied (insufficient permissions))",
                 "add the user to the plugdev group (sudo adduser $USER plugdev), then log in again",
                 "udev rule"});
  ExpectOneLine(UnderStandIn(devices, "USB1", "busy"),
                {": the port is in use by another program; ",
                 "another program holds the adapter (libusb_claim_interface: Resource busy)", "owserver"});
  ExpectOneLine(UnderStandIn(devices, "USB2", nullptr),
                {"cannot open a session on USB2", "USB2 is not there; the DS2490 adapters are USB1"});
  // With it all as it should be, it reads.
  const Result ok = UnderStandIn(devices, "USB1", nullptr);
  EXPECT_EQ(ok.code, 0) << ok.err;
  for (const char* gone : {"is gone", "Permission denied"})
    EXPECT_EQ(ok.err.find(gone), std::string::npos) << ok.err;
}
#endif

TEST(ToolFirstHour, PortNamesTheAdapterDoesNotTakeAreUsageErrorsNamingTheRightOne) {
  const Result usb_as_serial = Tool({"read", "--adapter", "passive", "--port", "USB1"});
  EXPECT_EQ(usb_as_serial.code, 2);
  EXPECT_NE(usb_as_serial.err.find("--adapter passive takes a COM name or a device path as --port"), std::string::npos)
      << usb_as_serial.err;
  EXPECT_NE(usb_as_serial.err.find("(a USB adapter: --adapter usb)"), std::string::npos) << usb_as_serial.err;
  const Result i2c = Tool({"read", "--adapter", "ds2482", "--port", "/dev/i2c-1:0x30"});
  EXPECT_EQ(i2c.code, 2);
  EXPECT_NE(i2c.err.find("0x18 to 0x1F"), std::string::npos) << i2c.err;
  const Result unnumbered = Tool({"read", "--port", "COM250"});
  ExpectOneLine(unnumbered, {"no serial port has the number 250"});
}

}  // namespace
