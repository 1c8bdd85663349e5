// The worker's life: start, session check, dispatch, hand-back.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"

TMGetDsCount::TMGetDsCount(TWorkerHost* parent, std::int32_t _session_handle, bool Suspended)
    : TThread(Suspended), FSessionHandle(_session_handle), FTParent(parent) {
  FreeOnTerminate = true;
}

void TMGetDsCount::Fail(const std::string& text, std::int32_t code) {
  FTParent->SetError(text, code);
  FTParent->Notify(WM_QV_WORKER_ERROR);
}

void TMGetDsCount::Execute() {
  TWorkerHost& parent = *FTParent;
  Synchronize([&parent] { parent.SetBusy(); });
  CheckValidSession();
  switch (opcja) {
    case getDScnt:
      OpcjaGetDscnt();
      break;
    case setMeasure:
      RozkazPomiaruDoDS();
      break;
    case getTemp:
      PomiarTemperatury();
      break;
  }
  // Also after failures: the component ends up with the handle this run
  // ended with.
  parent.HandBack(FSessionHandle);
}

void TMGetDsCount::CheckValidSession() {
  if (TMValidSession(FSessionHandle) == 1) return;
  // Reopening runs on this thread, so OnSessionActive or OnSessionError
  // fire here.
  if (FTParent->ReopenSession(FSessionHandle)) return;
  // The text carries no code: the open's own code stays with it.
  Fail("Thread TMEXOpenSession error: ", FTParent->ErrorCode());
}
