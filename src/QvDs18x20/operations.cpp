// Starting operations on a worker, and what the worker may use of the
// component while it runs.
#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/window_api.hpp"

void TQvDs18x20::StartWorker(std::uint8_t operation) {
  if (ActiveWorker != nullptr) return;
  TWorkerHost* host = this;
  auto* worker = new TMGetDsCount(host, FSesionHandle, true);
  ActiveWorker = worker;
  FWorking = true;
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
  FWorking = false;
  if (FOnOperationEnd) FOnOperationEnd(this);
}

void TQvDs18x20::SetFBusy() { FBusy = true; }

void TQvDs18x20::AddFoundSensor(const std::array<std::uint8_t, 8>& rom, const std::string& name,
                                const std::string& romstr) {
  auto sensor = std::make_unique<TSensor>();
  sensor->rom = rom;
  sensor->name = name;
  sensor->romstr = romstr;
  AddSensor(std::move(sensor));
}

bool TQvDs18x20::StoreTemperature(std::int32_t index, const std::string& text) {
  TSensor* sensor = getsensor(index);
  if (sensor == nullptr) return false;
  sensor->temp = text;
  return true;
}

void TQvDs18x20::StoreOutcome(std::int32_t index, const TSensorReading& reading) {
  TSensor* sensor = getsensor(index);
  if (sensor == nullptr) return;
  sensor->status = reading.status;
  sensor->scratchpad = reading.scratchpad;
  if (IsReading(reading.status)) sensor->celsius = reading.celsius;
}

void TQvDs18x20::StorePower(std::int32_t index, TPowerSupply power) {
  if (TSensor* sensor = getsensor(index)) sensor->power = power;
}

TPowerSupply TQvDs18x20::PowerOf(std::int32_t index) const {
  const TSensor* sensor = getsensor(index);
  return sensor != nullptr ? sensor->power : psUnknown;
}

std::vector<std::string> TQvDs18x20::UnfedSensors() const {
  std::vector<std::string> out;
  for (int i = 0; i < SensorListCount(); ++i)
    if (const TSensor* s = getsensor(i); s != nullptr && s->power == psParasiteUnfed) out.push_back(s->romstr);
  return out;
}

void TQvDs18x20::Notify(std::uint32_t message) { PostMessage(FQvDs18x20, message, 0, 0); }

bool TQvDs18x20::ReopenSession(std::int32_t& handle) {
  TMEXOpenSession();
  if (!FSesionActive) return false;
  handle = FSesionHandle;
  return true;
}

void TQvDs18x20::MarkSessionLost() {
  FSesionActive = false;
  FSensorCount = 0;
}

std::string TQvDs18x20::DescribeResult(std::int32_t code) {
  if (code == kErrNoSensorRead) return "no sensor could be read";
  return onewire::describe(code);
}
