// A 1-Wire bus as a C++ program uses it, beside the component: open it by
// adapter and port, search it, measure every thermometer on it, or read
// one. No message loop: each call has a synchronous form that returns a
// Result, with a deadline and a stop token, and an asynchronous form
// whose completion runs a callback the caller gives.
//
//   auto bus = qvds::Bus::open("ds2480b", "/dev/ttyUSB0");
//   if (!bus) return fail(bus.message());
//   auto m = bus->measure();
//   for (const qvds::Reading& r : m->readings)
//     if (r.ok()) std::printf("%s %.4f\n", qvds::format_rom(r.rom, qvds::RomForm::kOwfs).c_str(), *r.celsius);
//
// Each Bus runs its calls one at a time, in the order they were made, on a
// thread of its own; several buses work at the same time (measure_all).
//
// Thread safety: every member of Bus may be called from any thread at
// any time, concurrently too; calls on one bus are queued. Completion
// callbacks run on the bus's own thread, one at a time: they may call
// the bus again (a synchronous call made there runs at once, in place),
// and should return soon, since the bus waits for them.
#pragma once

#include "qvds18x20/export.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "onewire/builtin_driver.hpp"
#include "onewire/link.hpp"
#include "rtl/clock.hpp"
#include "qvds/doctor.hpp"
#include "qvds/reading.hpp"
#include "qvds/result.hpp"
#include "qvds/rom.hpp"
#include "qvds/settings.hpp"

namespace qvds {

namespace detail {
class BusCore;
}

// How long a call may take and how it is stopped early.
struct QVDS_API CallOptions {
  // The call fails with Errc::kTimedOut once this much (real) time has
  // passed since it was made, waiting in the queue included; zero: no
  // deadline. A step of the bus already under way (one adapter exchange)
  // is finished first, so the call ends at most one exchange later.
  std::chrono::milliseconds timeout{0};
  // When a stop is requested, the call ends with Errc::kCancelled at its
  // next step (a conversion wait ends at once).
  std::stop_token stop;
};

// What opening a bus may be told beyond the adapter and the port.
struct QVDS_API OpenOptions {
  // What the built-in adapters are told (the DS2480B's rate, test
  // stand-ins for USB and I2C).
  onewire::BuiltinDriverOptions driver;
  // The bus's name in messages and results; empty: the port as given.
  std::string name;
  // The 1-Wire speed the bus runs at; an adapter that cannot run it is
  // Errc::kNotOffered.
  onewire::Speed speed = onewire::Speed::kNormal;
  // Where the engine's own waits go (conversions, EEPROM writes), which
  // the devices' clock must agree with; null: rtl::GetClock(). For tests
  // and benchmarks that skip the conversion time but keep the adapter's.
  rtl::Clock* clock = nullptr;
};

// What a measurement covers.
struct QVDS_API MeasureOptions {
  // Only these devices are read (all of them convert: the conversion is
  // bus-wide); empty: every device known. A device asked for that is not
  // on the bus is reported with ReadStatus::kNotSelected.
  std::vector<Rom> only;
  // With `only`: the devices of it this bus does not know (after its
  // search) are left out, not reported as not selected: for a list of
  // sensors that lie on several buses.
  bool skip_unknown = false;
  // Search the bus first even when devices are known (a device was
  // replaced); with no device known, the search is made anyway.
  bool search = false;
};

template <typename T>
using Completion = std::function<void(Result<T>)>;

// A handle on one open bus. Move-only; the bus closes when its last
// handle is destroyed or close() is called.
class QVDS_API Bus {
 public:
  // --- opening ---
  // Opens `port` through the adapter named `adapter` (a name of the
  // adapter table: "passive", "ds2480b", "usb", "ds2482", "w1", or "auto"
  // to detect the serial adapter on a serial port). Ports are named as
  // the tool takes them: COM3, /dev/ttyUSB0, USB1, /dev/i2c-1:0x18:3,
  // w1_bus_master1.
  static Result<Bus> open(std::string_view adapter, std::string_view port, const OpenOptions& options = {});
  // The same by the component's adapter type number (1, 5, 6, 8, 9).
  static Result<Bus> open(int adapter_type, std::string_view port, const OpenOptions& options = {});
  // Takes over any link (the simulated bus's, a test's); opens it when it
  // is not open yet. `name` names the bus in messages and results.
  static Result<Bus> adopt(std::unique_ptr<onewire::Link> link, std::string name);
  // The same with the options (OpenOptions::name names it).
  static Result<Bus> adopt(std::unique_ptr<onewire::Link> link, const OpenOptions& options);

  // A closed handle: every call fails with Errc::kClosed.
  Bus() = default;
  ~Bus();
  Bus(Bus&&) noexcept;
  Bus& operator=(Bus&&) noexcept;
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Closes the bus: the call under way ends at its next step, calls still
  // queued fail with Errc::kClosed (their callbacks run with it), the
  // adapter's port is released. Waits until all of that is done, unless
  // called from a completion callback of this bus, where it only starts
  // it. A closed bus answers every call at once with Errc::kClosed (an
  // asynchronous call runs its callback on the calling thread). Closing
  // twice does nothing.
  void close();
  // Not closed (and not moved from).
  bool is_open() const;

  // The bus's name (OpenOptions::name, or the port as given); the
  // adapter in words; "" for a closed handle.
  std::string name() const;
  std::string adapter() const;
  // Whether the adapter can feed parasite-powered thermometers.
  bool has_strong_pullup() const;
  // The serial rate the adapter runs at, as it opened; 0 without one.
  int serial_baud() const;

  // --- the bus ---
  // Searches the bus (no limit on the number of devices: the search is
  // repeated until two complete walks agree) and asks the thermometers
  // how they are powered. An empty bus is Errc::kNoDevices.
  Result<std::vector<Device>> search(const CallOptions& call = {});
  void search_async(Completion<std::vector<Device>> done, const CallOptions& call = {});

  // The devices the last search found; empty before the first.
  std::vector<Device> devices() const;

  // One conversion on every device at once, then each thermometer's
  // scratchpad read and judged. Searches first when no device is known.
  // The wait follows the devices: polled until they are done where every
  // thermometer is powered, the strong pull-up for the longest time
  // their resolutions allow where any is parasite-powered. Nothing is
  // written to any device.
  Result<Measurement> measure(const MeasureOptions& what = {}, const CallOptions& call = {});
  void measure_async(Completion<Measurement> done, const MeasureOptions& what = {}, const CallOptions& call = {});

  // One sensor alone: a conversion of that sensor only, then its read.
  // Errc::kNotOnBus when it does not answer, kNotThermometer for a device
  // without one; otherwise the Reading says how it went.
  Result<Reading> read(const Rom& rom, const CallOptions& call = {});
  void read_async(const Rom& rom, Completion<Reading> done, const CallOptions& call = {});

  // The scratchpad of one sensor as it stands, read without a
  // conversion: the value of the last conversion it made (its power-on
  // value when it made none).
  Result<Reading> read_latest(const Rom& rom, const CallOptions& call = {});
  void read_latest_async(const Rom& rom, Completion<Reading> done, const CallOptions& call = {});

  // --- settings ---
  // One sensor's settings. `eeprom`: compare them with its EEPROM as
  // well (RECALL E2, then the scratchpad put back as it was).
  Result<SensorSettings> settings(const Rom& rom, bool eeprom = false, const CallOptions& call = {});
  void settings_async(const Rom& rom, bool eeprom, Completion<SensorSettings> done, const CallOptions& call = {});
  // Changes a sensor's resolution or thresholds in its scratchpad (not in
  // its EEPROM): read, changed, written with the other bytes kept, read
  // back. A sensor that does not take the change is Errc::kRefused (or
  // kNotOffered for a resolution on a part without one) and is left as
  // it was. The settings now in force.
  Result<SensorSettings> change_settings(const Rom& rom, const SettingsChange& change, const CallOptions& call = {});
  void change_settings_async(const Rom& rom, const SettingsChange& change, Completion<SensorSettings> done,
                             const CallOptions& call = {});
  // Saves a sensor's scratchpad settings to its EEPROM, only when the
  // EEPROM holds something else (RECALL E2 and compare first), with the
  // strong pull-up for 10 ms on a parasite sensor and 10 ms left idle on
  // a powered one, and checks the save by RECALL E2 and a read. A part
  // whose EEPROM did not keep them is Errc::kRefused.
  Result<SaveOutcome> save_settings(const Rom& rom, const CallOptions& call = {});
  void save_settings_async(const Rom& rom, Completion<SaveOutcome> done, const CallOptions& call = {});
  // One conversion of every device, then ALARM SEARCH: the devices at or
  // beyond a threshold.
  Result<AlarmResult> alarm_search(const CallOptions& call = {});
  void alarm_search_async(Completion<AlarmResult> done, const CallOptions& call = {});

  // --- the doctor ---
  // Every device of the bus and what it is (doctor.hpp): presence and
  // shorts, several searches, and each thermometer's family, settings,
  // conversion time and CRC error rate, with advice. Writes only the
  // scratchpad, never the EEPROM, and puts each sensor's TH, TL and
  // configuration back as found. Takes a few seconds per sensor; the
  // call's stop token or deadline ends it between steps (a sensor under
  // test gets its registers back first).
  Result<BusReport> diagnose(const DoctorOptions& options = {}, const CallOptions& call = {});
  void diagnose_async(Completion<BusReport> done, const DoctorOptions& options = {}, const CallOptions& call = {});

  // The engine's state, for the functions that work on several buses.
  const std::shared_ptr<detail::BusCore>& core() const { return core_; }

 private:
  explicit Bus(std::shared_ptr<detail::BusCore> core);
  std::shared_ptr<detail::BusCore> core_;
};

// Measures several buses at once: their conversions, waits and reads run
// at the same time, so a round takes about as long as the slowest bus.
// One result per bus, in order (a closed bus gives Errc::kClosed; a bus
// that fails does not stop the others). Buses that share one adapter
// chip (the channels of a DS2482-800) share its time as the chip allows.
QVDS_API std::vector<Result<Measurement>> measure_all(std::span<Bus* const> buses, const MeasureOptions& what = {},
                                                       const CallOptions& call = {});

}  // namespace qvds
