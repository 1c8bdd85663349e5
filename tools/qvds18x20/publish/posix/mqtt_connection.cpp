// The MQTT publisher's connection thread: every libmosquitto call of the
// run, on a fresh client per connection; the queue it serves is
// mqtt_queue.cpp's.
#include <mosquitto.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/publish/posix/mqtt_core.hpp"

namespace qvtool::mqtt {
namespace {

using std::chrono::seconds;

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
constexpr std::size_t kWindow = 20;            // messages handed to libmosquitto, not yet acknowledged
constexpr auto kAnswerDeadline = seconds(15);  // from connecting to the broker's answer
constexpr auto kFirstRetry = seconds(1), kLastRetry = seconds(60);

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

}  // namespace

void MqttCore::run() {
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
        say(Severity::kNotice, "connected to the MQTT broker at " + target_.where() + "; delivering " +
                                   std::to_string(queued()) + " queued measurements");
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
      say(Severity::kWarning,
          "lost the MQTT broker at " + target_.where() + " (" + why + "); keeping measurements until it is back");
    } else {
      say(Severity::kWarning, "waiting for the MQTT broker at " + target_.where() + " (" + why +
                                  "); measurements queued: " + std::to_string(queue_.size()) + "; next try in " +
                                  std::to_string(delay.count()) + " s");
    }
    had_trouble = true;
    wake_.wait_for(lock, delay, [&] { return stop_ || finishing_; });
    delay = std::min(delay * 2, kLastRetry);
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  done_.notify_all();
}

void MqttCore::refused(const std::string& topic, int rc) {
  say(Severity::kWarning, "the MQTT library refused the message to \"" + shorten(topic, 80) + "\" (" +
                              lowered_reason(rc) + "); dropped it");
}

bool MqttCore::connect(std::string& why) {
  mosq_ = mosquitto_new(nullptr, true, this);
  // It ignores SIGPIPE for the whole process; a reader of standard output
  // that goes away must still end the run (this thread has it blocked).
  reclaim_interrupt_signals();
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
      say(Severity::kWarning, "the MQTT library refused the last will on \"" + shorten(status, 80) + "\" (" +
                                  lowered_reason(rc) + "); going on without it");
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

void MqttCore::forget_discovery(const std::string& topic) {
  std::lock_guard lock(mutex_);
  discovery_.erase(std::remove_if(discovery_.begin(), discovery_.end(),
                                  [&](const MqttMessage& m) { return m.topic == topic; }),
                   discovery_.end());
}

bool MqttCore::failed(std::string& why, int rc, const std::string& during) {
  const int error = errno;
  why = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error)) : lowered_reason(rc);
  if (rc == MOSQ_ERR_EAI) why = "cannot resolve the host name";
  if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
  if (rc == MOSQ_ERR_TLS || !during.empty()) why = (during.empty() ? "TLS" : during) + " failed: " + why;
  if (!log_error_.empty()) why += " (" + log_error_ + ")";
  return false;
}

void MqttCore::serve(std::string& why) {
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
bool MqttCore::send_window(std::string& why) {
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

void MqttCore::disconnect(bool clean) {
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

}  // namespace qvtool::mqtt
