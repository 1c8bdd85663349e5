// What the engine does on a bus: the search, a measurement, a read of one
// sensor. Each runs on the bus's own thread, alone on its link, and
// judges every scratchpad by the thermometer rules (onewire/ds18x20).
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "onewire/link.hpp"
#include "qvds/bus.hpp"
#include "qvds/detail/context.hpp"
#include "qvds/reading.hpp"
#include "qvds/result.hpp"

namespace qvds::detail {

// What a bus knows, touched by its thread alone.
struct BusState {
  std::unique_ptr<onewire::Link> link;
  std::string name;  // for messages
  bool searched = false;
  std::vector<Device> devices;
  // The resolution each thermometer held when last read: its conversion
  // time. Unknown ones count as 12 bits.
  std::map<Rom, int> resolution;
};

Result<std::vector<Device>> search(BusState& bus, const OpContext& ctx);
Result<Measurement> measure(BusState& bus, const OpContext& ctx, const MeasureOptions& what);
Result<Reading> read_one(BusState& bus, const OpContext& ctx, const Rom& rom);
Result<Reading> read_latest(BusState& bus, const OpContext& ctx, const Rom& rom);

// --- settings (settings.cpp) ---
Result<SensorSettings> read_settings(BusState& bus, const OpContext& ctx, const Rom& rom, bool eeprom);
Result<SensorSettings> change_settings(BusState& bus, const OpContext& ctx, const Rom& rom,
                                       const SettingsChange& change);
Result<SaveOutcome> save_settings(BusState& bus, const OpContext& ctx, const Rom& rom);
Result<AlarmResult> alarm_search(BusState& bus, const OpContext& ctx);

// --- the doctor (doctor.cpp) ---
Result<BusReport> diagnose(BusState& bus, const OpContext& ctx, const DoctorOptions& options);

// --- shared by the operations ---
// A call stopped by its stop token, its deadline or the bus closing.
Failure interruption(std::error_code why);
Device device_of(const Rom& rom);
const Device* find_device(const BusState& bus, const Rom& rom);
// A driver failure that ends the whole call rather than one sensor's
// read: the adapter or its port is gone, or the line is shorted.
bool fatal(int code);
// Reads a scratchpad, again while it comes back spoiled (the thermometer
// rules' count): the check's verdict (kRead: sound bytes in `pad`),
// kNotSelected when nobody answered the selection (then `got_bytes`
// stays false), kNoAnswer when the adapter failed (a failure that ends
// the call also goes to `link_error`).
ReadStatus read_pad(BusState& bus, const Rom& rom, Scratchpad& pad, bool& got_bytes, int& link_error);
// A thermometer the bus knows with its supply, or asked for it now
// (READ POWER SUPPLY, which also finds whether it is there).
Result<Device> known_or_asked(BusState& bus, const Rom& rom);

// A driver result as a failure of the bus named `name`.
Failure driver_failure(int code, const std::string& name);

}  // namespace qvds::detail
