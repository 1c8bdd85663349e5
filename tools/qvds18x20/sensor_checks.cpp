#include "qvds18x20/sensor_checks.hpp"

#include "onewire/commands.hpp"

namespace qvtool {

void check_bounds(SensorRow& row, const SensorSettings* settings) {
  if (!row.celsius) return;
  const double low = settings != nullptr && settings->min ? *settings->min : kPartMin;
  const double high = settings != nullptr && settings->max ? *settings->max : kPartMax;
  const double value = *row.celsius;
  if (value >= low && value <= high) return;
  const bool below = value < low;
  const bool configured = settings != nullptr && (below ? settings->min : settings->max);
  row.status = kOutOfBounds;
  row.reason = "it read " + celsius_text(value) + ", " + (below ? "below" : "above") + " its bounds " +
               celsius_text(low) + " to " + celsius_text(high) +
               (configured ? std::string(" (its ") + (below ? "min" : "max") + ", from the configuration)"
                           : std::string(" (the part's range)"));
}

bool out_of_bounds(const SensorRow& row) { return row.status == kOutOfBounds; }

std::vector<SensorRow> missing_rows(const std::vector<SensorRow>& rows,
                                    const std::map<onewire::Rom, SensorSettings>& sensors, IdFormat id_format) {
  std::set<std::string> present;
  for (const auto& r : rows) present.insert(r.romstr);
  std::vector<SensorRow> missing;
  for (const auto& [rom, settings] : sensors) {
    SensorRow r;
    r.romstr = format_rom(rom, IdFormat::kQvds);
    if (present.count(r.romstr) != 0) continue;
    r.index = -1;
    r.rom = format_rom(rom, id_format);
    r.model = model_name(rom[0]);
    r.name = r.model;
    r.label = settings.name;
    r.configured = true;
    r.thermometer = onewire::is_thermometer_family(rom[0]);
    r.status = kMissing;
    r.reason = "the configuration names it, and it is not on the bus";
    r.power = "unknown";
    missing.push_back(std::move(r));
  }
  return missing;
}

std::vector<std::string> missing_warnings(const std::vector<SensorRow>& rows, std::set<std::string>& warned) {
  std::vector<std::string> warnings;
  for (const auto& r : rows)
    if (r.status == kMissing && warned.insert(r.romstr).second)
      warnings.push_back("sensor " + r.rom + (r.label.empty() ? "" : " (" + r.label + ")") +
                         " is in the configuration but not on the bus: every output shows it as missing");
  return warnings;
}

}  // namespace qvtool
