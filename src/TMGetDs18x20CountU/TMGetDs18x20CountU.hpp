// The worker thread: one bus operation (enumerate the bus, start a
// conversion, or convert and read every sensor), run off the main thread.
// Results travel back through the host's notifications and through
// Synchronize; the worker frees itself when it ends.
//
// The worker knows the component only as a TWorkerHost: the narrow
// interface below is everything it may read or write of it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "qvds18x20/export.hpp"
#include "rtl/thread.hpp"

enum TOpcje : std::uint8_t { getDScnt = 0, setMeasure = 1, getTemp = 2 };

// Notifications the worker posts to its host's hidden window.
inline constexpr std::uint32_t WM_QV_SENSOR_COUNT = 1001;
inline constexpr std::uint32_t WM_QV_WORKER_ERROR = 1002;
inline constexpr std::uint32_t WM_QV_RESERVED = 1003;
inline constexpr std::uint32_t WM_QV_TEMPERATURES = 1004;

// Devices one enumeration records: one ROM slot each.
inline constexpr int kMaxSensors = 21;

// The result code that goes with "POMIAR T error: #": a measurement in
// which no sensor could be read. Outside the driver's own codes.
inline constexpr std::int32_t kErrNoSensorRead = -1000;

// Tenths digit for k sixteenths of a degree (k*10/16 rounded, the exact
// halves 2.5 and 7.5 rounded down).
QVDS_API extern const std::array<std::uint8_t, 16> Ft_tab;

// The conversion wait of a measurement, whatever the resolution.
inline constexpr unsigned kConversionWaitMs = 750;

// What the last measurement made of one device. Only rsRead and
// rsReadMaybePowerOn are readings: every other outcome leaves the device's
// temperature text as it was, and says why.
enum TReadStatus : std::uint8_t {
  rsNotMeasured = 0,    // no measurement has looked at it yet
  rsRead,               // read and plausible
  rsReadMaybePowerOn,   // read: a DS18S20 at 85.0 with COUNT REMAIN 0x0C, which may be its power-on value
  rsNoThermometer,      // a device without a thermometer (DS2401)
  rsNotSelected,        // it did not answer its selection: gone from the bus
  rsNoAnswer,           // the driver failed while its scratchpad was read
  rsCrcError,           // its scratchpad failed the CRC check every time it was read
  rsLineLow,            // an all-zero scratchpad: something holds the line low
  rsPowerOnValue,       // the power-on value (85.0, byte 6 0x0C): the sensor did not convert
  rsConversionFailed,   // 0x07FF with byte 6 0x0C (127.94, above its range): a failed conversion
  rsNoConversion,       // the conversion command did not reach the bus: what it holds is old
  rsUnconfirmed,        // a value its power-on value looks the same as (85.0 on most clones): not taken as a reading
};

// How a device is powered, as our drivers find it at enumeration.
enum TPowerSupply : std::uint8_t {
  psUnknown = 0,     // not asked (the driver cannot tell, or no thermometer)
  psExternal,        // on its VDD pin
  psParasite,        // on the line's charge; the adapter feeds its conversions
  psParasiteUnfed,   // on the line's charge, and the adapter has no strong pull-up: it cannot convert
};

namespace onewire::ds18x20 {
enum class ReadStatus : std::uint8_t;
}
// The outcome of the thermometer rules (onewire/ds18x20/scratchpad.hpp)
// as the component's list names it.
QVDS_API TReadStatus ToReadStatus(onewire::ds18x20::ReadStatus status);

// A short name of the outcome, for machine-readable output ("read",
// "crc_error", "power_on_value", ...), and the outcome in words.
QVDS_API const char* ReadStatusName(TReadStatus status);
QVDS_API std::string DescribeReadStatus(TReadStatus status);
// True for the outcomes that are readings.
inline bool IsReading(TReadStatus status) { return status == rsRead || status == rsReadMaybePowerOn; }
QVDS_API const char* PowerSupplyName(TPowerSupply power);

// One device's outcome of a measurement: what came back, and what it
// means. `text` and `celsius` hold the reading when IsReading(status).
struct TSensorReading {
  TReadStatus status = rsNotMeasured;
  std::array<std::uint8_t, 9> scratchpad{};  // as read, CRC last (all 0 when nothing came back)
  std::string text;                          // as the component's temperature text, "21.0"
  double celsius = 0;                        // the exact value, 21.0625
};

// The scratchpad of a thermometer of `family` decoded: its exact value in
// sixteenths of a degree (a DS18B20 at its resolution, a DS18S20 at its
// extended resolution) and whether the bytes are a reading at all (the
// power-on value, a failed conversion), for a scratchpad whose CRC holds.
struct TDecodedScratchpad {
  TReadStatus status = rsRead;
  std::int32_t sixteenths = 0;
  std::string text;
};
QVDS_API TDecodedScratchpad DecodeScratchpad(std::uint8_t family, const std::array<std::uint8_t, 9>& pad);

// What a worker may use of the component that started it. The worker
// calls these on its own thread, except SetBusy, StartCommand and
// StartRead, which it runs on the main thread through Synchronize. While
// the host is Busy the worker owns the slots, the state buffer and the
// sensor list; the host makes the rest safe to share.
class QVDS_API TWorkerHost {
 public:
  // 8 words in the driver's ROM-buffer form: one ROM byte in the low
  // byte of each, word 0 the family code.
  using RomSlot = std::array<std::uint16_t, 8>;

  virtual RomSlot& Slot(int index) = 0;  // 0 .. kMaxSensors-1
  virtual void* StateBuffer() = 0;       // the driver's state buffer of the session

  virtual std::int32_t SensorCount() const = 0;
  virtual void SetSensorCount(std::int32_t count) = 0;
  // The last enumeration found more devices than there are slots.
  virtual void SetSensorOverflow(bool overflow) = 0;

  virtual void ClearSensors() = 0;
  // Appends a device found on the bus to the sensor list.
  virtual void AddFoundSensor(const std::array<std::uint8_t, 8>& rom, const std::string& name,
                              const std::string& romstr) = 0;
  // Stores the temperature text of list entry `index`; false when the
  // entry is not there (the application changed the list).
  virtual bool StoreTemperature(std::int32_t index, const std::string& text) = 0;
  // What the measurement made of entry `index`, read or not, after its
  // StoreTemperature when it was read.
  virtual void StoreOutcome(std::int32_t index, const TSensorReading& reading) { (void)index, (void)reading; }
  // How entry `index`, just found, is powered.
  virtual void StorePower(std::int32_t index, TPowerSupply power) { (void)index, (void)power; }
  // How entry `index` is powered, as StorePower left it.
  virtual TPowerSupply PowerOf(std::int32_t index) const {
    (void)index;
    return psUnknown;
  }

  // The text and result code of a failure; they replace the last ones.
  virtual void SetError(const std::string& text, std::int32_t code) = 0;
  // The result code of the last failure.
  virtual std::int32_t ErrorCode() const = 0;
  // Posts one of the WM_QV_ notifications to the host's hidden window.
  virtual void Notify(std::uint32_t message) = 0;

  // Opens the session anew on the worker's thread (its events fire
  // there). True and the new handle when the session is active.
  virtual bool ReopenSession(std::int32_t& handle) = 0;
  // The measurement read no sensor: the session no longer counts as
  // active and the host forgets its sensor count.
  virtual void MarkSessionLost() = 0;
  // The session handle the worker ended with, after failures too.
  virtual void HandBack(std::int32_t handle) = 0;

  virtual void SetBusy() = 0;
  virtual void StartCommand() = 0;  // fires OnStartCommand
  virtual void StartRead() = 0;     // fires OnStartRead
  // Fires OnGetSensorCount on the worker's own thread: a measurement that
  // found no sensor at all.
  virtual void SensorCountFromWorker() = 0;

 protected:
  ~TWorkerHost() = default;
};

class QVDS_API TMGetDsCount : public TThread {
 public:
  TMGetDsCount(TWorkerHost* parent, std::int32_t _session_handle, bool Suspended);
  ~TMGetDsCount() override = default;

  TOpcje opcja = getDScnt;

  // True when `host` started this worker.
  bool StartedBy(const TWorkerHost* host) const { return FTParent == host; }

  // Temperature text (such as "25.1" or "-0.5") from the scratchpad bytes
  // of one sensor: family code, temperature low and high bytes, COUNT
  // REMAIN (used for family 0x10) and configuration (used for 0x28).
  static std::string ObliczTemp(std::uint8_t family, std::uint8_t lo, std::uint8_t hi, std::uint8_t count_remain,
                                std::uint8_t config);

 protected:
  void Execute() override;

 private:
  void CheckValidSession();
  void OpcjaGetDscnt();
  void DodajCzujnik();
  void RozkazPomiaruDoDS();
  void PomiarTemperatury();
  void Fail(const std::string& text, std::int32_t code);
  TSensorReading ReadSensor(TWorkerHost::RomSlot& slot, bool blocks);

  std::int32_t FSessionHandle;
  TWorkerHost* FTParent;
  // The last conversion command reached the devices: what the scratchpads
  // hold afterwards is new.
  bool FConversionStarted = false;
};
