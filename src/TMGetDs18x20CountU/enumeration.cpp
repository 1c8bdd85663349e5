// Walking the bus: every device's ROM into a slot and a sensor entry.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/sysutils.hpp"

void TMGetDsCount::OpcjaGetDscnt() {
  CheckValidSession();
  TWorkerHost& parent = *FTParent;
  TMTouchReset(FSessionHandle);
  // Every enumeration also starts a conversion on every sensor.
  RozkazPomiaruDoDS();
  parent.SetSensorCount(0);
  parent.SetSensorOverflow(false);
  parent.ClearSensors();
  TMTouchReset(FSessionHandle);

  std::int16_t result = TMFirst(FSessionHandle, parent.StateBuffer());
  if (result != 1) {
    Fail("Thread TMFirst error: " + IntToStr(result), result);
    return;
  }
  parent.Slot(0)[0] = 0;
  result = TMRom(FSessionHandle, parent.StateBuffer(), parent.Slot(0).data());
  if (result != 1) {
    Fail("Thread TMRom error: " + IntToStr(result), result);
    return;
  }
  DodajCzujnik();
  parent.SetSensorCount(parent.SensorCount() + 1);

  while (TMNext(FSessionHandle, parent.StateBuffer()) == 1) {
    const int count = parent.SensorCount();
    if (count == kMaxSensors) {
      // No slot is left: the walk ends as a completed search with the
      // first 21 devices, and the component remembers that there were more.
      parent.SetSensorOverflow(true);
      break;
    }
    parent.Slot(count)[0] = 0;
    result = TMRom(FSessionHandle, parent.StateBuffer(), parent.Slot(count).data());
    if (result != 1) {
      Fail("Thread TMRom error: " + IntToStr(result), result);
      break;
    }
    DodajCzujnik();
    parent.SetSensorCount(count + 1);
  }
  parent.Notify(WM_QV_SENSOR_COUNT);
}

void TMGetDsCount::DodajCzujnik() {
  TWorkerHost& parent = *FTParent;
  const TWorkerHost::RomSlot& slot = parent.Slot(parent.SensorCount());
  std::string text;
  for (int k = 7; k >= 0; --k) text += IntToHex(slot[static_cast<std::size_t>(k)], 2);
  std::array<std::uint8_t, 8> rom{};
  for (std::size_t k = 0; k < 8; ++k) rom[k] = static_cast<std::uint8_t>(slot[k] & 0xFF);
  const std::string family = text.substr(14, 2);
  std::string name;
  if (family == "28") {
    name = "DS18B20";
  } else if (family == "10") {
    name = "DS18s20";
  } else if (family == "01") {
    name = "DS2401";
  } else {
    name = "DS18S20";
  }
  parent.AddFoundSensor(rom, name, text);
  // The search that found it also asked our drivers how it is powered.
  TPowerSupply power = psUnknown;
  switch (QvDevicePower(FSessionHandle, parent.StateBuffer())) {
    case onewire::kPowerExternal: power = psExternal; break;
    case onewire::kPowerParasite: power = psParasite; break;
    case onewire::kPowerUnfed: power = psParasiteUnfed; break;
    default: break;
  }
  parent.StorePower(parent.SensorCount(), power);
}
