// The MQTT publisher's state. One thread of ours owns the connection and
// every libmosquitto call; the main thread only queues measurements. The
// queue, not libmosquitto, holds what is not yet acknowledged: each
// connection starts from a fresh client and sends the queue from its
// front, so a broker that went away gets everything again, in order.
//
// Nothing in the queue may hold up what follows it: a message the
// library refuses (a topic it will not take) is dropped and named, not
// offered again.
//
// mqtt_queue.cpp keeps the queue and says what did not go out;
// mqtt_connection.cpp is the connection thread and its libmosquitto calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qvds18x20/publish/mqtt_memory.hpp"
#include "qvds18x20/publish/mqtt_messages.hpp"
#include "qvds18x20/publish/mqtt_url.hpp"
#include "qvds18x20/publish/publish.hpp"
#include "qvds18x20/report.hpp"

struct mosquitto;

namespace qvtool::mqtt {

using Clock = std::chrono::steady_clock;

struct Pending {
  MqttMessage message;
  std::uint64_t id = 0;  // ours, for the whole run
  int mid = -1;          // libmosquitto's on this connection; -1: not sent on it
  bool acked = false;    // acknowledged, or refused and dropped
};
constexpr int kSending = 0;  // libmosquitto's ids start at 1
struct Batch {
  std::vector<Pending> messages;
};

// Everything the connection thread and the main thread share; the
// thread holds it too, so that a thread left behind (kStopDeadline)
// never touches freed memory.
class MqttCore {
 public:
  MqttCore(const PublishOptions& o, MqttTarget target, std::vector<Source> buses, Lifetime lifetime)
      : o_(o),
        target_(std::move(target)),
        buses_(std::move(buses)),
        lifetime_(lifetime),
        memory_file_(state_directory(), target_.where() + "/" + target_.prefix) {}

  void publish(const Measurement& m);

  // Waits up to the grace for the queue to go out, then says what did
  // not: a Failure for either lifetime, so that the exit status tells.
  void finish();

  void stop();

  // True when the thread ended within kStopDeadline of stop().
  bool wait_ended();

  // The connection thread: connects, delivers, retries until stopped or
  // finished.
  void run();

 private:
  bool continuous() const { return lifetime_ == Lifetime::kContinuous; }

  std::string grace_text() const;

  // finish()'s parts: the wait for the queue to go out, and the Failure
  // that says what did not.
  void finish_delivery();
  void say_what_was_lost();

  // The main thread's part of a measurement: what earlier runs published
  // reconciled with the first one (its clearings queued first), the
  // sensors it publishes remembered, and the availability "offline" of
  // every remembered sensor it does not hold.
  std::vector<MqttMessage> remember(const Measurement& m);
  // The memory written again, without the topics whose clearing the
  // broker took; said once when it cannot be.
  void save_memory();
  // The topic levels of a row's sensor: sensor_key, or what the memory
  // has for a configured sensor on no bus.
  std::string key_of(const SensorRow& row) const;

  // The oldest measurement no message of which is on the wire.
  void drop_oldest();

  void say(Severity severity, const std::string& line);

  void refused(const std::string& topic, int rc);

  std::size_t queued();

  // When the current attempt must give up: its own answer deadline, or
  // the end of the grace once the command is ending.
  bool past_deadline(Clock::time_point own);

  // One attempt: a fresh client, the connection, the broker's answer.
  bool connect(std::string& why);

  // A discovery config the library refuses is not offered again.
  void forget_discovery(const std::string& topic);

  bool failed(std::string& why, int rc, const std::string& during);

  // While connected: hands queued messages over in order, collects the
  // acknowledgements; returns with `why` empty when finishing has
  // delivered everything.
  void serve(std::string& why);

  // Hands over what the window has room for. False when the connection
  // is going (`why` says why).
  bool send_window(std::string& why);

  void acknowledged(int mid);

  // Guarded: the measurements at the front whose messages are all done.
  void pop_delivered();

  // Ends this connection; unclean ends leave the broker to publish the will.
  void disconnect(bool clean);

  const PublishOptions o_;
  const MqttTarget target_;
  const std::vector<Source> buses_;
  const Lifetime lifetime_;

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<Batch> queue_;                // guarded
  std::vector<MqttMessage> discovery_;     // guarded
  std::set<std::string> announced_;        // guarded
  bool stop_ = false, finishing_ = false;  // guarded
  Clock::time_point finish_deadline_{};    // guarded
  bool connected_ = false;                 // guarded
  bool ended_ = false;                     // guarded
  std::string failure_;                    // guarded
  std::size_t dropped_ = 0;                // guarded
  std::size_t refused_ = 0;                // guarded
  std::uint64_t last_id_ = 0;              // guarded
  std::uint64_t clearing_id_ = 0;          // guarded: the last clearing's message; 0: none
  bool cleared_ = false;                   // guarded: the broker took every clearing

  // The main thread's: what is remembered between runs.
  const MqttMemory memory_file_;
  Remembered memory_;
  bool reconciled_ = false;
  bool clearing_saved_ = false;
  bool memory_trouble_said_ = false;

  // The connection thread's own.
  mosquitto* mosq_ = nullptr;
  int connack_ = -1;
  int offline_mid_ = -1;
  bool will_refusal_said_ = false;
  std::string log_error_;
};

}  // namespace qvtool::mqtt
