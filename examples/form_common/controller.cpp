// The forms' common course of events: the station's callbacks turned into
// the view's, the session's bus, the status line and the --shot run.
#include "form_common/controller.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qvform {

Controller::Controller(std::string program, const Options& options, LoopProbe& probe, View view)
    : program_(std::move(program)),
      options_(options),
      probe_(probe),
      view_(std::move(view)),
      station_(Station::Events{[this] { view_.refresh(); },
                               [this](const std::vector<SensorRow>& rows) { view_.sensors(rows); },
                               view_.measured,
                               [this](const std::string& what) {
                                 progress_ = what;
                                 view_.refresh();
                               },
                               [this] { operation_ended(); }}) {}

bool Controller::open_session(const BusChoice& bus) {
  std::string error = bus.simulated ? station_.use_simulated_bus(options_.sim_file)
                                    : station_.use_adapter(bus.port, bus.adapter, bus.relaxed, options_.baud);
  if (error.empty()) error = station_.open();
  last_error_ = error;
  view_.refresh();
  return error.empty();
}

void Controller::start_measurement() {
  if (station_.measure()) ++measurements_;
}

StatusTexts Controller::status() const {
  std::string session = station_.session_text();
  if (!progress_.empty()) session += ", " + progress_;
  const std::string error = station_.error_text();
  return {session, station_.busy() ? "Busy: yes" : "Busy: no",
          "TMEXerror: " + (error.empty() ? std::string("none") : error)};
}

void Controller::operation_ended() {
  progress_.clear();
  view_.refresh();
  if (options_.shot.empty()) return;
  if (measurements_ < options_.measurements) {
    start_measurement();
    return;
  }
  probe_.stop();
  view_.shot_due();
}

bool Controller::start_shot(const BusChoice& bus) {
  if (!open_session(bus)) {
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), last_error_.c_str());
    return false;
  }
  probe_.start();
  start_measurement();
  return true;
}

void Controller::shot_timed_out() const {
  std::fprintf(stderr, "%s: no result within %d s\n", program_.c_str(), kShotDeadlineMs / 1000);
}

int Controller::finish_shot(const std::vector<SensorRow>& shown, const StatusTexts& status, int width, int height,
                            bool saved) const {
  const bool any_read = std::any_of(shown.begin(), shown.end(), [](const SensorRow& r) { return !r.temp.empty(); });
  const std::string line = status[0] + " | " + status[1] + " | " + status[2];
  std::fputs(shot_report(shown, line, probe_, measurements_, width, height).c_str(), stdout);
  std::fflush(stdout);
  if (!saved) std::fprintf(stderr, "%s: cannot write %s\n", program_.c_str(), options_.shot.c_str());
  return saved && any_read ? 0 : 1;
}

std::vector<SensorRow> rows_shown(int count, const std::function<std::string(int, int)>& cell) {
  std::vector<SensorRow> rows;
  for (int r = 0; r < count; ++r)
    rows.push_back(SensorRow{std::atoi(cell(r, 0).c_str()), cell(r, 1), cell(r, 2), cell(r, 3)});
  return rows;
}

}  // namespace qvform
