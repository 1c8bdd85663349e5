// One measurement: conversion on every device, the wait, then every known
// sensor's scratchpad read and decoded.
#include <array>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "TMGetDs18x20CountU/block_read.hpp"

namespace {
constexpr std::uint8_t kFamilyDs2401 = 0x01;
constexpr std::uint8_t kFamilyDs18b20 = 0x28;
}  // namespace

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
    if (TMRom(FSessionHandle, state, slot.data()) != 1) continue;
    // All nine bytes, so that the CRC can tell a real scratchpad from
    // line noise or a device that left the bus (all ones), and an all-zero
    // read (which passes the CRC) from a held-down line.
    std::array<std::uint8_t, 9> pad{};
    if (blocks) {
      if (slot[0] == kFamilyDs2401) continue;  // no thermometer
      const auto got = ReadScratchpadInBlocks(FSessionHandle, state, static_cast<std::uint8_t>(slot[0] & 0xFF));
      if (!got) continue;
      pad = *got;
    } else {
      std::int16_t access = TMAccess(FSessionHandle, state);
      if (slot[0] == kFamilyDs2401) continue;  // no thermometer
      if (slot[0] == kFamilyDs18b20) {
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
      if (access != 1) continue;
      if (TMTouchByte(FSessionHandle, onewire::kReadScratchpad) < 0) continue;
      bool failed = false;
      for (auto& byte : pad) {
        const std::int16_t got = TMTouchByte(FSessionHandle, 0xFF);
        if (got < 0) {
          failed = true;
          break;
        }
        byte = static_cast<std::uint8_t>(got & 0xFF);
      }
      if (failed) continue;
    }
    if (onewire::crc8(pad.data(), pad.size()) != 0) continue;
    bool all_zero = true;
    for (auto byte : pad) all_zero = all_zero && byte == 0;
    if (all_zero) continue;
    // The application may have changed the list: no entry, no store.
    const std::string text = ObliczTemp(static_cast<std::uint8_t>(slot[0] & 0xFF), pad[0], pad[1], pad[6], pad[4]);
    if (!parent.StoreTemperature(i, text)) continue;
    read_any = true;
  }

  if (read_any) {
    parent.Notify(WM_QV_TEMPERATURES);
  } else {
    Fail("POMIAR T error: #", kErrNoSensorRead);
    parent.MarkSessionLost();
  }
}
