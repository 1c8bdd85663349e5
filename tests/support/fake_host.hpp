// A small TWorkerHost for testing the worker without the component: it
// keeps the slots, state buffer and sensor texts itself and records every
// call the worker makes, in order, with the thread it came from.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/tmex_driver.hpp"
#include "support/pump.hpp"

namespace testing_support {

class FakeHost final : public TWorkerHost {
 public:
  struct Call {
    std::string what;
    bool on_main;
  };

  // --- what the test sets up ---
  // Handle ReopenSession answers; 0: the open fails (ErrorCode() then
  // holds whatever code the test put in `error_code`).
  std::int32_t reopen_handle = 0;

  // --- what the worker leaves behind (read once it has ended) ---
  std::array<RomSlot, kMaxSensors> slots{};
  std::vector<std::uint8_t> state = std::vector<std::uint8_t>(onewire::kStateBufferSize);
  std::int32_t sensor_count = 0;
  bool overflow = false;
  std::vector<std::string> romstrs;
  std::vector<std::string> temps;  // one per entry of the sensor list
  // What the last measurement made of each entry, and how each is powered
  // (kept out of the call log, which holds what the component must see in
  // order).
  std::vector<TSensorReading> outcomes;
  std::vector<TPowerSupply> powers;
  std::string error_text;
  std::int32_t error_code = 0;

  // Every call's description, in order.
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const Call& c : log_) out.push_back(c.what);
    return out;
  }
  // The calls made on the main thread (true) or on another (false).
  std::vector<std::string> calls_on(bool main) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const Call& c : log_)
      if (c.on_main == main) out.push_back(c.what);
    return out;
  }
  void note(std::string what) {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back({std::move(what), std::this_thread::get_id() == main_});
  }

  RomSlot& Slot(int index) override { return slots.at(static_cast<std::size_t>(index)); }
  void* StateBuffer() override { return state.data(); }
  std::int32_t SensorCount() const override { return sensor_count; }
  void SetSensorCount(std::int32_t count) override {
    sensor_count = count;
    note("SetSensorCount " + std::to_string(count));
  }
  void SetSensorOverflow(bool value) override {
    overflow = value;
    note(value ? "SetSensorOverflow true" : "SetSensorOverflow false");
  }
  void ClearSensors() override {
    romstrs.clear();
    temps.clear();
    outcomes.clear();
    powers.clear();
    note("ClearSensors");
  }
  void AddFoundSensor(const std::array<std::uint8_t, 8>&, const std::string& name, const std::string& romstr) override {
    romstrs.push_back(romstr);
    temps.emplace_back();
    outcomes.emplace_back();
    powers.push_back(psUnknown);
    note("AddFoundSensor " + romstr + " " + name);
  }
  bool StoreTemperature(std::int32_t index, const std::string& text) override {
    note("StoreTemperature " + std::to_string(index) + " " + text);
    if (index < 0 || static_cast<std::size_t>(index) >= temps.size()) return false;
    temps[static_cast<std::size_t>(index)] = text;
    return true;
  }
  void StoreOutcome(std::int32_t index, const TSensorReading& reading) override {
    if (index >= 0 && static_cast<std::size_t>(index) < outcomes.size()) outcomes[static_cast<std::size_t>(index)] = reading;
  }
  void StorePower(std::int32_t index, TPowerSupply power) override {
    if (index >= 0 && static_cast<std::size_t>(index) < powers.size()) powers[static_cast<std::size_t>(index)] = power;
  }
  void SetError(const std::string& text, std::int32_t code) override {
    error_text = text;
    error_code = code;
    note("SetError " + text + " | " + std::to_string(code));
  }
  std::int32_t ErrorCode() const override { return error_code; }
  void Notify(std::uint32_t message) override { note("Notify " + std::to_string(message)); }
  bool ReopenSession(std::int32_t& handle) override {
    note("ReopenSession");
    if (reopen_handle < 1) return false;
    handle = reopen_handle;
    return true;
  }
  void MarkSessionLost() override { note("MarkSessionLost"); }
  void HandBack(std::int32_t handle) override { note("HandBack " + std::to_string(handle)); }
  void SetBusy() override { note("SetBusy"); }
  void StartCommand() override { note("StartCommand"); }
  void StartRead() override { note("StartRead"); }
  void SensorCountFromWorker() override { note("SensorCountFromWorker"); }

 private:
  mutable std::mutex mu_;
  std::vector<Call> log_;
  std::thread::id main_ = std::this_thread::get_id();
};

// Runs one worker operation for `host` on `session` and serves the main
// thread until the worker has ended (its termination handler ran, so
// everything it did is visible here) and its thread is gone: the thread
// still wakes the main queue after the handler, and a test process that
// exits before then can crash in its exit handlers when no main-thread
// queue existed before the first worker started. False when either did
// not happen in time.
inline bool run_worker(FakeHost& host, std::int32_t session, TOpcje operation) {
  auto ended = std::make_shared<bool>(false);
  auto* worker = new TMGetDsCount(&host, session, true);
  worker->opcja = operation;
  worker->OnTerminate = [ended](TObject*) { *ended = true; };
  worker->Resume();
  return pump_until([ended] { return *ended; }) && pump_until([] { return TThread::RunningCount() == 0; });
}

}  // namespace testing_support
