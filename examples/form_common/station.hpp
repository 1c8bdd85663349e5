// What both desktop forms share: the command line, the bus the component
// talks to, and the component itself behind a small interface that says
// nothing of the run-time layer, so that each form's own files deal with
// their window system alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvform {

// What the command line asked for.
struct Options {
  bool sim = true;       // the simulated bus (the default without --port)
  std::string sim_file;  // --sim FILE: a device file; empty: the demonstration bus
  std::string port;      // --port: any name the adapter takes (onewire/port_names.hpp)
  int adapter = 1;       // a type of the adapter table; the component's default, passive
  bool relaxed = false;  // --speed relaxed
  int baud = 115200;     // DS2480B rate after detection
  int interval = 0;      // --interval N: measure every N seconds from the start
  std::string shot;      // --shot FILE: measure, save the window as PNG, print, exit
  int measurements = 1;  // --measurements N: how many measurements --shot takes
  bool help = false;
};

// Parses the arguments after the program name; the error in words, or "".
std::string parse_options(const std::vector<std::string>& args, Options& options);
std::string usage(const std::string& program);
// The command line of a form's main(): the options, or the exit status
// when the program ends at once (the error and the usage on standard
// error: 2; --help, the usage on standard output: 0).
std::optional<int> read_command_line(int argc, char** argv, const std::string& program, Options& options);

// The adapter types the forms offer, in the order of their lists: the
// rows of the adapter table this build has.
struct AdapterChoice {
  int type;
  const char* label;
};
const std::vector<AdapterChoice>& adapter_choices();

struct SensorRow {
  int index = 0;
  std::string rom;
  std::string name;
  std::string temp;  // empty: not read in the last measurement
};

// One temperature of one measurement, for the plot.
struct Reading {
  int index = 0;  // in the list view
  std::string rom;
  std::string name;
  double celsius = 0;
};

// How long the event loop kept input waiting while recording. The loop
// calls handling() when it takes an event (the outermost handler, not the
// events that handler sends on) and waiting() before it blocks for more.
// The gap between two handled events is the time from taking one to taking
// the next (or to waiting): the longest an input event that arrived just
// after the first could have waited. A busy stretch is the whole time from
// leaving the wait to waiting again, over several events.
class LoopProbe {
 public:
  using Clock = std::chrono::steady_clock;
  void start();
  void stop();
  void handling();
  void waiting();
  bool recording() const { return recording_; }
  double longest_gap_ms() const;
  double longest_stretch_ms() const;
  long events() const { return events_; }

 private:
  bool recording_ = false;
  bool stopping_ = false;
  bool in_stretch_ = false;
  bool in_event_ = false;
  Clock::time_point stretch_start_{};
  Clock::time_point event_start_{};
  Clock::duration longest_gap_{};
  Clock::duration longest_stretch_{};
  long events_ = 0;
};

// The component, its session and its bus, driven from the main thread.
// Every callback runs on the main thread, out of the event loop that
// serves the component's queue.
class Station {
 public:
  struct Events {
    std::function<void()> changed;  // session state, Busy or the error changed
    std::function<void(const std::vector<SensorRow>&)> sensors;  // the list view's rows
    std::function<void(std::chrono::system_clock::time_point, const std::vector<Reading>&)> measured;
    std::function<void(const std::string&)> progress;  // converting, reading
    std::function<void()> operation_end;
  };

  explicit Station(Events events);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // The serial ports the component's own lister finds.
  std::vector<std::string> ports();

  // Points the component at the simulated bus (a device file or the
  // demonstration set) or at an adapter on a port. Only while no session
  // is open. The error in words, or "".
  std::string use_simulated_bus(const std::string& device_file);
  std::string use_adapter(const std::string& port, int adapter, bool relaxed, int baud);

  // Opens the session; the error in words, or "".
  std::string open();
  void close();
  // Start an operation on the worker; false when one is running or no
  // session is open.
  bool enumerate();
  bool measure();

  bool session_active() const;
  bool busy() const;
  bool working() const;
  std::string error_text() const;  // TMEXerror
  std::int32_t last_result() const;
  // "session open on COM1 (adapter type 5)", "no session", ...
  std::string session_text() const;
  std::string driver_text() const;
  std::string bus_label() const { return bus_label_; }
  std::vector<SensorRow> rows() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string bus_label_;
};

// Writes a top-down 32-bit BGRA picture (as Windows DIBs and most frame
// buffers hold it) as an RGB PNG; false when the file cannot be written.
bool write_png(const std::string& path, int width, int height, const std::uint8_t* bgra, int stride);

// What --shot prints, one line each, so that a test can read what the
// window showed: the list view's rows, the status line and the probe.
std::string shot_report(const std::vector<SensorRow>& rows, const std::string& status, const LoopProbe& probe,
                        int measurements, int width, int height);

}  // namespace qvform
