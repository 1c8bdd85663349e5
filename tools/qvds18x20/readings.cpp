#include "qvds18x20/readings.hpp"

#include <cmath>
#include <cstdio>

#include "onewire/commands.hpp"
#include "qvds18x20/sensor_checks.hpp"

namespace qvtool {
namespace {

std::string one_decimal(double celsius) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", celsius);
  return std::string(buf) == "-0.0" ? "0.0" : buf;
}

}  // namespace

std::vector<SensorRow> rows_of(const Component& c, const RowSettings& settings, bool measured) {
  std::vector<SensorRow> rows;
  for (int i = 0; i < c.SensorListCount(); ++i) {
    const TSensor* s = c.sensor(i);
    if (s == nullptr) continue;
    SensorRow r;
    r.index = i;
    r.romstr = s->romstr;
    r.rom = format_rom(s->rom, settings.id_format);
    r.name = s->name;
    r.model = model_name(s->rom[0]);
    r.thermometer = onewire::is_thermometer_family(s->rom[0]);
    r.power = PowerSupplyName(s->power);
    const auto configured = settings.sensors.find(s->rom);
    const SensorSettings* cfg = configured == settings.sensors.end() ? nullptr : &configured->second;
    if (cfg != nullptr) r.label = cfg->name;
    r.configured = cfg != nullptr;
    if (!measured) {
      rows.push_back(std::move(r));
      continue;
    }
    r.status = ReadStatusName(s->status);
    if (IsReading(s->status) && !s->temp.empty() && std::isfinite(s->celsius)) {
      const double offset = cfg != nullptr ? cfg->offset : 0.0;
      const double value = s->celsius + offset;
      r.celsius = value;
      r.temp = offset == 0.0 ? s->temp : one_decimal(value);
      if (s->status == rsReadMaybePowerOn) r.reason = DescribeReadStatus(s->status);
      check_bounds(r, cfg);
    } else if (s->status != rsNoThermometer) {
      r.reason = DescribeReadStatus(s->status);
      if (s->power == psParasiteUnfed)
        r.reason += "; it is parasite-powered and this adapter has no strong pull-up to feed its conversion";
    }
    rows.push_back(std::move(r));
  }
  return rows;
}

}  // namespace qvtool
