#include "QvDs18x20/QvDs18x20.hpp"

#include <array>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/sysutils.hpp"
#include "rtl/thread.hpp"

TMGetDsCount* ActiveWorker = nullptr;

TQvDs18x20::TQvDs18x20(TComponent* AOwner) : TComponent(AOwner) {
  FQvDs18x20 = AllocateHWnd([this](TMessage& Msg) { WndProc(Msg); });
  FBusy = false;
  FiPortNum = 1;
  FiAdapterType = 1;
  FSensorCount = 0;
  FSpeed = lsNormal;
  // The port number is already 1: the setter need not run.
  FComPort = "COM1";
  FDriverActive = false;
  FSesionActive = false;
  for (auto& slot : FSlot) slot.fill(0);
  FSensors = std::make_unique<TStringList>();
  FAvailableComPorts = std::make_unique<TStringList>();
  get_driver_ver();
  FVersion = "1.1";
}

TQvDs18x20::~TQvDs18x20() {
  // Any running worker, of this component or another, is waited for while
  // the main thread keeps serving its Synchronize calls and its
  // termination handler; KillTgdThread empties ActiveWorker.
  // Window messages stay queued meanwhile; this window's are discarded
  // with it below.
  while (ActiveWorker != nullptr) CheckSynchronize(std::chrono::milliseconds(100));
  ClearSensors();
  FAvailableComPorts.reset();
  FSensors.reset();
  DeallocateHWnd(FQvDs18x20);
  FQvDs18x20 = nullptr;
  if (FSesionActive) {
    TMEndSession(FSesionHandle);
  } else if (FSesionHandle > 0 && TMValidSession(FSesionHandle) == 1) {
    // An open that failed after the start (invalid session, speed not
    // taken) leaves the driver's session open though the component does
    // not count it as active; left alone it would hold the port for the
    // rest of the process.
    TMEndSession(FSesionHandle);
  }
}

std::string TQvDs18x20::get_driver_ver() {
  // The driver writes at most 100 characters and a zero byte; one more
  // zero at the end keeps a driver that forgets it from running past.
  std::array<char, 102> buffer{};
  if (TMGetTypeVersion(FiAdapterType, buffer.data()) == 1) {
    FDriverVer.clear();
    for (std::size_t i = 0; i < 101 && buffer[i] != 0; ++i)
      AppendLatin1(FDriverVer, static_cast<unsigned char>(buffer[i]));
    FDriverActive = true;
  } else {
    FDriverVer = "TMEX micro-lan Driver missing";
    FDriverActive = false;
  }
  return FDriverVer;
}

std::int32_t TQvDs18x20::AddSensor(std::unique_ptr<TSensor> ptr) {
  const std::string text = ptr->romstr;
  return FSensors->AddObject(text, ptr.release());
}

void TQvDs18x20::ClearSensors() {
  while (FSensors->Count() > 0) {
    const int last = FSensors->Count() - 1;
    delete FSensors->Objects(last);
    FSensors->Delete(last);
  }
}

TSensor* TQvDs18x20::getsensor(std::int32_t idx) const {
  if (idx < 0 || idx > FSensors->Count() - 1) return nullptr;
  return static_cast<TSensor*>(FSensors->Objects(idx));
}

void TQvDs18x20::setsensor(std::int32_t idx, std::unique_ptr<TSensor> Value) {
  if (idx > FSensors->Count()) return;
  const int pos = idx - 1;
  // Raises the list's index error for idx <= 0 before anything changes.
  TObject* displaced = FSensors->Objects(pos);
  const std::string text = Value->romstr;
  FSensors->PutObject(pos, Value.release());
  FSensors->PutString(pos, text);
  delete displaced;
}

void TQvDs18x20::SetFComPort(const std::string& value) {
  FComPort = value;
  const std::string rest = value.size() > 3 ? value.substr(3) : std::string();
  FiPortNum = static_cast<std::uint8_t>(StrToIntDef(rest, 1) & 0xFF);
}

void TQvDs18x20::SetFAdapterType(std::uint8_t value) { FiAdapterType = value; }

void TQvDs18x20::SetFSpeed(TLanSpeed value) {
  if (value == FSpeed) return;
  FSpeed = value == lsOverDrive ? lsNormal : value;
}

void TQvDs18x20::Loaded() { TComponent::Loaded(); }

std::vector<TPropInfo> TQvDs18x20::PublishedProperties() {
  auto bool_text = [](bool b) { return std::string(b ? "True" : "False"); };
  static const std::vector<std::string> kSpeedNames = {"lsNormal", "lsOverDrive", "lsRelaxed"};
  std::vector<TPropInfo> props;
  props.push_back({"DriverVer", [this] { return FDriverVer; }, nullptr, nullptr, {}, true});
  props.push_back({"DriverActive", [this, bool_text] { return bool_text(FDriverActive); }, nullptr, nullptr, {"False", "True"}, false});
  props.push_back({"ComPort", [this] { return FComPort; }, [this](const std::string& v) { SetFComPort(v); }, nullptr, {}, true});
  props.push_back({"SesionActive", [this, bool_text] { return bool_text(FSesionActive); }, nullptr, nullptr, {"False", "True"}, false});
  props.push_back({"AdapterType", [this] { return IntToStr(FiAdapterType); },
                   [this](const std::string& v) {
                     const std::int32_t n = StrToIntDef(v, -1);
                     if (n < 0 || n > 255) throw std::invalid_argument("AdapterType must be 0..255, not " + v);
                     SetFAdapterType(static_cast<std::uint8_t>(n));
                   },
                   [this] { return FiAdapterType != 1; }, {}, false});
  props.push_back({"Busy", [this, bool_text] { return bool_text(FBusy); }, nullptr, nullptr, {"False", "True"}, false});
  props.push_back({"Speed", [this] { return kSpeedNames[FSpeed]; },
                   [this](const std::string& v) {
                     for (std::size_t i = 0; i < kSpeedNames.size(); ++i)
                       if (kSpeedNames[i] == v) SetFSpeed(static_cast<TLanSpeed>(i));
                   },
                   nullptr, kSpeedNames, false});
  props.push_back({"Version", [this] { return FVersion; }, nullptr, nullptr, {}, true});
  return props;
}
