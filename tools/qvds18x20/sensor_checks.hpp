// What the tool says of a sensor beyond the component's reading: a value
// outside the bounds it may take (a problem shown, never a value hidden),
// and a sensor the configuration names that is not on the bus.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "qvds18x20/config_file.hpp"
#include "qvds18x20/output.hpp"
#include "qvds18x20/rom_id.hpp"

namespace qvtool {

// The outcome names these checks give a row (SensorRow::status).
inline constexpr const char* kOutOfBounds = "out_of_bounds";
inline constexpr const char* kMissing = "missing";

// A read row's value outside its bounds keeps its value and is flagged:
// status out_of_bounds, and the reason says what it read and the bounds.
// Rows not read are left alone.
void check_bounds(SensorRow& row, const SensorSettings* settings);

// True when a row holds a value outside its bounds.
bool out_of_bounds(const SensorRow& row);

// Rows for the sensors the configuration names that `rows` do not hold
// (not on the bus): status missing, no index (-1), no value.
std::vector<SensorRow> missing_rows(const std::vector<SensorRow>& rows,
                                    const std::map<onewire::Rom, SensorSettings>& sensors, IdFormat id_format);

// The warnings for missing rows, each sensor once a run: `warned` keeps
// the ROMs said already.
std::vector<std::string> missing_warnings(const std::vector<SensorRow>& rows, std::set<std::string>& warned);

}  // namespace qvtool
