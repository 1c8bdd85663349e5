// The worker thread: one bus operation of a TQvDs18x20 (enumerate the bus,
// start a conversion, or convert and read every sensor), run off the main
// thread. Results travel back through the component's hidden window and
// through Synchronize; the worker frees itself when it ends.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "rtl/thread.hpp"

class TQvDs18x20;

enum TOpcje : std::uint8_t { getDScnt = 0, setMeasure = 1, getTemp = 2 };

// Tenths digit for k sixteenths of a degree (k*10/16 rounded, the exact
// halves 2.5 and 7.5 rounded down).
extern const std::array<std::uint8_t, 16> Ft_tab;

// The conversion wait of a measurement, whatever the resolution.
inline constexpr unsigned kConversionWaitMs = 750;

class TMGetDsCount : public TThread {
 public:
  TMGetDsCount(void* parent, std::int32_t _session_handle, bool Suspended);
  ~TMGetDsCount() override = default;

  TOpcje opcja = getDScnt;

  // True when `component` started this worker.
  bool StartedBy(const void* component) const { return FTParent == component; }

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
  void PostToParent(std::uint32_t msg);
  TQvDs18x20& Parent() const;

  std::int32_t FSessionHandle;
  void* FTParent;
};
