// The engine's results as the tool's rows: each device's ROM in the form
// asked for, its model and bus, the configuration's name, offset and
// bounds applied to its exact value, and for every device not read the
// reason in words.
#pragma once

#include <map>
#include <vector>

#include "qvds/bus.hpp"
#include "qvds18x20/buses.hpp"
#include "qvds18x20/config_file.hpp"
#include "qvds18x20/output.hpp"
#include "qvds18x20/rom_id.hpp"

namespace qvtool {

struct RowSettings {
  IdFormat id_format = IdFormat::kQvds;
  std::map<onewire::Rom, SensorSettings> sensors;  // from the configuration file
};

// The row of a device a search found on `bus`.
SensorRow device_row(const qvds::Device& device, const OpenedBus& bus, const RowSettings& settings, int index);

// The row of one reading on `bus`: its value with the configuration's
// offset, checked against its bounds.
SensorRow reading_row(const qvds::Reading& reading, const OpenedBus& bus, const RowSettings& settings, int index);

// The rows of one round: every bus's readings in order, indexed across
// the buses.
std::vector<SensorRow> round_rows(const std::vector<OpenedBus>& buses,
                                  const std::vector<qvds::Result<qvds::Measurement>>& results,
                                  const RowSettings& settings);

// A sensor as messages name it: "sensor 3 (28.FF6B3C911604, DS18B20,
// boiler flow, on /dev/ttyUSB0)".
std::string sensor_text(const SensorRow& row, bool with_bus);

}  // namespace qvtool
