// MQTT through libmosquitto. One thread of ours owns the connection and
// every libmosquitto call; the main thread only queues measurements. The
// queue, not libmosquitto, holds what is not yet acknowledged: each
// connection starts from a fresh client and sends the queue from its
// front, so a broker that went away gets everything again, in order.
//
// Nothing in the queue may hold up what follows it: a message the
// library refuses (a topic it will not take) is dropped and named, not
// offered again.
#include <mosquitto.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/publish/mqtt_messages.hpp"
#include "qvds18x20/publish/mqtt_url.hpp"

namespace qvtool {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
constexpr std::size_t kWindow = 20;            // messages handed to libmosquitto, not yet acknowledged
constexpr auto kAnswerDeadline = seconds(15);  // from connecting to the broker's answer
constexpr auto kFirstRetry = seconds(1), kLastRetry = seconds(60);
// A connection thread that is still busy this long after it was told to
// stop is inside a call that does not return soon (a name lookup that
// hangs): the program goes on without it.
constexpr auto kStopDeadline = seconds(2);

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

// Whether a refusal of mosquitto_publish() is about the message (it will
// be refused again on any connection) rather than about the connection.
bool refuses_the_message(int rc) {
  switch (rc) {
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_OVERSIZE_PACKET:
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
    case MOSQ_ERR_RETAIN_NOT_SUPPORTED:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
    case MOSQ_ERR_TOPIC_ALIAS_INVALID:
    case MOSQ_ERR_ACL_DENIED:
      return true;
    default:
      return false;
  }
}

std::string lowered_reason(int rc) {
  std::string why = mosquitto_strerror(rc);
  if (!why.empty() && why.back() == '.') why.pop_back();
  if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
  return why;
}

// Why libmosquitto would refuse `topic` for publishing, or "".
std::string topic_trouble(const std::string& topic) {
  if (topic.find_first_of("+#") != std::string::npos) return "it holds an MQTT wildcard (+ or #)";
  if (topic.size() > 65535) return "its topics would be longer than MQTT's 65535 bytes";
  if (mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) != MOSQ_ERR_SUCCESS)
    return "MQTT topics are UTF-8 without control characters, and it is not";
  if (mosquitto_pub_topic_check2(topic.c_str(), topic.size()) != MOSQ_ERR_SUCCESS)
    return "the MQTT library does not take it in a topic";
  return "";
}

// Everything the connection thread and the main thread share; the
// thread holds it too, so that a thread left behind (kStopDeadline)
// never touches freed memory.
class MqttCore {
 public:
  MqttCore(const PublishOptions& o, MqttTarget target, Source source, Lifetime lifetime)
      : o_(o), target_(std::move(target)), source_(std::move(source)), lifetime_(lifetime) {}

  void publish(const Measurement& m) {
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
        discovery_.push_back(discovery_message(o_.mqtt_discovery_prefix, target_.prefix, r, source_, continuous()));
        batch.messages.push_back({discovery_.back(), ++last_id_});
      }
    }
    for (auto& message : measurement_messages(target_.prefix, m))
      batch.messages.push_back({std::move(message), ++last_id_});
    queue_.push_back(std::move(batch));
    if (continuous() && queue_.size() > static_cast<std::size_t>(o_.mqtt_queue)) drop_oldest();
    wake_.notify_all();
  }

  // Waits up to the grace for the queue to go out, then says what did
  // not: a Failure for either lifetime, so that the exit status tells.
  void finish() {
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

  void stop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    wake_.notify_all();
  }

  // True when the thread ended within kStopDeadline of stop().
  bool wait_ended() {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, kStopDeadline, [&] { return ended_; });
  }

  void run() {
    auto delay = kFirstRetry;
    bool had_trouble = false;
    bool attempted_finishing = false;  // an attempt began after finish()
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        attempted_finishing = attempted_finishing || finishing_;
        // Nothing left to deliver at the end, or no time left for it.
        if (stop_ || (finishing_ && (queue_.empty() || Clock::now() > finish_deadline_))) break;
      }
      std::string why;
      const bool connected = connect(why);
      if (connected) {
        if (had_trouble)
          say("connected to the MQTT broker at " + target_.where() + "; delivering " + std::to_string(queued()) +
              " queued measurements");
        delay = kFirstRetry;
        had_trouble = false;
        serve(why);
      }
      disconnect(connected && why.empty());
      std::unique_lock lock(mutex_);
      connected_ = false;
      if (!why.empty()) failure_ = why;
      if (stop_ || (finishing_ && why.empty())) break;
      // The last attempt, made once the command was ending, has failed.
      if (attempted_finishing) break;
      if (finishing_) continue;  // ending now: once more, at once
      if (!continuous()) {
        // read: the one connection made before measuring failed; the
        // end of the command gets one more.
        wake_.wait(lock, [&] { return stop_ || finishing_; });
        continue;
      }
      if (connected) {
        say("lost the MQTT broker at " + target_.where() + " (" + why + "); keeping measurements until it is back");
      } else {
        say("waiting for the MQTT broker at " + target_.where() + " (" + why + "); measurements queued: " +
            std::to_string(queue_.size()) + "; next try in " + std::to_string(delay.count()) + " s");
      }
      had_trouble = true;
      wake_.wait_for(lock, delay, [&] { return stop_ || finishing_; });
      delay = std::min(delay * 2, kLastRetry);
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    done_.notify_all();
  }

 private:
  bool continuous() const { return lifetime_ == Lifetime::kContinuous; }

  std::string grace_text() const {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", o_.mqtt_grace);
    return text;
  }

  // The oldest measurement no message of which is on the wire.
  void drop_oldest() {
    const auto it = std::find_if(queue_.begin(), queue_.end(), [](const Batch& b) {
      return std::none_of(b.messages.begin(), b.messages.end(), [](const Pending& p) { return p.mid >= 0; });
    });
    if (it == queue_.end()) return;
    queue_.erase(it);
    if (dropped_++ == 0)
      say("MQTT queue full (" + std::to_string(o_.mqtt_queue) + " measurements): dropping the oldest");
  }

  void say(const std::string& line) { std::fprintf(stderr, "qvds18x20: %s\n", line.c_str()); }

  void refused(const std::string& topic, int rc) {
    say("the MQTT library refused the message to \"" + shorten(topic, 80) + "\" (" + lowered_reason(rc) +
        "); dropped it");
  }

  std::size_t queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  // When the current attempt must give up: its own answer deadline, or
  // the end of the grace once the command is ending.
  bool past_deadline(Clock::time_point own) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    return stop_ || now > own || (finishing_ && now > finish_deadline_);
  }

  // One attempt: a fresh client, the connection, the broker's answer.
  bool connect(std::string& why) {
    mosq_ = mosquitto_new(nullptr, true, this);
    if (mosq_ == nullptr) {
      why = "out of memory";
      return false;
    }
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
      static_cast<MqttCore*>(self)->connack_ = rc;
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
      static_cast<MqttCore*>(self)->acknowledged(mid);
    });
    mosquitto_log_callback_set(mosq_, [](mosquitto*, void* self, int level, const char* text) {
      if (level == MOSQ_LOG_ERR) static_cast<MqttCore*>(self)->log_error_ = text;
    });
    if (!target_.user.empty())
      mosquitto_username_pw_set(mosq_, target_.user.c_str(), target_.has_password ? target_.password.c_str() : nullptr);
    const std::string status = status_topic(target_.prefix);
    if (continuous()) {
      // The topics were checked at the start; a refusal here is the
      // library's own limit, and the run goes on without a will.
      const int rc = mosquitto_will_set(mosq_, status.c_str(), 7, kOffline, kQos, true);
      if (rc != MOSQ_ERR_SUCCESS && !will_refusal_said_) {
        will_refusal_said_ = true;
        say("the MQTT library refused the last will on \"" + shorten(status, 80) + "\" (" + lowered_reason(rc) +
            "); going on without it");
      }
    }
    if (target_.tls) {
      int rc = MOSQ_ERR_SUCCESS;
      if (o_.mqtt_cafile.empty()) {
        rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      } else {
        rc = mosquitto_tls_set(mosq_, o_.mqtt_cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
      }
      if (rc != MOSQ_ERR_SUCCESS)
        return failed(why, rc, o_.mqtt_cafile.empty() ? "TLS setup" : "TLS setup with the CA file " + o_.mqtt_cafile);
    }
    connack_ = -1;
    log_error_.clear();
    int rc = mosquitto_connect_async(mosq_, target_.host.c_str(), target_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) return failed(why, rc, "");
    const auto deadline = Clock::now() + kAnswerDeadline;
    while (connack_ < 0) {
      if (past_deadline(deadline)) {
        why = "no answer within " + (Clock::now() > deadline ? std::to_string(kAnswerDeadline.count()) + " s"
                                                               : grace_text() + ", the grace at the end");
        return false;
      }
      rc = mosquitto_loop(mosq_, 100, 1);
      if (rc != MOSQ_ERR_SUCCESS && connack_ <= 0) return failed(why, rc, "");
    }
    if (connack_ != 0) {
      std::string reason = mosquitto_connack_string(connack_);  // "Connection Refused: not authorised."
      if (reason.rfind("Connection Refused: ", 0) == 0) reason = reason.substr(20);
      if (!reason.empty() && reason.back() == '.') reason.pop_back();
      why = "the broker refused the connection (" + reason + ")";
      return false;
    }
    {
      std::lock_guard lock(mutex_);
      connected_ = true;
      failure_.clear();
    }
    if (continuous()) mosquitto_publish(mosq_, nullptr, status.c_str(), 6, kOnline, kQos, true);
    std::vector<MqttMessage> discovery;
    {
      std::lock_guard lock(mutex_);
      discovery = discovery_;
    }
    // Retained, so once would do; again on every connection for a broker
    // that came back without its store.
    for (const auto& d : discovery) {
      rc = mosquitto_publish(mosq_, nullptr, d.topic.c_str(), static_cast<int>(d.payload.size()), d.payload.data(),
                             kQos, d.retain);
      if (rc != MOSQ_ERR_SUCCESS && refuses_the_message(rc)) forget_discovery(d.topic);
    }
    return true;
  }

  // A discovery config the library refuses is not offered again.
  void forget_discovery(const std::string& topic) {
    std::lock_guard lock(mutex_);
    discovery_.erase(std::remove_if(discovery_.begin(), discovery_.end(),
                                    [&](const MqttMessage& m) { return m.topic == topic; }),
                     discovery_.end());
  }

  bool failed(std::string& why, int rc, const std::string& during) {
    const int error = errno;
    why = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error)) : lowered_reason(rc);
    if (rc == MOSQ_ERR_EAI) why = "cannot resolve the host name";
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    if (rc == MOSQ_ERR_TLS || !during.empty()) why = (during.empty() ? "TLS" : during) + " failed: " + why;
    if (!log_error_.empty()) why += " (" + log_error_ + ")";
    return false;
  }

  // While connected: hands queued messages over in order, collects the
  // acknowledgements; returns with `why` empty when finishing has
  // delivered everything.
  void serve(std::string& why) {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stop_) return void(why = "stopped");
        if (finishing_ && queue_.empty()) return;
        if (finishing_ && Clock::now() > finish_deadline_) return void(why = "not acknowledged within " + grace_text());
      }
      if (!send_window(why)) return;
      const int rc = mosquitto_loop(mosq_, 100, 1);
      if (rc != MOSQ_ERR_SUCCESS) {
        failed(why, rc, "");
        return;
      }
    }
  }

  // libmosquitto is called without our lock: it calls back into
  // acknowledged() holding its own, and the two must not nest both ways.
  // False when the connection is going (`why` says why).
  bool send_window(std::string& why) {
    std::vector<std::pair<std::uint64_t, MqttMessage>> to_send;
    {
      std::lock_guard lock(mutex_);
      std::size_t in_flight = 0;
      for (auto& batch : queue_) {
        for (auto& p : batch.messages) {
          if (p.acked) continue;
          if (p.mid < 0) {
            p.mid = kSending;  // keeps drop_oldest away from it
            to_send.emplace_back(p.id, p.message);
          }
          if (++in_flight >= kWindow) break;
        }
        if (in_flight >= kWindow) break;
      }
    }
    for (const auto& [id, m] : to_send) {
      int mid = -1;
      const int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                       m.payload.data(), kQos, m.retain);
      const bool refused_here = rc != MOSQ_ERR_SUCCESS && refuses_the_message(rc);
      if (refused_here) refused(m.topic, rc);
      {
        std::lock_guard lock(mutex_);
        for (auto& batch : queue_)
          for (auto& p : batch.messages)
            if (p.id == id) {
              p.mid = rc == MOSQ_ERR_SUCCESS ? mid : -1;
              p.acked = p.acked || refused_here;
            }
        if (refused_here) {
          ++refused_;
          pop_delivered();
          // Nor offered again on the next connection.
          discovery_.erase(std::remove_if(discovery_.begin(), discovery_.end(),
                                          [&](const MqttMessage& d) { return d.topic == m.topic; }),
                           discovery_.end());
        }
      }
      if (rc != MOSQ_ERR_SUCCESS && !refused_here) {
        failed(why, rc, "");
        return false;
      }
    }
    return true;
  }

  void acknowledged(int mid) {
    std::lock_guard lock(mutex_);
    for (auto& batch : queue_)
      for (auto& p : batch.messages)
        if (p.mid == mid) p.acked = true;
    pop_delivered();
  }

  // Guarded: the measurements at the front whose messages are all done.
  void pop_delivered() {
    while (!queue_.empty() && std::all_of(queue_.front().messages.begin(), queue_.front().messages.end(),
                                          [](const Pending& p) { return p.acked; }))
      queue_.pop_front();
  }

  // Ends this connection; unclean ends leave the broker to publish the will.
  void disconnect(bool clean) {
    if (mosq_ == nullptr) return;
    if (clean && continuous()) {
      // The will covers a crash; a clean end says "offline" itself.
      int mid = -1;
      const std::string status = status_topic(target_.prefix);
      offline_mid_ = -2;
      mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int m) {
        static_cast<MqttCore*>(self)->offline_mid_ = m;
      });
      if (mosquitto_publish(mosq_, &mid, status.c_str(), 7, kOffline, kQos, true) == MOSQ_ERR_SUCCESS) {
        const auto deadline = Clock::now() + seconds(2);
        while (offline_mid_ != mid && Clock::now() < deadline && mosquitto_loop(mosq_, 100, 1) == MOSQ_ERR_SUCCESS) {
        }
      }
    }
    if (clean) {
      mosquitto_disconnect(mosq_);
      mosquitto_loop(mosq_, 100, 1);
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    std::lock_guard lock(mutex_);
    for (auto& batch : queue_)
      for (auto& p : batch.messages) p.mid = -1;
  }

  const PublishOptions o_;
  const MqttTarget target_;
  const Source source_;
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

  // The connection thread's own.
  mosquitto* mosq_ = nullptr;
  int connack_ = -1;
  int offline_mid_ = -1;
  bool will_refusal_said_ = false;
  std::string log_error_;
};

class MqttPublisher : public Publisher {
 public:
  MqttPublisher(const PublishOptions& o, const Source& source, Lifetime lifetime) {
    MqttTarget target = parse_mqtt_url(o.mqtt_url);
    if (!target.user.empty() && !target.has_password) {
      if (const char* pw = std::getenv(kMqttPasswordVariable)) {
        target.password = pw;
        target.has_password = true;
      }
    }
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    core_ = std::make_shared<MqttCore>(o, std::move(target), source, lifetime);
    thread_ = std::thread([core = core_] { core->run(); });
  }

  ~MqttPublisher() override {
    core_->stop();
    if (core_->wait_ended()) {
      thread_.join();
    } else {
      // Stuck in a call of the library that does not return soon; the
      // core stays alive with the thread.
      thread_.detach();
    }
  }

  void publish(const Measurement& m) override { core_->publish(m); }
  void finish() override { core_->finish(); }

 private:
  std::shared_ptr<MqttCore> core_;
  std::thread thread_;
};

}  // namespace

void check_mqtt_options(const PublishOptions& o) {
  const MqttTarget target = parse_mqtt_url(o.mqtt_url);
  if (!o.mqtt_cafile.empty() && !target.tls) throw UsageError("--mqtt-cafile needs an mqtts:// URL");
  // Every topic the run will publish to, with the longest ROM text.
  SensorRow sample;
  sample.rom = sample.romstr = "0123456789ABCDEF";
  sample.name = sample.model = "DS18B20";
  sample.temp = "20.0";
  sample.celsius = 20.0;
  sample.thermometer = true;
  for (const auto& m : measurement_messages(target.prefix, {{sample}, "", {}, "{}"}))
    if (const std::string trouble = topic_trouble(m.topic); !trouble.empty())
      throw Failure("--mqtt: the topic prefix \"" + shorten(target.prefix) + "\" cannot be used: " + trouble);
  if (o.mqtt_discovery) {
    const std::string topic = discovery_message(o.mqtt_discovery_prefix, target.prefix, sample, Source{}, true).topic;
    if (const std::string trouble = topic_trouble(topic); !trouble.empty())
      throw UsageError("--mqtt-discovery-prefix \"" + shorten(o.mqtt_discovery_prefix) + "\" cannot be used: " +
                       trouble);
  }
  if (!o.mqtt_cafile.empty()) {
    std::FILE* f = std::fopen(o.mqtt_cafile.c_str(), "r");
    if (f == nullptr)
      throw Failure("--mqtt-cafile " + shorten(o.mqtt_cafile, 200) + ": cannot be read (" + std::strerror(errno) + ")");
    std::fclose(f);
  }
}

std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions& o, const Source& source, Lifetime lifetime) {
  return std::make_unique<MqttPublisher>(o, source, lifetime);
}

}  // namespace qvtool
