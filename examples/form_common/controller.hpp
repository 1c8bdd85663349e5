// What a form does between its widgets and the station, the same on every
// window system: which bus a session opens on, the status line's texts,
// the measurements --shot takes and what it prints at the end. A form
// owns the widgets and tells the controller what they show; the
// controller owns the station.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "form_common/station.hpp"

namespace qvform {

// How long --shot may take before the form gives up.
inline constexpr int kShotDeadlineMs = 60000;

// The bus the form's choices name: the simulated one (the device file of
// the command line, or the demonstration set) or an adapter on a port.
struct BusChoice {
  bool simulated = true;
  std::string port;
  int adapter = 0;
  bool relaxed = false;
};

// The status line's parts: the session and what it is doing, Busy, TMEXerror.
using StatusTexts = std::array<std::string, 3>;

class Controller {
 public:
  // Every callback runs on the main thread, from the event loop.
  struct View {
    std::function<void()> refresh;  // the state, Busy, the error or the progress changed
    std::function<void(const std::vector<SensorRow>&)> sensors;
    std::function<void(std::chrono::system_clock::time_point, const std::vector<Reading>&)> measured;  // or empty
    // --shot: the last measurement has ended; take the picture once the
    // window has painted what it brought.
    std::function<void()> shot_due;
  };

  // program: the name the messages on standard error start with.
  Controller(std::string program, const Options& options, LoopProbe& probe, View view);

  Station& station() { return station_; }
  const Station& station() const { return station_; }

  // Opens a session on the bus chosen; false with the error in
  // last_error().
  bool open_session(const BusChoice& bus);
  const std::string& last_error() const { return last_error_; }
  // Starts a measurement unless one is running or no session is open.
  void start_measurement();

  StatusTexts status() const;

  // --shot: opens the session on the bus chosen and starts measuring,
  // with the probe recording; false (said on standard error) when the
  // session does not open.
  bool start_shot(const BusChoice& bus);
  void shot_timed_out() const;
  // Prints what the window shows (its rows and status line) and the
  // probe's figures; the program's exit status: 0 when the picture was
  // saved and a temperature shown.
  int finish_shot(const std::vector<SensorRow>& shown, const StatusTexts& status, int width, int height,
                  bool saved) const;

 private:
  void operation_ended();

  std::string program_;
  Options options_;
  LoopProbe& probe_;
  View view_;
  Station station_;
  std::string progress_;
  std::string last_error_;
  int measurements_ = 0;
};

// The rows of a table of `count` rows whose cells (index, ROM, name,
// temperature) are read with `cell(row, column)`.
std::vector<SensorRow> rows_shown(int count, const std::function<std::string(int, int)>& cell);

}  // namespace qvform
