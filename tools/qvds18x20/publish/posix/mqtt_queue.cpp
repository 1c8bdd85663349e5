// The MQTT publisher's queue: what the main thread hands over, what the
// connection thread has delivered, and what is said at the end about
// what was not. No libmosquitto call here (mqtt_connection.cpp has them).
#include <algorithm>
#include <cstdio>
#include <set>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/report.hpp"
#include "qvds18x20/publish/posix/mqtt_core.hpp"

namespace qvtool::mqtt {
namespace {

// A connection thread that is still busy this long after it was told to
// stop is inside a call that does not return soon (a name lookup that
// hangs): the program goes on without it.
constexpr auto kStopDeadline = std::chrono::seconds(2);

}  // namespace

std::vector<MqttMessage> MqttCore::remember(const Measurement& m) {
  const Remembered before = memory_;
  if (!reconciled_) {
    reconciled_ = true;
    std::string trouble;
    const Remembered earlier = memory_file_.load(trouble);
    if (!trouble.empty()) say(Severity::kWarning, "MQTT memory " + trouble + "; starting afresh");
    const MqttPlan plan{target_.prefix, o_.mqtt_discovery, o_.mqtt_discovery_prefix};
    Reconciliation r = reconcile(earlier, m.rows, plan);
    const auto roms = [](const std::vector<std::string>& list) {
      std::string text;
      for (const auto& rom : list) text += (text.empty() ? "" : ", ") + rom;
      return text;
    };
    if (!r.gone.empty())
      say(Severity::kWarning, "warning: " + std::to_string(r.gone.size()) + " sensor(s) published to " +
                                  target_.where() + "/" + shorten(target_.prefix) +
                                  " in an earlier run are not on the bus (" + roms(r.gone) +
                                  "): their availability is offline");
    if (!r.removed.empty())
      say(Severity::kNotice, std::to_string(r.removed.size()) +
                                 " sensor(s) removed from the configuration and not on the bus (" + roms(r.removed) +
                                 "): their retained MQTT topics are cleared");
    memory_ = std::move(r.now);
    if (!r.clear.empty()) {
      // An empty retained message clears a topic; they go before this
      // measurement, which may use some of them again.
      Batch clearing;
      std::lock_guard lock(mutex_);
      for (const auto& topic : r.clear) clearing.messages.push_back({{topic, "", true}, ++last_id_});
      clearing_id_ = last_id_;
      queue_.push_back(std::move(clearing));
    } else {
      clearing_saved_ = true;
    }
  }
  std::vector<MqttMessage> offline;
  std::set<std::string> here;
  for (const auto& r : m.rows)
    if (r.thermometer) {
      here.insert(r.romstr);
      memory_.sensors[r.romstr] = {key_of(r), r.configured};
    }
  for (const auto& [rom, sensor] : memory_.sensors)
    if (here.count(rom) == 0) offline.push_back(offline_message(target_.prefix, sensor.key));
  const auto same = [](const Remembered& a, const Remembered& b) {
    if (a.discovery_prefix != b.discovery_prefix || a.to_clear != b.to_clear || a.sensors.size() != b.sensors.size())
      return false;
    for (const auto& [rom, s] : a.sensors) {
      const auto it = b.sensors.find(rom);
      if (it == b.sensors.end() || it->second.key != s.key || it->second.configured != s.configured) return false;
    }
    return true;
  };
  bool cleared_now = false;
  {
    std::lock_guard lock(mutex_);
    cleared_now = cleared_ && !clearing_saved_;
  }
  if (cleared_now || !same(before, memory_)) save_memory();
  return offline;
}

std::string MqttCore::key_of(const SensorRow& row) const {
  // A configured sensor on no bus keeps the bus level it had.
  if (const auto it = memory_.sensors.find(row.romstr); it != memory_.sensors.end())
    return sensor_key(row, it->second.key);
  return sensor_key(row);
}

void MqttCore::save_memory() {
  {
    std::lock_guard lock(mutex_);
    if (cleared_ && !clearing_saved_) {
      memory_.to_clear.clear();
      clearing_saved_ = true;
    }
  }
  std::string trouble;
  if (!memory_file_.save(memory_, trouble) && !memory_trouble_said_) {
    memory_trouble_said_ = true;
    say(Severity::kWarning, "cannot remember the sensors published to MQTT (" + trouble +
        "): a later run cannot clear the topics of a sensor renamed or removed");
  }
}

void MqttCore::publish(const Measurement& m) {
  std::vector<MqttMessage> offline = remember(m);
  Batch batch;
  std::lock_guard lock(mutex_);
  if (o_.mqtt_discovery) {
    // The buses' devices first: the sensors' devices hang off them.
    for (const auto& bus : m.buses) {
      if (!announced_.insert("bus:" + bus.key).second) continue;
      discovery_.push_back(bus_discovery_message(o_.mqtt_discovery_prefix, target_.prefix, bus));
      batch.messages.push_back({discovery_.back(), ++last_id_});
    }
    for (const auto& r : m.rows) {
      if (!r.celsius || !announced_.insert(r.romstr).second) continue;
      discovery_.push_back(
          discovery_message(o_.mqtt_discovery_prefix, target_.prefix, r, continuous(), o_.expire_after));
      batch.messages.push_back({discovery_.back(), ++last_id_});
      discovery_.push_back(alarm_discovery_message(o_.mqtt_discovery_prefix, target_.prefix, r, continuous()));
      batch.messages.push_back({discovery_.back(), ++last_id_});
    }
  }
  for (auto& message : offline) batch.messages.push_back({std::move(message), ++last_id_});
  for (auto& message : measurement_messages(target_.prefix, m, [this](const SensorRow& r) { return key_of(r); }))
    batch.messages.push_back({std::move(message), ++last_id_});
  queue_.push_back(std::move(batch));
  if (continuous() && queue_.size() > static_cast<std::size_t>(o_.mqtt_queue)) drop_oldest();
  wake_.notify_all();
}

void MqttCore::finish() {
  finish_delivery();
  // The clearings the broker took need not be sent again.
  bool save = false;
  {
    std::lock_guard lock(mutex_);
    save = cleared_ && !clearing_saved_;
  }
  if (save) save_memory();
  say_what_was_lost();
}

void MqttCore::finish_delivery() {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(o_.mqtt_grace));
  finishing_ = true;
  finish_deadline_ = deadline;
  if (continuous() && !queue_.empty() && !connected_)
    say(Severity::kNotice, "trying the MQTT broker at " + target_.where() + " once more for up to " + grace_text() +
                               " (" + std::to_string(queue_.size()) + " measurements queued)");
  wake_.notify_all();
  // The thread keeps to the deadline itself; the margin covers one turn
  // of its loop.
  done_.wait_until(lock, deadline + std::chrono::milliseconds(500), [&] { return ended_; });
  if (!ended_) {
    stop_ = true;
    wake_.notify_all();
  }
}

void MqttCore::say_what_was_lost() {
  std::lock_guard lock(mutex_);
  const std::size_t left = queue_.size() + dropped_;
  const std::string why = failure_.empty() ? "no answer within " + grace_text() : failure_;
  if (!continuous()) {
    if (left > 0) throw Failure("cannot publish to the MQTT broker at " + target_.where() + ": " + why);
    if (refused_ > 0)
      throw Failure("cannot publish to the MQTT broker at " + target_.where() + ": the MQTT library refused " +
                    std::to_string(refused_) + " message(s) (named above)");
    return;
  }
  std::string lost;
  if (left > 0)
    lost = std::to_string(left) + " measurements not delivered to the MQTT broker at " + target_.where() +
           (queue_.empty() ? std::string(" (the queue was full)") : " (" + why + ")");
  if (refused_ > 0)
    lost += (lost.empty() ? "" : "; ") + std::to_string(refused_) +
            " messages refused by the MQTT library (named above)";
  if (!lost.empty()) throw Failure(lost);
}

void MqttCore::stop() {
  std::lock_guard lock(mutex_);
  stop_ = true;
  wake_.notify_all();
}

bool MqttCore::wait_ended() {
  std::unique_lock lock(mutex_);
  return done_.wait_for(lock, kStopDeadline, [&] { return ended_; });
}

std::string MqttCore::grace_text() const {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", o_.mqtt_grace);
  return text;
}

void MqttCore::drop_oldest() {
  const auto it = std::find_if(queue_.begin(), queue_.end(), [](const Batch& b) {
    return std::none_of(b.messages.begin(), b.messages.end(), [](const Pending& p) { return p.mid >= 0; });
  });
  if (it == queue_.end()) return;
  queue_.erase(it);
  if (dropped_++ == 0)
    say(Severity::kWarning,
        "MQTT queue full (" + std::to_string(o_.mqtt_queue) + " measurements): dropping the oldest");
}

void MqttCore::say(Severity severity, const std::string& line) { report(severity, line); }

std::size_t MqttCore::queued() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool MqttCore::past_deadline(Clock::time_point own) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  return stop_ || now > own || (finishing_ && now > finish_deadline_);
}

void MqttCore::acknowledged(int mid) {
  std::lock_guard lock(mutex_);
  for (auto& batch : queue_)
    for (auto& p : batch.messages)
      if (p.mid == mid) p.acked = true;
  pop_delivered();
}

void MqttCore::pop_delivered() {
  while (!queue_.empty() && std::all_of(queue_.front().messages.begin(), queue_.front().messages.end(),
                                        [](const Pending& p) { return p.acked; })) {
    for (const Pending& p : queue_.front().messages) cleared_ = cleared_ || p.id == clearing_id_;
    queue_.pop_front();
  }
}

}  // namespace qvtool::mqtt
