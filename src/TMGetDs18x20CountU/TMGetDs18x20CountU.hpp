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

  std::int32_t FSessionHandle;
  TWorkerHost* FTParent;
};
