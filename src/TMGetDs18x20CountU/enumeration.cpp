// Walking the bus: every device's ROM into a slot and a TSensor.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/sysutils.hpp"

void TMGetDsCount::OpcjaGetDscnt() {
  CheckValidSession();
  TQvDs18x20& parent = Parent();
  TMTouchReset(FSessionHandle);
  // Every enumeration also starts a conversion on every sensor.
  RozkazPomiaruDoDS();
  parent.FSensorCount = 0;
  parent.FSensorOverflow = false;
  parent.ClearSensors();
  TMTouchReset(FSessionHandle);

  std::int16_t result = TMFirst(FSessionHandle, parent.FStateBuffer.data());
  if (result != 1) {
    parent.TMEXerror = "Thread TMFirst error: " + IntToStr(result);
    PostToParent(WM_QV_WORKER_ERROR);
    return;
  }
  parent.FSlot[0][0] = 0;
  result = TMRom(FSessionHandle, parent.FStateBuffer.data(), parent.FSlot[0].data());
  if (result != 1) {
    parent.TMEXerror = "Thread TMRom error: " + IntToStr(result);
    PostToParent(WM_QV_WORKER_ERROR);
    return;
  }
  DodajCzujnik();
  parent.FSensorCount = parent.FSensorCount + 1;

  while (TMNext(FSessionHandle, parent.FStateBuffer.data()) == 1) {
    const int count = parent.FSensorCount;
    if (count == kMaxSensors) {
      // No slot is left: the walk ends as a completed search with the
      // first 21 devices, and the component remembers that there were more.
      parent.FSensorOverflow = true;
      break;
    }
    parent.FSlot[count][0] = 0;
    result = TMRom(FSessionHandle, parent.FStateBuffer.data(), parent.FSlot[count].data());
    if (result != 1) {
      parent.TMEXerror = "Thread TMRom error: " + IntToStr(result);
      PostToParent(WM_QV_WORKER_ERROR);
      break;
    }
    DodajCzujnik();
    parent.FSensorCount = count + 1;
  }
  PostToParent(WM_QV_SENSOR_COUNT);
}

void TMGetDsCount::DodajCzujnik() {
  TQvDs18x20& parent = Parent();
  const auto& slot = parent.FSlot[static_cast<std::size_t>(parent.FSensorCount.load())];
  TSensor* sensor = parent.getsensor(parent.AddSensor(std::make_unique<TSensor>()));
  std::string text;
  for (int k = 7; k >= 0; --k) text += IntToHex(slot[static_cast<std::size_t>(k)], 2);
  for (std::size_t k = 0; k < 8; ++k) sensor->rom[k] = static_cast<std::uint8_t>(slot[k] & 0xFF);
  const std::string family = text.substr(14, 2);
  if (family == "28") {
    sensor->name = "DS18B20";
  } else if (family == "10") {
    sensor->name = "DS18s20";
  } else if (family == "01") {
    sensor->name = "DS2401";
  } else {
    sensor->name = "DS18S20";
  }
  sensor->romstr = text;
}
