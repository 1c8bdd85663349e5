// One measurement: conversion on every device, the wait, then every known
// sensor's scratchpad read, checked and decoded.
#include <algorithm>
#include <array>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "TMGetDs18x20CountU/block_read.hpp"
#include "onewire/ds18x20/scratchpad.hpp"

namespace {
constexpr std::uint8_t kFamilyDs2401 = 0x01;
constexpr std::uint8_t kFamilyDs18b20 = 0x28;

namespace rules = onewire::ds18x20;

TReadStatus check_scratchpad(const std::array<std::uint8_t, 9>& pad) {
  return static_cast<TReadStatus>(rules::check(pad));
}

}  // namespace

TSensorReading TMGetDsCount::ReadSensor(TWorkerHost::RomSlot& slot, bool blocks) {
  TSensorReading reading;
  void* state = FTParent->StateBuffer();
  const auto family = static_cast<std::uint8_t>(slot[0] & 0xFF);
  std::array<std::uint8_t, 9>& pad = reading.scratchpad;
  if (blocks) {
    if (family == kFamilyDs2401) {
      reading.status = rsNoThermometer;
      return reading;
    }
    // Only bytes that came back spoiled are read again; a selection
    // nobody answered or a failing driver is not mended by asking twice.
    for (int attempt = 0; attempt < rules::kScratchpadReads; ++attempt) {
      const BlockRead got = ReadScratchpadInBlocks(FSessionHandle, state, family, attempt == 0, pad);
      if (got == BlockRead::kNotSelected) {
        reading.status = rsNotSelected;
        return reading;
      }
      if (got == BlockRead::kFailed) {
        reading.status = rsNoAnswer;
        return reading;
      }
      reading.status = check_scratchpad(pad);
      if (reading.status == rsRead) break;
    }
  } else {
    // The vendor's library (and any driver without the block exchange)
    // gets the byte-wise calls, and one read.
    std::int16_t access = TMAccess(FSessionHandle, state);
    if (family == kFamilyDs2401) {
      reading.status = rsNoThermometer;
      return reading;
    }
    if (family == kFamilyDs18b20) {
      // TH, TL, configuration: 12-bit resolution for the conversions to
      // come. The write needs its own reset and selection afterwards.
      TMTouchByte(FSessionHandle, onewire::kWriteScratchpad);
      TMTouchByte(FSessionHandle, 0xFF);
      TMTouchByte(FSessionHandle, 0xFF);
      TMTouchByte(FSessionHandle, 0xFF);
      TMTouchReset(FSessionHandle);
      TMRom(FSessionHandle, state, slot.data());
      access = TMAccess(FSessionHandle, state);
    }
    if (access != 1) {
      reading.status = rsNotSelected;
      return reading;
    }
    if (TMTouchByte(FSessionHandle, onewire::kReadScratchpad) < 0) {
      reading.status = rsNoAnswer;
      return reading;
    }
    for (auto& byte : pad) {
      const std::int16_t got = TMTouchByte(FSessionHandle, 0xFF);
      if (got < 0) {
        reading.status = rsNoAnswer;
        return reading;
      }
      byte = static_cast<std::uint8_t>(got & 0xFF);
    }
    reading.status = check_scratchpad(pad);
  }
  if (reading.status != rsRead) return reading;
  rules::RomBytes rom{};
  for (std::size_t k = 0; k < rom.size(); ++k) rom[k] = static_cast<std::uint8_t>(slot[k] & 0xFF);
  // The measurement converts every sensor once: a value the scratchpad
  // cannot vouch for stays unconfirmed.
  const rules::Decoded decoded = rules::judge(rom, pad, FConversionStarted);
  reading.status = ToReadStatus(decoded.status);
  if (IsReading(reading.status)) {
    reading.text = ObliczTemp(family, pad[0], pad[1], pad[6], pad[4]);
    reading.celsius = decoded.celsius();
  }
  return reading;
}

void TMGetDsCount::PomiarTemperatury() {
  CheckValidSession();
  TWorkerHost& parent = *FTParent;
  if (parent.SensorCount() == 0) OpcjaGetDscnt();
  if (parent.SensorCount() == 0) {
    parent.SensorCountFromWorker();
    return;
  }
  RozkazPomiaruDoDS();
  Synchronize([&parent] { parent.StartCommand(); });
  Sleep(kConversionWaitMs);
  Synchronize([&parent] { parent.StartRead(); });

  bool read_any = false;
  void* state = parent.StateBuffer();
  const int n = parent.SensorCount();
  // Fewer adapter round trips where the driver can do it; a driver
  // without it (the vendor's) gets the byte-wise calls.
  const bool blocks = QvBlockExchangeOffered();
  for (int i = 0; i < n; ++i) {
    TWorkerHost::RomSlot& slot = parent.Slot(i);
    TSensorReading reading;
    if (TMRom(FSessionHandle, state, slot.data()) != 1) {
      reading.status = rsNotSelected;
    } else {
      reading = ReadSensor(slot, blocks);
      // A sensor the adapter cannot feed never converted: whatever it
      // holds is its power-on value.
      const auto power = static_cast<rules::PowerSupply>(parent.PowerOf(i));
      reading.status = ToReadStatus(rules::with_power(static_cast<rules::ReadStatus>(reading.status), power));
    }
    // The application may have changed the list: no entry, no store.
    if (IsReading(reading.status)) {
      if (!parent.StoreTemperature(i, reading.text)) continue;
      read_any = true;
    }
    parent.StoreOutcome(i, reading);
  }

  if (read_any) {
    parent.Notify(WM_QV_TEMPERATURES);
  } else {
    Fail("POMIAR T error: #", kErrNoSensorRead);
    parent.MarkSessionLost();
  }
}
