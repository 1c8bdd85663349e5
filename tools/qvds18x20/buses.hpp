// The buses a command runs on, opened through the bus engine: the one the
// command line names (--port, --adapter, --sim), or every [[bus]] table of
// the configuration file; the simulated bus and its demonstration devices
// when neither names one. Every bus is measured at the same time, and a bus
// that fails to open or to answer is reported while the others go on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/bus.hpp"
#include "qvds/bus.hpp"

namespace qvtool {

// One bus as the command line or the configuration chose it, checked but
// for the port.
struct BusChoice {
  std::string name;   // the configuration's name for it; empty: none
  std::string where;  // where the configuration gives it ("FILE:3:1"); empty: the command line
  std::string port;   // as given (onewire/port_names.hpp); empty: the simulated bus on COM1
  int adapter = 1;    // a type number, or kAdapterAuto (adapter_options.hpp)
  bool adapter_given = false;
  TLanSpeed speed = lsNormal;
  bool sim = false;      // --sim given (or sim = true)
  std::string sim_file;  // --sim FILE
  int baud = 0;          // DS2480B serial rate after detection; 0: the link chooses
};

// Ctrl-C and termination requests: from the first BusSet on, they set a
// flag that read and watch look at. A call under way on a bus is stopped
// at its next step; one stuck in the adapter is given a second, and then
// abandoned with the ports' settings put back.
bool interrupt_requested();

// Waits `length`, or less when an interrupt comes first.
void wait_for_interrupt(std::chrono::steady_clock::duration length);

// One bus of a command.
struct OpenedBus {
  BusChoice choice;
  std::string label;       // how messages and outputs name it: its name, else its port
  std::string port_label;  // its port as written ("COM1" for the simulated bus)
  std::string key;         // its level in MQTT topics (its name's word); empty when it is the only bus
  int adapter = 0;         // the adapter type it runs (after detection)
  bool simulated = false;
  onewire::PortName port;  // resolved, for a real port
  qvds::Bus bus;           // open when `error` is empty
  std::string error;       // why it is not open (or stopped answering); empty: open
  std::optional<std::int32_t> code;  // the driver's result code behind `error`
  std::string driver;      // the adapter in words
  std::shared_ptr<onewire::sim::SimBus> sim_bus;  // the simulated bus it runs on
};

class BusSet {
 public:
  // Resolves every choice: throws UsageError for a port an adapter takes
  // no port by, Failure for a device that is not there (one bus alone),
  // DeviceFileError for a bad --sim file.
  explicit BusSet(std::vector<BusChoice> choices);
  ~BusSet();
  BusSet(const BusSet&) = delete;
  BusSet& operator=(const BusSet&) = delete;

  // Opens every bus not open yet; one that does not open keeps why.
  // True when at least one is open.
  bool open();
  std::vector<OpenedBus>& buses() { return buses_; }
  const std::vector<OpenedBus>& buses() const { return buses_; }

  // One measurement of every open bus at once (`what[i]` for bus i;
  // empty: everything), one result per bus (a bus not open: its error).
  std::vector<qvds::Result<qvds::Measurement>> measure(const std::vector<qvds::MeasureOptions>& what = {});
  // A search of every open bus at once.
  std::vector<qvds::Result<std::vector<qvds::Device>>> search();
  // Any call on every open bus at once, with the set's deadline and stop.
  template <typename T>
  std::vector<qvds::Result<T>> each(
      const std::function<void(std::size_t, OpenedBus&, qvds::Completion<T>, const qvds::CallOptions&)>& start);

  // The exit code of a run that an interrupt ends while a bus is stuck.
  void set_interrupted_exit_code(int code) { interrupted_exit_code_ = code; }

 private:
  void open_one(OpenedBus& b);
  // Waits until `done` says every call came back, serving interrupts; a
  // call stuck past its deadline ends the process.
  void wait(const std::function<bool()>& done, std::stop_source& stop);
  [[noreturn]] void abandon(const std::string& why, int code);

  std::vector<OpenedBus> buses_;
  int interrupted_exit_code_ = 1;
};

// The most a call on a bus may take: a search of 100 devices behind a
// slow adapter takes seconds, a driver that stopped answering forever.
inline constexpr std::chrono::seconds kOperationDeadline{20};

template <typename T>
std::vector<qvds::Result<T>> BusSet::each(
    const std::function<void(std::size_t, OpenedBus&, qvds::Completion<T>, const qvds::CallOptions&)>& start) {
  struct Gather {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::optional<qvds::Result<T>>> results;
    std::size_t left = 0;
  };
  auto gather = std::make_shared<Gather>();
  gather->results.resize(buses_.size());
  std::stop_source stop;
  qvds::CallOptions call;
  call.timeout = kOperationDeadline;
  call.stop = stop.get_token();
  for (std::size_t i = 0; i < buses_.size(); ++i) {
    OpenedBus& b = buses_[i];
    if (!b.error.empty() || !b.bus.is_open()) {
      gather->results[i].emplace(qvds::Failure{qvds::Errc::kClosed, b.error});
      continue;
    }
    {
      std::lock_guard lock(gather->mutex);
      ++gather->left;
    }
    start(i, b,
          [gather, i](qvds::Result<T> r) {
            std::lock_guard lock(gather->mutex);
            gather->results[i].emplace(std::move(r));
            if (--gather->left == 0) gather->done.notify_all();
          },
          call);
  }
  wait(
      [&] {
        std::unique_lock lock(gather->mutex);
        gather->done.wait_for(lock, std::chrono::milliseconds(50), [&] { return gather->left == 0; });
        return gather->left == 0;
      },
      stop);
  std::vector<qvds::Result<T>> out;
  std::lock_guard lock(gather->mutex);
  for (auto& r : gather->results) out.push_back(std::move(*r));
  return out;
}

}  // namespace qvtool
