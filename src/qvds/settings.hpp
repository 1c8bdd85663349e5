// A thermometer's settings: its resolution, its alarm thresholds, how it
// is powered and whether its EEPROM holds what its scratchpad holds; what
// a change asks for, and what a save did.
//
// Thread safety: plain values; copy them freely between threads.
#pragma once

#include "qvds18x20/export.hpp"

#include <optional>

#include "qvds/reading.hpp"
#include "qvds/rom.hpp"

namespace qvds {

// A thermometer's settings as its EEPROM keeps them.
struct QVDS_API StoredSettings {
  std::optional<int> resolution;  // nothing on a part with a fixed resolution
  int alarm_low = 0;
  int alarm_high = 0;
};

struct QVDS_API SensorSettings {
  Rom rom{};
  Model model = Model::kOther;
  PowerSupply power = PowerSupply::kUnknown;
  // Bits of resolution its conversions have (9..12); nothing on a part
  // with a fixed resolution (the DS18S20).
  std::optional<int> resolution;
  // The alarm thresholds, signed whole degrees: it alarms at or below
  // `alarm_low`, and at or above `alarm_high` (above, on a DS18S20).
  int alarm_low = 0;
  int alarm_high = 0;
  // Whether its EEPROM holds the thresholds and configuration its
  // scratchpad holds; nothing when it was not asked (the EEPROM is read
  // by RECALL E2, which reloads the scratchpad: the scratchpad is put
  // back as it was afterwards).
  std::optional<bool> eeprom_matches;
  // What the EEPROM holds, the settings it powers up with; only when it
  // was asked (as `eeprom_matches`).
  std::optional<StoredSettings> eeprom;
  // The scratchpad the settings were read from.
  Scratchpad scratchpad{};
};

// What to change; what is left empty stays as it is.
struct QVDS_API SettingsChange {
  std::optional<int> resolution;  // 9..12
  std::optional<int> alarm_low;   // -55..125 whole degrees
  std::optional<int> alarm_high;  // -55..125 whole degrees
  bool empty() const { return !resolution && !alarm_low && !alarm_high; }
};

// What a save to EEPROM did.
struct QVDS_API SaveOutcome {
  // The EEPROM differed from the scratchpad and was written (COPY
  // SCRATCHPAD); false: it held the same already, and nothing was
  // written.
  bool written = false;
  // Read back by RECALL E2 after the write: the EEPROM holds the
  // settings. Always true when nothing needed writing.
  bool verified = false;
};

// An alarm search: one conversion of every device, then ALARM SEARCH.
struct QVDS_API AlarmResult {
  // The measurement the alarm flags were set by.
  Measurement measurement;
  // The devices that answered ALARM SEARCH, in search order.
  std::vector<Rom> in_alarm;
};

}  // namespace qvds
