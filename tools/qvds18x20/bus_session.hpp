// One bus, one component, one session: what read, list, watch and version
// open. The session picks the driver (the simulated bus or the built-in
// adapters), gives the port a number the component can take, and runs the
// component's operations with a deadline.
#pragma once

#include <memory>
#include <string>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/driver.hpp"
#include "onewire/port_names.hpp"

namespace qvtool {

using Component = TQvDs18x20;

// What the command line chose, checked except for the port.
struct BusChoice {
  std::string port;  // as given (onewire/port_names.hpp); empty: simulated bus on COM1
  int adapter = 1;   // a type number, or kAdapterAuto (adapter_options.hpp)
  bool adapter_given = false;
  TLanSpeed speed = lsNormal;
  bool sim = false;      // --sim given
  std::string sim_file;  // --sim FILE
  int baud = 0;          // DS2480B serial rate after detection; 0: the link chooses
};

// True for a ROM, as the component prints it, of a DS18x20 family.
bool is_thermometer_rom(const std::string& romstr);

// The component's last failure in words: what its result code means. A
// message leads with it and ends with driver_text(), the component's own
// text (" [TMExtendedStartSession error: -3]"; "" when it has none).
std::string explain(const Component& c);
std::string driver_text(const Component& c);

// Ctrl-C and termination requests: from the first BusSession on, they
// set a flag that read and watch look at. An operation in progress gets a
// second to end; one stuck in the adapter is abandoned with the port's
// settings put back.
bool interrupt_requested();
// Sets that flag from now on, for a command that opens no BusSession.
void catch_interrupts();

class BusSession {
 public:
  // Throws UsageError for a port the adapter takes no port by, Failure
  // for a missing device or an adapter --adapter auto does not find,
  // DeviceFileError for a bad --sim file.
  explicit BusSession(const BusChoice& choice);
  ~BusSession();
  BusSession(const BusSession&) = delete;
  BusSession& operator=(const BusSession&) = delete;

  Component& component() { return *c_; }
  const std::string& port_label() const { return port_label_; }
  int adapter() const { return choice_.adapter; }
  // The serial rate of the open session's adapter; 0 without one.
  int serial_baud() const;

  // Opens the session; throws Failure when it does not open.
  void open();

  // Starts an operation and serves the main thread until its worker ends.
  // A worker that does not end within the deadline, or within a second of
  // an interrupt, ends the process: with kExitFailed for the deadline,
  // with `interrupted_exit_code` for an interrupt.
  void run(void (Component::*starter)());
  void set_interrupted_exit_code(int code) { interrupted_exit_code_ = code; }

  // More devices are on the bus than the component holds.
  bool more_devices() const { return c_->FSensorOverflow; }

  // One measurement: true when at least one sensor was read; `error` says
  // why not otherwise, and where. Temperatures of sensors not read in it
  // are empty.
  bool measure(std::string& error);

  // Finds the devices on the bus; the error when none were found, else "".
  std::string list();

  // The simulated bus, not a real one.
  bool simulated() const { return choice_.port.empty() || choice_.sim; }
  // The first time the listed sensors hold parasite-powered ones that
  // the adapter cannot feed: a warning that names them; "" otherwise and
  // every time after.
  std::string unfed_warning();

 private:
  void resolve_port();
  void install_driver();
  [[noreturn]] void abandon(const std::string& why, int code);
  // What went wrong with the port itself, when the system can tell.
  std::string port_trouble() const;
  // Why the thermometers of the list were not read, each reason with the
  // sensors it holds for.
  std::string reasons_not_read() const;
  // The built-in driver's options for these choices.
  onewire::BuiltinDriverOptions builtin_options() const;

  BusChoice choice_;
  onewire::PortName port_;
  std::string com_name_;
  std::string port_label_;
  std::shared_ptr<onewire::BusDriver> builtin_;
  std::unique_ptr<Component> c_;
  int interrupted_exit_code_ = 1;
  bool unfed_warned_ = false;
};

}  // namespace qvtool
