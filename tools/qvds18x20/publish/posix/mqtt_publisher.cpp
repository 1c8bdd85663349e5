// MQTT through libmosquitto: the options checked before anything runs,
// and the publisher the tool holds, which owns the connection thread
// (mqtt_core.hpp; its queue in mqtt_queue.cpp, its connection in
// mqtt_connection.cpp).
#include <mosquitto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/publish/mqtt_messages.hpp"
#include "qvds18x20/publish/mqtt_url.hpp"
#include "qvds18x20/publish/posix/mqtt_core.hpp"

namespace qvtool {
namespace {

// Why libmosquitto would refuse `topic` for publishing, or "".
std::string topic_trouble(const std::string& topic) {
  if (topic.find_first_of("+#") != std::string::npos) return "it holds an MQTT wildcard (+ or #)";
  if (!topic.empty() && topic.front() == '$') return kBrokerTopics;
  if (topic.size() > 65535) return "its topics would be longer than MQTT's 65535 bytes";
  if (mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) != MOSQ_ERR_SUCCESS)
    return "MQTT topics are UTF-8 without control characters, and it is not";
  if (mosquitto_pub_topic_check2(topic.c_str(), topic.size()) != MOSQ_ERR_SUCCESS)
    return "the MQTT library does not take it in a topic";
  return "";
}

class MqttPublisher : public Publisher {
 public:
  MqttPublisher(const PublishOptions& o, const std::vector<Source>& buses, Lifetime lifetime) {
    MqttTarget target = parse_mqtt_url(o.mqtt_url);
    if (!target.user.empty() && !target.has_password) {
      if (const char* pw = std::getenv(kMqttPasswordVariable)) {
        target.password = pw;
        target.has_password = true;
      }
    }
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    core_ = std::make_shared<mqtt::MqttCore>(o, std::move(target), buses, lifetime);
    thread_ = std::thread([core = core_] {
      // A write to a broker that closed the connection fails with EPIPE
      // here; the signal would end the run.
      block_broken_pipe_signal();
      core->run();
    });
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
  std::shared_ptr<mqtt::MqttCore> core_;
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
  sample.bus = sample.bus_key = "bus";
  Measurement probe;
  probe.rows = {sample};
  probe.json = "{}";
  for (const auto& m : measurement_messages(target.prefix, probe))
    if (const std::string trouble = topic_trouble(m.topic); !trouble.empty())
      throw UsageError("--mqtt: the topic prefix \"" + shorten(target.prefix) + "\" cannot be used: " + trouble);
  if (o.mqtt_discovery) {
    const std::string topic = discovery_message(o.mqtt_discovery_prefix, target.prefix, sample, true).topic;
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

std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions& o, const std::vector<Source>& buses,
                                               Lifetime lifetime) {
  return std::make_unique<MqttPublisher>(o, buses, lifetime);
}

}  // namespace qvtool
