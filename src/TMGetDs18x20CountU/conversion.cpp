// The conversion command to every device at once: reset, SKIP ROM,
// CONVERT T.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/sysutils.hpp"

void TMGetDsCount::RozkazPomiaruDoDS() {
  CheckValidSession();
  TQvDs18x20& parent = Parent();
  TMTouchReset(FSessionHandle);
  std::int16_t echo = TMTouchByte(FSessionHandle, 0xCC);
  // On a sound bus a written byte reads back as itself.
  if (echo < 1 || echo > 254) {
    parent.TMEXerror = "Thread TMTouchByte (SKIP ROM) error: " + IntToStr(echo);
    PostToParent(WM_QV_WORKER_ERROR);
    return;
  }
  echo = TMTouchByte(FSessionHandle, 0x44);
  if (echo < 0 || echo > 254) {
    parent.TMEXerror = "Thread TMTouchByte (CONVERT T) error: " + IntToStr(echo);
    PostToParent(WM_QV_WORKER_ERROR);
  }
}
