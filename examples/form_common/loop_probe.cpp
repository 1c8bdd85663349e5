// The loop probe, which times how long the event loop kept input waiting,
// and the report --shot prints.
#include "form_common/station.hpp"

#include <algorithm>
#include <cstdio>

namespace qvform {

void LoopProbe::start() {
  // Started from inside a handler: that handler's event and stretch count
  // from here.
  const auto now = Clock::now();
  recording_ = true;
  stopping_ = false;
  in_stretch_ = true;
  in_event_ = true;
  stretch_start_ = now;
  event_start_ = now;
  longest_gap_ = {};
  longest_stretch_ = {};
  events_ = 0;
}

void LoopProbe::stop() {
  if (!in_stretch_) {
    recording_ = false;
    return;
  }
  // Stopped from inside a handler: what the loop still does before it
  // waits again (a repaint, say) belongs to the measurement too.
  stopping_ = true;
}

void LoopProbe::handling() {
  if (!recording_) return;
  const auto now = Clock::now();
  ++events_;
  if (in_event_) longest_gap_ = std::max(longest_gap_, now - event_start_);
  if (!in_stretch_) {
    in_stretch_ = true;
    stretch_start_ = now;
  }
  in_event_ = true;
  event_start_ = now;
}

void LoopProbe::waiting() {
  if (!recording_ || !in_stretch_) return;
  const auto now = Clock::now();
  if (in_event_) longest_gap_ = std::max(longest_gap_, now - event_start_);
  longest_stretch_ = std::max(longest_stretch_, now - stretch_start_);
  in_event_ = false;
  in_stretch_ = false;
  if (stopping_) {
    stopping_ = false;
    recording_ = false;
  }
}

double LoopProbe::longest_gap_ms() const { return std::chrono::duration<double, std::milli>(longest_gap_).count(); }

double LoopProbe::longest_stretch_ms() const {
  return std::chrono::duration<double, std::milli>(longest_stretch_).count();
}

std::string shot_report(const std::vector<SensorRow>& rows, const std::string& status, const LoopProbe& probe,
                        int measurements, int width, int height) {
  std::string out;
  char line[256];
  for (const SensorRow& r : rows) {
    std::snprintf(line, sizeof line, "sensor %d %s %s %s\n", r.index, r.rom.c_str(), r.name.c_str(),
                  r.temp.empty() ? "-" : r.temp.c_str());
    out += line;
  }
  out += "status: " + status + "\n";
  std::snprintf(line, sizeof line, "measurements: %d\nwindow: %dx%d\n", measurements, width, height);
  out += line;
  std::snprintf(line, sizeof line,
                "longest gap between two handled events while measuring: %.1f ms "
                "(%ld events handled; longest busy stretch %.1f ms)\n",
                probe.longest_gap_ms(), probe.events(), probe.longest_stretch_ms());
  out += line;
  return out;
}

}  // namespace qvform
