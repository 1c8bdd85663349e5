// The conversion command to every device at once: reset, SKIP ROM,
// CONVERT T.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/ds18x20/power.hpp"
#include "rtl/sysutils.hpp"

void TMGetDsCount::RozkazPomiaruDoDS() {
  CheckValidSession();
  FConversionStarted = false;
  const std::int16_t presence = TMTouchReset(FSessionHandle);
  std::int16_t echo = TMTouchByte(FSessionHandle, onewire::kSkipRom);
  // On a sound bus a written byte reads back as itself.
  if (echo < 1 || echo > 254) {
    Fail("Thread TMTouchByte (SKIP ROM) error: " + IntToStr(echo), echo);
    return;
  }
  echo = TMTouchByte(FSessionHandle, onewire::kConvertT);
  if (echo < 0 || echo > 254) {
    Fail("Thread TMTouchByte (CONVERT T) error: " + IntToStr(echo), echo);
    return;
  }
  // Our drivers answer the reset with what it found; a reset that found no
  // device, or a short, started no conversion. Other drivers' answers to
  // the reset are not relied on.
  FConversionStarted = !QvBlockExchangeOffered() || onewire::ds18x20::conversion_reached_bus(presence);
}
