// What the serial transport leaves with the port names when a device does
// not open (no node, not a terminal, held by another program, refused to
// this user), and the detection of the adapter on a port: a virtual
// DS2480B, a virtual passive adapter and a terminal nobody answers on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/virtual_adapter.hpp"

namespace {

namespace fs = std::filesystem;
using onewire::OpenProblem;
using onewire::PortForm;

class SerialOpenFailures : public ::testing::Test {
 protected:
  SerialOpenFailures() {
    char tmpl[] = "/tmp/qvds-open-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  ~SerialOpenFailures() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Opens `path` as the serial transport does; its result code.
  static int open_port(const std::string& path) {
    auto port = onewire::serial::make_serial_port(path);
    const int r = port->open();
    port->close();
    return r;
  }
  std::string dir_;
};

TEST_F(SerialOpenFailures, EachRefusalIsKeptWithItsCallAndTheSystemsWords) {
  const std::string missing = dir_ + "/ttyMISSING";
  EXPECT_EQ(open_port(missing), onewire::kErrPortUnavailable);
  auto f = onewire::last_open_failure(missing);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->problem, OpenProblem::kAbsent);
  EXPECT_EQ(f->call, "open");
  EXPECT_EQ(f->code, ENOENT);

  const std::string file = dir_ + "/not-a-tty";
  std::ofstream(file) << "x";
  EXPECT_EQ(open_port(file), onewire::kErrPortUnavailable);
  f = onewire::last_open_failure(file);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->problem, OpenProblem::kNotAdapter);
  EXPECT_NE(f->text.find("not a serial port"), std::string::npos) << f->text;

  // A terminal another program holds (its lock, as our own sessions take).
  int master = -1, slave = -1;
  char name[256] = "";
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(open_port(name), onewire::kErrPortBusy);
  f = onewire::last_open_failure(name);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->problem, OpenProblem::kBusy);
  EXPECT_EQ(f->call, "flock");
  // Let go, and the next open succeeds and clears what was kept.
  flock(slave, LOCK_UN);
  EXPECT_EQ(open_port(name), 1);
  EXPECT_FALSE(onewire::last_open_failure(name));
  close(slave);
  close(master);
}

TEST_F(SerialOpenFailures, APortThisUserMayNotOpenIsKeptAsDenied) {
  // As root nothing is refused: the open runs in a child that has given
  // root up. Its verdict comes back as the exit status.
  int master = -1, slave = -1;
  char name[256] = "";
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_EQ(chmod(name, 0600), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    } else if (chmod(name, 0) != 0) {
      _exit(11);
    }
    if (open_port(name) != onewire::kErrPortUnavailable) _exit(12);
    const auto f = onewire::last_open_failure(name);
    if (!f) _exit(13);
    if (f->problem != OpenProblem::kDenied || f->call != "open" || f->code != EACCES) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(name, 0600);
  close(slave);
  close(master);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: setuid, 11: chmod, 12: the open's code, 13: nothing kept, 14: not denied";
}

class Detection : public ::testing::Test {
 protected:
  // A virtual adapter of `kind` and the port number its path resolves to.
  int start(onewire::sim::AdapterKind kind) {
    onewire::sim::VirtualAdapterOptions o;
    o.kind = kind;
    adapter_ = std::make_unique<onewire::sim::VirtualAdapter>(std::make_shared<onewire::sim::SimBus>(), o);
    if (adapter_->start() != 1) return 0;
    const auto r = onewire::resolve_port(adapter_->path(), PortForm::kSerial);
    return r.port ? r.port->number : 0;
  }
  void TearDown() override {
    if (adapter_) adapter_->stop();
    for (int n = 1; n <= onewire::kMaxPortNumber; ++n) onewire::unpin_port(n);
  }
  std::unique_ptr<onewire::sim::VirtualAdapter> adapter_;
};

TEST_F(Detection, ADs2480bIsFoundFirstAndAPassiveAdapterAfterIt) {
  std::int16_t error = 0;
  const int ds = start(onewire::sim::AdapterKind::kDs2480b);
  ASSERT_NE(ds, 0);
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, ds, {}, error), onewire::kAdapterTypeDs2480b);
  EXPECT_EQ(error, 0);
  // Without the DS2480B to try, nothing else answers there: the passive
  // adapter's reset does not pass on a DS2480B.
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, ds, {}, error, onewire::kAdapterTypeDs2480b), 0);
  EXPECT_EQ(error, onewire::kErrAdapterNoResponse);
  adapter_->stop();

  const int passive = start(onewire::sim::AdapterKind::kPassive);
  ASSERT_NE(passive, 0);
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, passive, {}, error), onewire::kAdapterTypePassive);
  // And a passive adapter is no DS2480B.
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, passive, {}, error, onewire::kAdapterTypePassive), 0);
}

TEST_F(Detection, ATerminalNobodyAnswersOnAndAPortNotThereAreNoAdapter) {
  int master = -1, slave = -1;
  char name[256] = "";
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  const auto silent = onewire::resolve_port(name, PortForm::kSerial);
  ASSERT_TRUE(silent.port);
  std::int16_t error = 0;
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, silent.port->number, {}, error), 0);
  EXPECT_EQ(error, onewire::kErrAdapterNoResponse);
  close(slave);
  close(master);

  const auto missing = onewire::resolve_port("/nonexistent/ttyQVDS", PortForm::kSerial);
  ASSERT_TRUE(missing.port);
  EXPECT_EQ(onewire::detect_adapter(PortForm::kSerial, missing.port->number, {}, error), 0);
  EXPECT_EQ(error, onewire::kErrPortUnavailable) << "the port itself failed, and that is what is said";
}

}  // namespace
