// Opening and closing the driver session.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/sysutils.hpp"
#include "rtl/window_api.hpp"

std::int32_t TQvDs18x20::TMEXOpenSession() {
  std::int32_t result = -501;
  if (ComponentState().Contains(csDesigning)) return result;

  // Every open is a full restart: whatever the handle refers to is ended
  // first, even a handle of 0 or one the driver refused.
  TMClose(FSesionHandle);
  TMEndSession(FSesionHandle);
  FSesionActive = false;

  FSesionHandle = TMExtendedStartSession(FiPortNum, FiAdapterType, nullptr);
  if (FSesionHandle < 1) {
    TMEXerror.set("TMExtendedStartSession error: " + IntToStr(FSesionHandle), FSesionHandle);
  } else {
    TMSetup(FSesionHandle);
    result = TMValidSession(FSesionHandle);
    if (result == 1) {
      // A speed the driver did not take leaves the session open but not
      // active, and writes no text.
      if (TMOneWireCom(FSesionHandle, 0, static_cast<std::int16_t>(FSpeed)) == static_cast<std::int16_t>(FSpeed)) {
        FSesionActive = true;
        DoOnSessionActive();
      }
    } else {
      TMEXerror.set("TMSetup error: " + IntToStr(result), result);
    }
  }
  if (!FSesionActive) DoOnSessionError();
  return result;
}

std::int32_t TQvDs18x20::TMEXCloseSession() {
  if (ComponentState().Contains(csDesigning) || ComponentState().Contains(csLoading)) return 0;
  FSesionActive = false;
  const std::int16_t result = TMEndSession(FSesionHandle);
  if (result == 1) {
    TMClose(FSesionHandle);
    DoOnSessionClose();
  } else {
    TMEXerror.set("TMEndSession error: " + IntToStr(result), result);
  }
  return result;
}

void TQvDs18x20::Close() {
  TMEXCloseSession();
  // Everything the running worker sends to the main thread is served here,
  // its termination handler last, which clears FBusy. A worker of this
  // component that has started but not yet set FBusy is waited for too:
  // otherwise Close called right after a starter would return at once.
  // Waiting on the queue between rounds rather than spinning leaves the
  // core free.
  auto working = [this] { return FBusy || FWorking; };
  while (working()) {
    if (ProcessMessages() == 0 && working()) WaitMessage(std::chrono::milliseconds(50));
  }
}
