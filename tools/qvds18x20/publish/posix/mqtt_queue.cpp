// The MQTT publisher's queue: what the main thread hands over, what the
// connection thread has delivered, and what is said at the end about
// what was not. No libmosquitto call here (mqtt_connection.cpp has them).
#include <algorithm>
#include <cstdio>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/posix/mqtt_core.hpp"

namespace qvtool::mqtt {
namespace {

// A connection thread that is still busy this long after it was told to
// stop is inside a call that does not return soon (a name lookup that
// hangs): the program goes on without it.
constexpr auto kStopDeadline = std::chrono::seconds(2);

}  // namespace

void MqttCore::publish(const Measurement& m) {
  Batch batch;
  std::lock_guard lock(mutex_);
  if (o_.mqtt_discovery) {
    // The bus's device first: the sensors' devices hang off it.
    if (announced_.insert("").second) {
      discovery_.push_back(bus_discovery_message(o_.mqtt_discovery_prefix, target_.prefix, source_));
      batch.messages.push_back({discovery_.back(), ++last_id_});
    }
    for (const auto& r : m.rows) {
      if (!r.celsius || !announced_.insert(r.romstr).second) continue;
      discovery_.push_back(discovery_message(o_.mqtt_discovery_prefix, target_.prefix, r, continuous()));
      batch.messages.push_back({discovery_.back(), ++last_id_});
    }
  }
  for (auto& message : measurement_messages(target_.prefix, m))
    batch.messages.push_back({std::move(message), ++last_id_});
  queue_.push_back(std::move(batch));
  if (continuous() && queue_.size() > static_cast<std::size_t>(o_.mqtt_queue)) drop_oldest();
  wake_.notify_all();
}

void MqttCore::finish() {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(o_.mqtt_grace));
  finishing_ = true;
  finish_deadline_ = deadline;
  if (continuous() && !queue_.empty() && !connected_)
    say("trying the MQTT broker at " + target_.where() + " once more for up to " + grace_text() + " (" +
        std::to_string(queue_.size()) + " measurements queued)");
  wake_.notify_all();
  // The thread keeps to the deadline itself; the margin covers one turn
  // of its loop.
  done_.wait_until(lock, deadline + std::chrono::milliseconds(500), [&] { return ended_; });
  if (!ended_) {
    stop_ = true;
    wake_.notify_all();
  }
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
    say("MQTT queue full (" + std::to_string(o_.mqtt_queue) + " measurements): dropping the oldest");
}

void MqttCore::say(const std::string& line) { std::fprintf(stderr, "qvds18x20: %s\n", line.c_str()); }

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
                                        [](const Pending& p) { return p.acked; }))
    queue_.pop_front();
}

}  // namespace qvtool::mqtt
