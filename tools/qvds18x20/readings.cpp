#include "qvds18x20/readings.hpp"

#include <cmath>
#include <cstdio>

#include "qvds18x20/sensor_checks.hpp"

namespace qvtool {
namespace {

std::string one_decimal(double celsius) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", celsius);
  return std::string(buf) == "-0.0" ? "0.0" : buf;
}

const SensorSettings* settings_of(const RowSettings& settings, const onewire::Rom& rom) {
  const auto it = settings.sensors.find(rom);
  return it == settings.sensors.end() ? nullptr : &it->second;
}

SensorRow base_row(const onewire::Rom& rom, qvds::PowerSupply power, const OpenedBus& bus, const RowSettings& settings,
                   int index) {
  SensorRow r;
  r.index = index;
  r.romstr = format_rom(rom, IdFormat::kQvds);
  r.rom = format_rom(rom, settings.id_format);
  r.model = model_name(rom[0]);
  r.name = r.model;
  r.thermometer = onewire::ds18x20::is_thermometer(rom[0]);
  r.power = qvds::power_name(power);
  r.bus = bus.label;
  r.bus_key = bus.key;
  r.port = bus.port_label;
  r.adapter = bus.adapter;
  if (const SensorSettings* s = settings_of(settings, rom)) {
    r.label = s->name;
    r.configured = true;
  }
  return r;
}

}  // namespace

SensorRow device_row(const qvds::Device& device, const OpenedBus& bus, const RowSettings& settings, int index) {
  return base_row(device.rom, device.power, bus, settings, index);
}

SensorRow reading_row(const qvds::Reading& reading, const OpenedBus& bus, const RowSettings& settings, int index) {
  SensorRow r = base_row(reading.rom, reading.power, bus, settings, index);
  r.status = qvds::status_name(reading.status);
  const SensorSettings* cfg = settings_of(settings, reading.rom);
  if (reading.ok()) {
    const double value = *reading.celsius + (cfg != nullptr ? cfg->offset : 0.0);
    r.celsius = value;
    r.temp = one_decimal(value);
    r.reason = reading.reason;
    r.alarm = reading.alarm;
    check_bounds(r, cfg);
  } else if (reading.status != qvds::ReadStatus::kNoThermometer) {
    r.reason = reading.reason.empty() ? qvds::describe(reading.status) : reading.reason;
    // A value it holds that is no measurement is said, never shown as one.
    if (reading.status == qvds::ReadStatus::kUnconfirmed && reading.celsius)
      r.reason = "it holds " + one_decimal(*reading.celsius) +
                 ", which is also its power-on value, and nothing showed that it converted (a clone whose scratchpad "
                 "cannot tell the two apart)";
  }
  return r;
}

std::vector<SensorRow> round_rows(const std::vector<OpenedBus>& buses,
                                  const std::vector<qvds::Result<qvds::Measurement>>& results,
                                  const RowSettings& settings) {
  std::vector<SensorRow> rows;
  int index = 0;
  for (std::size_t i = 0; i < buses.size() && i < results.size(); ++i) {
    if (!results[i]) continue;
    for (const qvds::Reading& reading : results[i]->readings)
      rows.push_back(reading_row(reading, buses[i], settings, index++));
  }
  return rows;
}

std::string sensor_text(const SensorRow& r, bool with_bus) {
  std::string text = "sensor ";
  if (r.index >= 0) text += std::to_string(r.index) + " ";
  text += "(" + r.rom + ", " + r.model + (r.label.empty() ? "" : ", " + r.label);
  if (with_bus && !r.bus.empty()) text += ", on " + r.bus;
  return text + ")";
}

}  // namespace qvtool
