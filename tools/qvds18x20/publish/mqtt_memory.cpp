#include "qvds18x20/publish/mqtt_memory.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/json_text.hpp"
#include "qvds18x20/platform.hpp"

namespace qvtool {
namespace {

using nlohmann::json;

// Files larger than this are no memory of ours.
constexpr std::uintmax_t kMaxMemoryFile = 4 * 1024 * 1024;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A file name for a target: its safe characters, and a hash of the whole
// so that targets that differ only in the others do not share a file.
std::string file_name(const std::string& target) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  std::string safe;
  for (unsigned char c : target) {
    hash = (hash ^ c) * 16777619u;
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (safe.size() < 80) safe.push_back(keep ? static_cast<char>(c) : '_');
  }
  char tail[16];
  std::snprintf(tail, sizeof tail, "-%08x", static_cast<unsigned>(hash));
  return "mqtt-" + safe + tail + ".json";
}

}  // namespace

std::string state_directory() {
  // systemd gives a colon-separated list when the unit names several.
  if (const std::string given = env("STATE_DIRECTORY"); !given.empty()) return given.substr(0, given.find(':'));
  // A relative XDG_STATE_HOME is no state home, and is passed over.
  if (const std::string xdg = env("XDG_STATE_HOME"); !xdg.empty() && xdg.front() == '/') return xdg + "/qvds18x20";
  if (const std::string home = env("HOME"); !home.empty()) return home + "/.local/state/qvds18x20";
  return "";
}

Reconciliation reconcile(const Remembered& before, const std::vector<SensorRow>& rows, const MqttPlan& plan) {
  Reconciliation out;
  out.now.discovery_prefix = plan.discovery ? plan.discovery_prefix : "";
  std::map<std::string, const SensorRow*> here;  // on the bus, or configured
  for (const auto& r : rows)
    if (r.thermometer) here.emplace(r.romstr, &r);
  std::set<std::string> clear(before.to_clear.begin(), before.to_clear.end());
  const auto clear_sensor = [&](const std::string& key) {
    for (auto& topic : sensor_topics(plan.prefix, key)) clear.insert(std::move(topic));
  };
  const bool discovery_moved =
      !before.discovery_prefix.empty() && before.discovery_prefix != out.now.discovery_prefix;
  std::set<std::string> bus_keys = {""};  // those of the remembered sensors' topics, and the one of old
  for (const auto& [rom, old] : before.sensors) {
    if (const auto slash = old.key.find('/'); slash != std::string::npos) bus_keys.insert(old.key.substr(0, slash));
    if (discovery_moved) {
      clear.insert(discovery_topic(before.discovery_prefix, rom));
      clear.insert(alarm_discovery_topic(before.discovery_prefix, rom));
    }
    if (const auto it = here.find(rom); it != here.end()) {
      // A configured sensor on no bus now keeps the bus level it had.
      const std::string key = sensor_key(*it->second, old.key);
      if (key != old.key) {
        clear_sensor(old.key);
        out.renamed.push_back(rom);
      }
      out.now.sensors[rom] = {key, it->second->configured};
    } else if (old.configured) {
      clear_sensor(old.key);
      if (!before.discovery_prefix.empty()) {
        clear.insert(discovery_topic(before.discovery_prefix, rom));
        clear.insert(alarm_discovery_topic(before.discovery_prefix, rom));
      }
      out.removed.push_back(rom);
    } else {
      out.gone.push_back(rom);
      out.now.sensors[rom] = old;
    }
  }
  if (discovery_moved)
    for (const auto& bus_key : bus_keys) clear.insert(bus_discovery_topic(before.discovery_prefix, plan.prefix, bus_key));
  for (const auto& [rom, row] : here)
    if (out.now.sensors.count(rom) == 0) out.now.sensors[rom] = {sensor_key(*row), row->configured};
  // A topic in use now is published after its clearing, which then
  // leaves it as this run sets it.
  out.clear.assign(clear.begin(), clear.end());
  out.now.to_clear = out.clear;
  return out;
}

MqttMemory::MqttMemory(std::string directory, std::string target)
    : directory_(std::move(directory)), target_(std::move(target)) {
  if (!directory_.empty()) file_ = directory_ + "/" + file_name(target_);
}

Remembered MqttMemory::load(std::string& trouble) const {
  Remembered memory;
  trouble.clear();
  if (file_.empty()) return memory;
  std::error_code ec;
  if (!std::filesystem::exists(file_, ec)) return memory;
  const auto size = std::filesystem::file_size(file_, ec);
  if (ec || size > kMaxMemoryFile) {
    trouble = file_ + ": cannot be read" + (ec ? " (" + ec.message() + ")" : " (larger than 4 MiB)");
    return memory;
  }
  std::ifstream in(file_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  try {
    const json j = json::parse(text.str());
    if (j.at("target").get<std::string>() != target_) return memory;  // another's, by a hash's chance
    memory.discovery_prefix = j.at("discovery_prefix").get<std::string>();
    for (const auto& [rom, s] : j.at("sensors").items())
      memory.sensors[rom] = {s.at("key").get<std::string>(), s.at("configured").get<bool>()};
    memory.to_clear = j.at("to_clear").get<std::vector<std::string>>();
  } catch (const json::exception& e) {
    trouble = file_ + ": not a memory of this tool (" + shorten(e.what(), 120) + ")";
    return {};
  }
  return memory;
}

bool MqttMemory::save(const Remembered& memory, std::string& trouble) const {
  trouble.clear();
  if (file_.empty()) return true;
  json sensors = json::object();
  for (const auto& [rom, s] : memory.sensors) sensors[rom] = {{"key", s.key}, {"configured", s.configured}};
  const json j = {{"target", target_},
                  {"discovery_prefix", memory.discovery_prefix},
                  {"sensors", sensors},
                  {"to_clear", memory.to_clear}};
  const std::string text = json_dump(j) + "\n";
  std::error_code ec;
  std::filesystem::create_directories(directory_, ec);
  if (ec) {
    trouble = directory_ + ": cannot be made (" + ec.message() + ")";
    return false;
  }
  const std::string tmp = file_ + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    trouble = tmp + ": cannot be created (" + os_error_text(errno) + ")";
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int write_error = errno;
  if (std::fclose(f) != 0 || !written) {
    trouble = tmp + ": cannot be written (" + os_error_text(written ? errno : write_error) + ")";
    std::remove(tmp.c_str());
    return false;
  }
  std::filesystem::rename(tmp, file_, ec);
  if (ec) {
    trouble = file_ + ": cannot be replaced (" + ec.message() + ")";
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace qvtool
