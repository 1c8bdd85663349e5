// The worker's life: start, session check, dispatch, hand-back.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"

TMGetDsCount::TMGetDsCount(void* parent, std::int32_t _session_handle, bool Suspended)
    : TThread(Suspended), FSessionHandle(_session_handle), FTParent(parent) {
  FreeOnTerminate = true;
}

TQvDs18x20& TMGetDsCount::Parent() const { return *static_cast<TQvDs18x20*>(FTParent); }

void TMGetDsCount::PostToParent(std::uint32_t msg) { PostMessage(Parent().FQvDs18x20, msg, 0, 0); }

void TMGetDsCount::Execute() {
  TQvDs18x20& parent = Parent();
  Synchronize([&parent] { parent.SetFBusy(); });
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
  parent.FSesionHandle = FSessionHandle;
}

void TMGetDsCount::CheckValidSession() {
  if (TMValidSession(FSessionHandle) == 1) return;
  TQvDs18x20& parent = Parent();
  // Reopening runs on this thread, so OnSessionActive or OnSessionError
  // fire here.
  parent.TMEXOpenSession();
  if (parent.FSesionActive) {
    FSessionHandle = parent.FSesionHandle;
    return;
  }
  parent.TMEXerror = "Thread TMEXOpenSession error: ";
  PostToParent(WM_QV_WORKER_ERROR);
}

// --- component side ---

void TQvDs18x20::StartWorker(std::uint8_t operation) {
  if (ActiveWorker != nullptr) return;
  auto* worker = new TMGetDsCount(this, FSesionHandle, true);
  ActiveWorker = worker;
  worker->opcja = static_cast<TOpcje>(operation);
  worker->OnTerminate = [this](TObject* Sender) { KillTgdThread(Sender); };
  worker->Resume();
}

void TQvDs18x20::TMEXGetDSCount() { StartWorker(getDScnt); }
void TQvDs18x20::TMEXConvertT() { StartWorker(setMeasure); }
void TQvDs18x20::TMEXGetTemp() { StartWorker(getTemp); }

void TQvDs18x20::KillTgdThread(TObject* /*Sender*/) {
  ActiveWorker = nullptr;
  FBusy = false;
}

void TQvDs18x20::SetFBusy() { FBusy = true; }
