// What the MQTT publisher remembers from one run to the next: the sensors
// it published under a broker and topic prefix, with the topic word of
// each, and the discovery prefix. A broker keeps retained messages for
// ever, so a later run says "offline" for the sensors it does not find,
// and clears the retained topics that are no longer anybody's: those of
// a renamed sensor's old name, those of a sensor removed from the
// configuration and gone from the bus, and the discovery configs when
// discovery is switched off or moved.
//
// The memory is a small JSON file per broker and prefix in the state
// directory (state_directory()). Topics to clear stay in it until the
// broker has taken their clearing, so that a run ended first leaves them
// to the next.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qvds18x20/output.hpp"
#include "qvds18x20/publish/mqtt_messages.hpp"

namespace qvtool {

// Where the tool keeps what it must remember between runs: the first
// folder of $STATE_DIRECTORY (systemd sets it for a unit with
// StateDirectory=: /var/lib/qvds18x20 for the packaged service), else
// $XDG_STATE_HOME/qvds18x20, else $HOME/.local/state/qvds18x20; "" when
// none of them is set.
std::string state_directory();

struct RememberedSensor {
  std::string key;          // the topic word its topics went under
  bool configured = false;  // the configuration named it
};

struct Remembered {
  std::string discovery_prefix;                      // empty: no discovery configs published
  std::map<std::string, RememberedSensor> sensors;   // by ROM (the component's form)
  std::vector<std::string> to_clear;                 // retained topics whose clearing was not delivered yet
};

// The plan of this run, as it bears on what was published before.
struct MqttPlan {
  std::string prefix;
  bool discovery = false;
  std::string discovery_prefix;
};

// What a run does first about what earlier runs published, given its
// first measurement's rows.
struct Reconciliation {
  std::vector<std::string> clear;    // retained topics to clear (an empty retained message each)
  std::vector<std::string> gone;     // ROMs published before and not on the bus now, nor configured
  std::vector<std::string> removed;  // ROMs removed from the configuration and gone: forgotten
  std::vector<std::string> renamed;  // ROMs whose topic word changed
  Remembered now;                    // to remember from now on (`clear` in its to_clear)
};

// A sensor on the bus or configured keeps its place (its old topic word
// cleared when it changed); one that is neither was removed when the
// configuration named it before (its topics and discovery config
// cleared), else it is gone and stays remembered, to be said offline.
// Discovery configs published under another prefix, or when discovery is
// now off, are cleared.
Reconciliation reconcile(const Remembered& before, const std::vector<SensorRow>& rows, const MqttPlan& plan);

// The memory of one broker and prefix (`target`, "host:port/prefix") in
// `directory`.
class MqttMemory {
 public:
  MqttMemory(std::string directory, std::string target);

  // What was remembered; nothing when there is no file (or no directory).
  // A file that cannot be read or used is said in `trouble`, and counts
  // as nothing remembered.
  Remembered load(std::string& trouble) const;
  // Writes a temporary file beside it and renames it over the memory;
  // false with the reason in `trouble` when that fails.
  bool save(const Remembered& memory, std::string& trouble) const;

  const std::string& file() const { return file_; }

 private:
  std::string directory_, target_, file_;
};

}  // namespace qvtool
