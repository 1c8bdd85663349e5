// MQTT through libmosquitto. One thread of ours owns the connection and
// every libmosquitto call; the main thread only queues measurements. The
// queue, not libmosquitto, holds what is not yet acknowledged: each
// connection starts from a fresh client and sends the queue from its
// front, so a broker that went away gets everything again, in order.
#include <mosquitto.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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
constexpr std::size_t kWindow = 20;             // messages handed to libmosquitto, not yet acknowledged
constexpr auto kAnswerDeadline = seconds(15);   // from connecting to the broker's answer
constexpr auto kFinishDeadline = seconds(10);   // delivering what is queued at the end
constexpr auto kFirstRetry = seconds(1), kLastRetry = seconds(60);

struct Pending {
  MqttMessage message;
  std::uint64_t id = 0;  // ours, for the whole run
  int mid = -1;          // libmosquitto's on this connection; -1: not sent on it
  bool acked = false;
};
constexpr int kSending = 0;  // libmosquitto's ids start at 1
struct Batch {
  std::vector<Pending> messages;
};

class MqttPublisher : public Publisher {
 public:
  MqttPublisher(const PublishOptions& o, Lifetime lifetime)
      : o_(o), target_(parse_mqtt_url(o.mqtt_url)), lifetime_(lifetime) {
    if (!target_.user.empty() && !target_.has_password) {
      if (const char* pw = std::getenv(kMqttPasswordVariable)) {
        target_.password = pw;
        target_.has_password = true;
      }
    }
    if (!o_.mqtt_cafile.empty() && !target_.tls) throw UsageError("--mqtt-cafile needs an mqtts:// URL");
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    thread_ = std::thread([this] { run(); });
  }

  ~MqttPublisher() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void publish(const Measurement& m) override {
    Batch batch;
    std::lock_guard lock(mutex_);
    if (o_.mqtt_discovery) {
      for (const auto& r : m.rows) {
        if (r.temp.empty() || !announced_.insert(r.rom).second) continue;
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

  void finish() override {
    std::unique_lock lock(mutex_);
    finishing_ = true;
    wake_.notify_all();
    const auto deadline = Clock::now() + kFinishDeadline;
    done_.wait_until(lock, deadline, [&] { return ended_; });
    const std::size_t left = queue_.size();
    if (!continuous() && left > 0)
      throw Failure("cannot publish to the MQTT broker at " + target_.where() + ": " +
                    (failure_.empty() ? "no answer" : failure_));
    if (left > 0 || dropped_ > 0)
      std::fprintf(stderr, "qvds18x20: %zu measurements not delivered to the MQTT broker at %s\n", left + dropped_,
                   target_.where().c_str());
  }

 private:
  bool continuous() const { return lifetime_ == Lifetime::kContinuous; }

  // The oldest measurement no message of which is on the wire.
  void drop_oldest() {
    const auto it = std::find_if(queue_.begin(), queue_.end(), [](const Batch& b) {
      return std::none_of(b.messages.begin(), b.messages.end(), [](const Pending& p) { return p.mid >= 0; });
    });
    if (it == queue_.end()) return;
    queue_.erase(it);
    if (dropped_++ == 0)
      std::fprintf(stderr, "qvds18x20: MQTT queue full (%d measurements): dropping the oldest\n", o_.mqtt_queue);
  }

  void say(const std::string& line) { std::fprintf(stderr, "qvds18x20: %s\n", line.c_str()); }

  void run() {
    auto delay = kFirstRetry;
    bool had_trouble = false;
    for (;;) {
      std::string why;
      const bool connected = connect(why);
      if (connected) {
        if (had_trouble) say("connected to the MQTT broker at " + target_.where() + "; delivering " +
                             std::to_string(queued()) + " queued measurements");
        delay = kFirstRetry;
        had_trouble = false;
        serve(why);
      }
      disconnect(connected && why.empty());
      std::unique_lock lock(mutex_);
      if (!why.empty()) failure_ = why;
      if (stop_ || (finishing_ && why.empty())) break;
      if (!continuous() || finishing_) break;
      if (connected) {
        say("lost the MQTT broker at " + target_.where() + " (" + why + "); keeping measurements until it is back");
      } else {
        say("waiting for the MQTT broker at " + target_.where() + " (" + why + "); measurements queued: " +
            std::to_string(queue_.size()) + "; next try in " + std::to_string(delay.count()) + " s");
      }
      had_trouble = true;
      wake_.wait_for(lock, delay, [&] { return stop_ || finishing_; });
      if (stop_ || finishing_) break;
      delay = std::min(delay * 2, kLastRetry);
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    done_.notify_all();
  }

  std::size_t queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  // One attempt: a fresh client, the connection, the broker's answer.
  bool connect(std::string& why) {
    mosq_ = mosquitto_new(nullptr, true, this);
    if (mosq_ == nullptr) {
      why = "out of memory";
      return false;
    }
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
      static_cast<MqttPublisher*>(self)->connack_ = rc;
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
      static_cast<MqttPublisher*>(self)->acknowledged(mid);
    });
    mosquitto_log_callback_set(mosq_, [](mosquitto*, void* self, int level, const char* text) {
      if (level == MOSQ_LOG_ERR) static_cast<MqttPublisher*>(self)->log_error_ = text;
    });
    if (!target_.user.empty())
      mosquitto_username_pw_set(mosq_, target_.user.c_str(), target_.has_password ? target_.password.c_str() : nullptr);
    const std::string status = status_topic(target_.prefix);
    if (continuous()) mosquitto_will_set(mosq_, status.c_str(), 7, kOffline, kQos, true);
    if (target_.tls) {
      int rc = MOSQ_ERR_SUCCESS;
      if (o_.mqtt_cafile.empty()) {
        rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      } else {
        rc = mosquitto_tls_set(mosq_, o_.mqtt_cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
      }
      if (rc != MOSQ_ERR_SUCCESS) return failed(why, rc, "TLS setup");
    }
    connack_ = -1;
    log_error_.clear();
    int rc = mosquitto_connect_async(mosq_, target_.host.c_str(), target_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) return failed(why, rc, "");
    const auto deadline = Clock::now() + kAnswerDeadline;
    while (connack_ < 0) {
      if (stopping() || Clock::now() > deadline) {
        why = "no answer";
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
    if (continuous()) mosquitto_publish(mosq_, nullptr, status.c_str(), 6, kOnline, kQos, true);
    std::vector<MqttMessage> discovery;
    {
      std::lock_guard lock(mutex_);
      discovery = discovery_;
    }
    // Retained, so once would do; again on every connection for a broker
    // that came back without its store.
    for (const auto& d : discovery)
      mosquitto_publish(mosq_, nullptr, d.topic.c_str(), static_cast<int>(d.payload.size()), d.payload.data(), kQos,
                        d.retain);
    return true;
  }

  bool failed(std::string& why, int rc, const std::string& during) {
    const int error = errno;
    why = rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc);
    if (rc == MOSQ_ERR_EAI) why = "cannot resolve the host name";
    if (!why.empty() && why.back() == '.') why.pop_back();
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    if (rc == MOSQ_ERR_TLS || !during.empty()) why = (during.empty() ? "TLS" : during) + " failed: " + why;
    if (!log_error_.empty()) why += " (" + log_error_ + ")";
    return false;
  }

  bool stopping() {
    std::lock_guard lock(mutex_);
    return stop_;
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
      }
      send_window();
      const int rc = mosquitto_loop(mosq_, 100, 1);
      if (rc != MOSQ_ERR_SUCCESS) {
        failed(why, rc, "");
        return;
      }
    }
  }

  // libmosquitto is called without our lock: it calls back into
  // acknowledged() holding its own, and the two must not nest both ways.
  void send_window() {
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
      const bool sent = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                          m.payload.data(), kQos, m.retain) == MOSQ_ERR_SUCCESS;
      std::lock_guard lock(mutex_);
      for (auto& batch : queue_)
        for (auto& p : batch.messages)
          if (p.id == id) p.mid = sent ? mid : -1;
      if (!sent) return;  // the connection is going; the loop will say why
    }
  }

  void acknowledged(int mid) {
    std::lock_guard lock(mutex_);
    for (auto& batch : queue_)
      for (auto& p : batch.messages)
        if (p.mid == mid) p.acked = true;
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
        static_cast<MqttPublisher*>(self)->offline_mid_ = m;
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
  MqttTarget target_;
  const Lifetime lifetime_;

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<Batch> queue_;                // guarded
  std::vector<MqttMessage> discovery_;     // guarded
  std::set<std::string> announced_;        // guarded
  bool stop_ = false, finishing_ = false;  // guarded
  bool ended_ = false;                     // guarded
  std::string failure_;                    // guarded
  std::size_t dropped_ = 0;                // guarded
  std::uint64_t last_id_ = 0;              // guarded

  // The connection thread's own.
  mosquitto* mosq_ = nullptr;
  int connack_ = -1;
  int offline_mid_ = -1;
  std::string log_error_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions& o, Lifetime lifetime) {
  return std::make_unique<MqttPublisher>(o, lifetime);
}

}  // namespace qvtool
