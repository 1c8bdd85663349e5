// One measurement: conversion on every device, the wait, then every known
// sensor's scratchpad read, checked and decoded.
#include <algorithm>
#include <array>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "TMGetDs18x20CountU/block_read.hpp"

namespace {
constexpr std::uint8_t kFamilyDs2401 = 0x01;
constexpr std::uint8_t kFamilyDs18b20 = 0x28;
// Reads of one scratchpad that fails its check, on drivers with the block
// exchange: noise on a long cable spoils one read, not three. The
// conversion is not repeated; the scratchpad keeps its value until the
// next one.
constexpr int kScratchpadReads = 3;

bool all_equal(const std::array<std::uint8_t, 9>& pad, std::uint8_t value) {
  return std::all_of(pad.begin(), pad.end(), [value](std::uint8_t b) { return b == value; });
}

// What nine bytes that came back say before they are decoded: a CRC that
// holds, and neither a line nobody drives (all ones) nor one held low (all
// zeros, which passes the CRC).
TReadStatus check_scratchpad(const std::array<std::uint8_t, 9>& pad) {
  if (all_equal(pad, 0xFF)) return rsNotSelected;
  if (onewire::crc8(pad.data(), pad.size()) != 0) return rsCrcError;
  if (all_equal(pad, 0x00)) return rsLineLow;
  return rsRead;
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
    for (int attempt = 0; attempt < kScratchpadReads; ++attempt) {
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
  // A sound scratchpad after a conversion that never started holds the
  // value of an earlier one.
  if (!FConversionStarted) {
    reading.status = rsNoConversion;
    return reading;
  }
  const TDecodedScratchpad decoded = DecodeScratchpad(family, pad);
  reading.status = decoded.status;
  if (IsReading(reading.status)) {
    reading.text = decoded.text;
    reading.celsius = decoded.sixteenths / 16.0;
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
