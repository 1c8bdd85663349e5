// The tool's own texts against arbitrary input: the device-file reader
// (what --sim, sim-adapter and sim-usb read), and every formatter of what
// read and watch print and publish (JSON, CSV, table, Prometheus metrics,
// MQTT payloads and topics) fed with any bytes, such as a port path that
// is not UTF-8. Nothing may abort or throw but the tool's own errors, and
// every text bound for a UTF-8 format must be UTF-8 and parse back.
//
// Input: the first byte picks the part; a device file is the rest of the
// input as it is, the formatters take their texts from the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/output.hpp"
#include "qvds18x20/publish/metrics.hpp"
#include "qvds18x20/publish/mqtt_messages.hpp"
#include "qvds18x20/publish/mqtt_url.hpp"
#include "qvds18x20/utf8.hpp"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

// A text that must be UTF-8 JSON: parsed back, it is an object.
nlohmann::json parsed(const std::string& text) {
  check(qvtool::is_utf8(text));
  const auto j = nlohmann::json::parse(text, nullptr, false);
  check(!j.is_discarded());
  return j;
}

void device_file(const std::string& text) {
  try {
    const qvtool::SimSetup setup = qvtool::parse_device_setup(text, "fuzz.json");
    check(setup.bus != nullptr);
  } catch (const qvtool::DeviceFileError& e) {
    // Errors are one line a terminal can hold, whatever the file held.
    const std::string what = e.what();
    check(what.rfind("fuzz.json", 0) == 0 && what.size() < 1200);
  }
}

// A temperature as the component gives it, or anything.
std::string temperature(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return "";
    case 1: {
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", in.ConsumeFloatingPoint<double>());
      return text;
    }
    case 2:
      return in.PickValueInArray({"inf", "-inf", "nan", "1e400", "0x1p3", "21.5", " 3", "-0.0"});
    default:
      return in.ConsumeRandomLengthString(24);
  }
}

void formatters(FuzzedDataProvider& in) {
  qvtool::Source source;
  source.port = in.ConsumeRandomLengthString(64);
  source.adapter = in.ConsumeIntegral<int>();
  source.driver = in.ConsumeRandomLengthString(64);
  source.name = in.ConsumeBool() ? source.port : in.ConsumeRandomLengthString(32);
  source.key = in.ConsumeRandomLengthString(16);
  std::vector<qvtool::SensorRow> rows;
  // More rows add time, not paths: the formatters treat each alike.
  const int n = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < n; ++i) {
    qvtool::SensorRow r;
    r.index = i;
    r.rom = in.ConsumeBool() ? in.ConsumeRandomLengthString(20) : "0416913C6BFF0028";
    r.name = in.ConsumeRandomLengthString(12);
    r.temp = temperature(in);
    r.romstr = r.rom;
    r.model = in.ConsumeRandomLengthString(12);
    r.label = in.ConsumeBool() ? in.ConsumeRandomLengthString(20) : "";
    r.thermometer = in.ConsumeBool();
    // Any double, infinities and NaN included: none may reach an output.
    if (in.ConsumeBool()) r.celsius = in.ConsumeFloatingPoint<double>();
    r.status = in.ConsumeRandomLengthString(12);
    r.reason = in.ConsumeRandomLengthString(40);
    r.bus = in.ConsumeBool() ? source.name : "";
    r.bus_key = in.ConsumeBool() ? source.key : "";
    r.alarm = in.ConsumeBool();
    rows.push_back(std::move(r));
  }
  const std::string error = in.ConsumeBool() ? "" : in.ConsumeRandomLengthString(80);
  qvtool::Notes notes;
  notes.more_devices = in.ConsumeBool();
  for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i) notes.warnings.push_back(in.ConsumeRandomLengthString(40));
  const std::string time = in.ConsumeRandomLengthString(24);

  for (const auto format : {qvtool::Format::kTable, qvtool::Format::kCsv, qvtool::Format::kJson}) {
    qvtool::Output out(format, qvtool::Content::kReadings, source);
    out.write(rows, error, notes, time);
    const auto j = parsed(out.json_text(rows, error, notes, time));
    check(j.is_object() && j["sensors"].size() == rows.size());
    // A valid text comes out as it went in.
    if (qvtool::is_utf8(source.port)) check(j["port"] == source.port);
    for (const auto& s : j["sensors"]) check(s["celsius"].is_null() || std::isfinite(s["celsius"].get<double>()));
  }

  qvtool::Metrics metrics(std::vector{source});
  const qvtool::Measurement m{rows, {source}, error, {},
                              qvtool::Output(qvtool::Format::kJson, qvtool::Content::kReadings, source)
                                  .json_text(rows, error, notes, time)};
  metrics.record(m);
  const std::string text = metrics.text();
  check(qvtool::is_utf8(text));
  // Every sample is `name{labels} value` with a finite value.
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    check(end != std::string::npos);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.rfind(' ');
    check(space != std::string::npos && line.find('}') < space);
    char* stop = nullptr;
    const double v = std::strtod(line.c_str() + space + 1, &stop);
    check(*stop == 0 && std::isfinite(v));
  }

  const std::string prefix = in.ConsumeRandomLengthString(32);
  for (const auto& message : qvtool::measurement_messages(prefix, m)) {
    if (message.topic.size() >= 12 && message.topic.compare(message.topic.size() - 12, 12, "/measurement") == 0)
      parsed(message.payload);
  }
  if (!rows.empty()) parsed(qvtool::discovery_message(prefix, prefix, rows.front(), in.ConsumeBool()).payload);
  parsed(qvtool::bus_discovery_message(prefix, prefix, source).payload);

  try {
    const qvtool::MqttTarget t = qvtool::parse_mqtt_url(in.ConsumeRandomLengthString(200));
    check(!t.host.empty() && !t.prefix.empty() && t.port >= 1 && t.port <= 65535);
  } catch (const qvtool::UsageError&) {
    // A URL that cannot be is the user's error (status 2), never a crash.
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The formatters print; the fuzzer's own output stays readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    device_file(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  } else {
    FuzzedDataProvider in(data + 1, size - 1);
    formatters(in);
  }
  return 0;
}
