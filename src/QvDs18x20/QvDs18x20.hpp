// TQvDs18x20: the component that reads DS18B20 and DS18S20 1-Wire
// temperature sensors through the driver operations.
//
// The application creates it on its main thread, sets ComPort, AdapterType
// and Speed, opens a session and starts operations (TMEXGetDSCount,
// TMEXConvertT, TMEXGetTemp). Each operation runs on a short-lived worker
// thread; results come back as events through the component's hidden
// window and through Synchronize, so the main thread must serve its message
// queue (ProcessMessages, HandleMessage, RunMessageLoop or MessageQueueFd,
// see rtl/messages.hpp). Working() tells when an operation has ended.
//
// Where each event fires:
//   OnGetTemp, OnStartCommand, OnStartRead, OnSessionClose: the main thread.
//   OnGetSensorCount: the main thread, except when a measurement finds no
//     sensor at all, when it fires on the worker.
//   OnSessionActive, OnSessionError: the thread that called
//     TMEXOpenSession (the main thread), and for a worker failure the main
//     thread; when a worker finds its session lost and reopens it, they
//     fire on the worker.
//   OnOperationEnd: the main thread, once per operation, after its last
//     notification was posted.
//
// While Busy is true the worker owns the sensor list, the ROM slots and the
// state buffer: read them from OnStartCommand, OnStartRead, OnGetTemp and
// OnGetSensorCount, or once Busy is false again. TMEXerror, LastResult,
// SesionActive, FSesionHandle and FSensorCount may be read at any time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "qvds18x20/export.hpp"
#include "rtl/classes.hpp"
#include "rtl/messages.hpp"

enum TLanSpeed : std::uint8_t { lsNormal = 0, lsOverDrive = 1, lsRelaxed = 2 };

// One device found on the bus.
class QVDS_API TSensor : public TObject {
 public:
  std::array<std::uint8_t, 8> rom{};  // family code first, CRC byte last
  std::string name;                   // device type text, such as "DS18B20"
  std::string temp;                   // last temperature read, such as "25.1"
  std::string romstr;                 // 16 upper-case hex digits, CRC first

  // --- beyond the text: what the last measurement and enumeration found ---
  // The outcome of the last measurement for this device. `temp` and
  // `celsius` change only when it is a reading (IsReading); otherwise it
  // says why the device was not read.
  TReadStatus status = rsNotMeasured;
  // The exact value of the last reading (21.0625 where temp says "21.0"):
  // sixteenths of a degree for a DS18B20 at its resolution, the extended
  // resolution for a DS18S20. NaN until the first reading.
  double celsius = std::numeric_limits<double>::quiet_NaN();
  // The nine bytes the last measurement read back (CRC last), whatever
  // they were worth; zeros when nothing came back.
  std::array<std::uint8_t, 9> scratchpad{};
  // How it is powered, as the enumeration that found it learnt from our
  // drivers (psUnknown with the vendor's library).
  TPowerSupply power = psUnknown;
};

// The text of the last failure and the result code that came with it.
// Written by the worker and read by the application on its own thread, so
// every access takes a lock; text and code change together.
class TErrorText {
 public:
  // Replaces the text and the code.
  void set(std::string text, std::int32_t code) {
    std::lock_guard<std::mutex> lock(mu_);
    text_ = std::move(text);
    code_ = code;
  }
  // A text the application writes itself carries no result code.
  TErrorText& operator=(std::string text) {
    set(std::move(text), 0);
    return *this;
  }
  std::string str() const {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }
  std::int32_t code() const {
    std::lock_guard<std::mutex> lock(mu_);
    return code_;
  }
  operator std::string() const { return str(); }
  bool operator==(const std::string& other) const { return str() == other; }

 private:
  mutable std::mutex mu_;
  std::string text_;
  std::int32_t code_ = 0;
};

class QVDS_API TQvDs18x20 : public TComponent, private TWorkerHost {
 public:
  explicit TQvDs18x20(TComponent* AOwner);
  ~TQvDs18x20() override;

  // --- published properties ---
  const std::string& DriverVer() const { return FDriverVer; }
  bool DriverActive() const { return FDriverActive; }
  const std::string& ComPort() const { return FComPort; }
  void ComPort(const std::string& value) { SetFComPort(value); }
  bool SesionActive() const { return FSesionActive.load(); }
  std::uint8_t AdapterType() const { return FiAdapterType; }
  void AdapterType(std::uint8_t value) { SetFAdapterType(value); }
  bool Busy() const { return FBusy; }
  TLanSpeed Speed() const { return FSpeed; }
  void Speed(TLanSpeed value) { SetFSpeed(value); }
  const std::string& Version() const { return FVersion; }

  // --- published events (read the handler, or assign one) ---
  const TNotifyEvent& OnSessionError() const { return FOnSessionError; }
  void OnSessionError(TNotifyEvent e) { FOnSessionError = std::move(e); }
  const TNotifyEvent& OnSessionActive() const { return FOnSessionActive; }
  void OnSessionActive(TNotifyEvent e) { FOnSessionActive = std::move(e); }
  const TNotifyEvent& OnSessionClose() const { return FOnSessionClose; }
  void OnSessionClose(TNotifyEvent e) { FOnSessionClose = std::move(e); }
  const TNotifyEvent& OnGetSensorCount() const { return FOnGetSensorCount; }
  void OnGetSensorCount(TNotifyEvent e) { FOnGetSensorCount = std::move(e); }
  const TNotifyEvent& OnGetTemp() const { return FOnGetTemp; }
  void OnGetTemp(TNotifyEvent e) { FOnGetTemp = std::move(e); }
  const TNotifyEvent& OnStartCommand() const { return FOnStartCommand; }
  void OnStartCommand(TNotifyEvent e) { FOnStartCommand = std::move(e); }
  const TNotifyEvent& OnStartRead() const { return FOnStartRead; }
  void OnStartRead(TNotifyEvent e) { FOnStartRead = std::move(e); }
  // Not a stored property: fires on the main thread when an operation this
  // component started has ended (its worker's termination handler ran).
  const TNotifyEvent& OnOperationEnd() const { return FOnOperationEnd; }
  void OnOperationEnd(TNotifyEvent e) { FOnOperationEnd = std::move(e); }

  // --- public methods ---
  void DoOnStartCommand();
  void DoOnStartRead();
  void DoOnGetSensorCount();
  std::int32_t TMEXOpenSession();
  std::int32_t TMEXCloseSession();
  void TMEXGetDSCount();
  void TMEXConvertT();
  void TMEXGetTemp();
  // Appends `ptr` (the list owns it from now on); returns its index.
  std::int32_t AddSensor(std::unique_ptr<TSensor> ptr);
  void ClearSensors() override;
  void SetFBusy();
  void Close();
  std::string get_driver_ver();

  // Indexed property `sensor`: reads count from 0, writes from 1.
  TSensor* sensor(std::int32_t idx) const { return getsensor(idx); }
  // Entry idx-1 takes `Value` (the list owns it, and frees the sensor it
  // displaces). idx above the count: nothing changes (Value is freed).
  // idx of 0 or less: EListError, nothing changes.
  void sensor(std::int32_t idx, std::unique_ptr<TSensor> Value) { setsensor(idx, std::move(Value)); }
  // Number of entries in the sensor list.
  int SensorListCount() const { return FSensors != nullptr ? FSensors->Count() : 0; }

  // True from the moment an operation of this component is started until
  // its worker has ended (before Busy is set and until after it is
  // cleared). Main thread only.
  bool Working() const { return FWorking; }
  // The driver's result code that came with the text in TMEXerror (for
  // "POMIAR T error: #" kErrNoSensorRead). 0 before any failure.
  std::int32_t LastResult() const { return TMEXerror.code(); }
  // What a result code of LastResult means, in words; empty for codes
  // with no meaning of their own.
  static std::string DescribeResult(std::int32_t code);
  // The ROM texts of the listed sensors that are parasite-powered on an
  // adapter without a strong pull-up: they cannot convert, and read their
  // power-on value at best. Read it once an enumeration has ended.
  std::vector<std::string> UnfedSensors() const;
  // Fills `Strings` with the sorted names of the serial ports the system
  // knows (trimmed); never raises.
  void EnumComPorts(TStrings* Strings);

  std::string ClassName() const override { return "TQvDs18x20"; }
  std::vector<TPropInfo> PublishedProperties() override;
  // Part of the component's published shape: adds nothing to the base's.
  void Loaded() override;

  // --- public fields ---
  HWND FQvDs18x20 = nullptr;  // the hidden notification window
  TErrorText TMEXerror;
  std::atomic<std::int32_t> FSensorCount{0};
  std::array<std::array<std::uint16_t, 8>, kMaxSensors> FSlot{};
  std::array<std::uint8_t, 1564> FStateBuffer{};
  std::atomic<std::int32_t> FSesionHandle{0};
  std::atomic<bool> FSesionActive{false};
  // True when the last enumeration found more devices than there are
  // slots; it recorded the first kMaxSensors in search order.
  std::atomic<bool> FSensorOverflow{false};

 protected:
  TSensor* getsensor(std::int32_t idx) const;
  void setsensor(std::int32_t idx, std::unique_ptr<TSensor> Value);
  void SetFComPort(const std::string& value);
  void SetFAdapterType(std::uint8_t value);
  void SetFSpeed(TLanSpeed value);
  void WndProc(TMessage& Msg);
  void DeallocateHWnd(HWND wnd);
  void WMthr_get_ds_cnt(TMessage& Msg);
  void DoOnGetTemp();
  void DoOnSessionActive();
  void DoOnSessionClose();
  void DoOnSessionError();
  void KillTgdThread(TObject* Sender);

  std::uint8_t PortNum() const { return FiPortNum; }

 private:
  void StartWorker(std::uint8_t operation);

  // --- what the worker may use (TWorkerHost) ---
  RomSlot& Slot(int index) override { return FSlot[static_cast<std::size_t>(index)]; }
  void* StateBuffer() override { return FStateBuffer.data(); }
  std::int32_t SensorCount() const override { return FSensorCount; }
  void SetSensorCount(std::int32_t count) override { FSensorCount = count; }
  void SetSensorOverflow(bool overflow) override { FSensorOverflow = overflow; }
  void AddFoundSensor(const std::array<std::uint8_t, 8>& rom, const std::string& name,
                      const std::string& romstr) override;
  bool StoreTemperature(std::int32_t index, const std::string& text) override;
  void StoreOutcome(std::int32_t index, const TSensorReading& reading) override;
  void StorePower(std::int32_t index, TPowerSupply power) override;
  TPowerSupply PowerOf(std::int32_t index) const override;
  void SetError(const std::string& text, std::int32_t code) override { TMEXerror.set(text, code); }
  std::int32_t ErrorCode() const override { return TMEXerror.code(); }
  void Notify(std::uint32_t message) override;
  bool ReopenSession(std::int32_t& handle) override;
  void MarkSessionLost() override;
  void HandBack(std::int32_t handle) override { FSesionHandle = handle; }
  void SetBusy() override { SetFBusy(); }
  void StartCommand() override { DoOnStartCommand(); }
  void StartRead() override { DoOnStartRead(); }
  void SensorCountFromWorker() override { DoOnGetSensorCount(); }

  std::string FDriverVer;
  bool FDriverActive = false;
  std::string FComPort;
  // FPortType, FAvailableComPorts and FActiveSensor are declared for the
  // component's published shape; no operation reads or fills them.
  std::string FPortType;
  bool FBusy = false;
  bool FWorking = false;
  std::unique_ptr<TStrings> FAvailableComPorts;
  std::uint8_t FiAdapterType = 1;
  std::uint8_t FiPortNum = 1;
  std::int32_t FActiveSensor = 0;
  std::unique_ptr<TStringList> FSensors;
  TLanSpeed FSpeed = lsNormal;
  std::string FVersion;
  TNotifyEvent FOnSessionError;
  TNotifyEvent FOnSessionActive;
  TNotifyEvent FOnSessionClose;
  TNotifyEvent FOnGetSensorCount;
  TNotifyEvent FOnGetTemp;
  TNotifyEvent FOnStartCommand;
  TNotifyEvent FOnStartRead;
  TNotifyEvent FOnOperationEnd;
};

// The running worker of the whole process, or null. Read and written on
// the main thread only.
QVDS_API extern TMGetDsCount* ActiveWorker;
