// The hidden window that turns the worker's posted messages into events on
// the main thread, and the event dispatchers.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/window_api.hpp"

void TQvDs18x20::WndProc(TMessage& Msg) {
  if (Msg.Msg == WM_QV_SENSOR_COUNT) {
    WMthr_get_ds_cnt(Msg);
  } else if (Msg.Msg == WM_QV_TEMPERATURES) {
    DoOnGetTemp();
  } else if (Msg.Msg == WM_QV_RESERVED) {
    // reserved: swallowed
  } else if (Msg.Msg == WM_QV_WORKER_ERROR) {
    // The text is already in TMEXerror; SesionActive keeps its value.
    const std::int32_t handle = FSesionHandle;
    TMClose(handle);
    TMEndSession(handle);
    DoOnSessionError();
  } else {
    Msg.Result = DefWindowProc(FQvDs18x20, Msg.Msg, Msg.WParam, Msg.LParam);
  }
}

void TQvDs18x20::WMthr_get_ds_cnt(TMessage& /*Msg*/) { DoOnGetSensorCount(); }

void TQvDs18x20::DeallocateHWnd(HWND wnd) { ::DeallocateHWnd(wnd); }

void TQvDs18x20::DoOnSessionError() {
  if (FOnSessionError) FOnSessionError(this);
}
void TQvDs18x20::DoOnSessionActive() {
  if (FOnSessionActive) FOnSessionActive(this);
}
void TQvDs18x20::DoOnSessionClose() {
  if (FOnSessionClose) FOnSessionClose(this);
}
void TQvDs18x20::DoOnGetSensorCount() {
  if (FOnGetSensorCount) FOnGetSensorCount(this);
}
void TQvDs18x20::DoOnGetTemp() {
  if (FOnGetTemp) FOnGetTemp(this);
}
void TQvDs18x20::DoOnStartCommand() {
  if (FOnStartCommand) FOnStartCommand(this);
}
void TQvDs18x20::DoOnStartRead() {
  if (FOnStartRead) FOnStartRead(this);
}
