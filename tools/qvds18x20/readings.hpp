// The component's sensor list as the tool's rows: each device's ROM in
// the form asked for, its model, the configuration's name and offset
// applied to its exact value and its bounds checked (sensor_checks.hpp),
// and for every device not read the reason in words.
#pragma once

#include <map>
#include <vector>

#include "qvds18x20/bus_session.hpp"
#include "qvds18x20/config_file.hpp"
#include "qvds18x20/output.hpp"
#include "qvds18x20/rom_id.hpp"

namespace qvtool {

struct RowSettings {
  IdFormat id_format = IdFormat::kQvds;
  std::map<onewire::Rom, SensorSettings> sensors;  // from the configuration file
};

// The rows of the component's list. `measured`: after a measurement, with
// every device's outcome; otherwise (a listing) devices only.
std::vector<SensorRow> rows_of(const Component& c, const RowSettings& settings, bool measured);

}  // namespace qvtool
