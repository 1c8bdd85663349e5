// The engine's side of one bus: its link and what it knows, a queue of
// calls, and the thread that runs them one at a time.
//
// Thread safety: post(), the call forms, shutdown() and the accessors may
// be used from any thread; `state_` is touched by the bus's thread alone
// (and by a caller there, running a call in place).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "qvds/bus.hpp"
#include "qvds/detail/context.hpp"
#include "qvds/detail/operations.hpp"

namespace qvds::detail {

class BusCore : public std::enable_shared_from_this<BusCore> {
 public:
  // Takes an open link. start() must follow before any call.
  BusCore(std::unique_ptr<onewire::Link> link, std::string name, rtl::Clock* clock = nullptr);
  ~BusCore();
  BusCore(const BusCore&) = delete;
  BusCore& operator=(const BusCore&) = delete;

  void start();
  // Stops taking calls, stops the one under way, fails the queued ones
  // with kClosed and releases the link; waits for all of it unless
  // called on the bus's thread.
  void shutdown();
  bool closed() const;
  bool on_bus_thread() const { return std::this_thread::get_id() == thread_id_; }

  const std::string& name() const { return name_; }
  const std::string& adapter() const { return adapter_; }
  bool strong_pullup() const { return strong_pullup_; }
  int serial_baud() const { return serial_baud_; }
  std::vector<Device> devices() const;

  template <typename T>
  using Op = std::function<Result<T>(BusState&, const OpContext&)>;

  // Runs `op` on the bus's thread and waits for its result.
  template <typename T>
  Result<T> call(const CallOptions& options, Op<T> op);
  // Runs `op` on the bus's thread; `done` gets its result there (or on
  // this thread, at once, when the bus is closed).
  template <typename T>
  void call_async(const CallOptions& options, Op<T> op, Completion<T> done);

 private:
  struct Task {
    std::function<void(BusState&, const OpContext&)> run;
    std::function<void(std::error_code)> abort;
    std::shared_ptr<std::stop_source> stop;
    std::stop_token caller;
    std::optional<SteadyTime> deadline;
  };

  static void loop(std::weak_ptr<BusCore> weak, BusCore* raw);
  // False (and the task aborted) when the bus is closed.
  bool post(Task task);
  // Fails every queued task and closes the link: the end of the bus, run
  // once, by its thread or by a destructor on it.
  void finish();
  void publish_devices();
  static std::optional<SteadyTime> deadline_of(const CallOptions& options);

  BusState state_;
  const std::string name_;
  const std::string adapter_;
  const bool strong_pullup_;
  const int serial_baud_;
  rtl::Clock* const clock_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  bool closing_ = false;
  bool finished_ = false;
  std::shared_ptr<std::stop_source> current_;  // the task under way
  std::vector<Device> devices_;                // the last search's, for devices()
  std::thread thread_;
  std::thread::id thread_id_;
};

// How long a waiting caller gives an operation whose deadline passed to
// notice it (it is inside one adapter exchange) before it gives up on it.
inline constexpr std::chrono::milliseconds kDeadlineGrace{2000};

template <typename T>
Result<T> BusCore::call(const CallOptions& options, Op<T> op) {
  if (closed()) return Failure{Errc::kClosed, name_};
  const std::optional<SteadyTime> deadline = deadline_of(options);
  if (on_bus_thread()) {
    std::stop_source none;
    Result<T> r = op(state_, OpContext{options.stop, none.get_token(), deadline, clock_});
    publish_devices();
    return r;
  }
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Result<T>> result;
    void set(Result<T> r) {
      {
        std::lock_guard lock(mutex);
        result.emplace(std::move(r));
      }
      done.notify_all();
    }
  };
  auto shared = std::make_shared<Shared>();
  auto stop = std::make_shared<std::stop_source>();
  Task task;
  task.stop = stop;
  task.caller = options.stop;
  task.deadline = deadline;
  task.run = [this, shared, op = std::move(op)](BusState& s, const OpContext& ctx) {
    Result<T> r = op(s, ctx);
    publish_devices();
    shared->set(std::move(r));
  };
  task.abort = [shared, name = name_](std::error_code why) { shared->set(Failure{why, name}); };
  if (!post(std::move(task))) return Failure{Errc::kClosed, name_};
  std::unique_lock lock(shared->mutex);
  const auto ready = [&] { return shared->result.has_value(); };
  if (deadline) {
    if (!shared->done.wait_until(lock, *deadline, ready)) {
      stop->request_stop();
      if (!shared->done.wait_for(lock, kDeadlineGrace, ready))
        return Failure{Errc::kTimedOut, name_ + ": the adapter did not come back from its exchange"};
    }
  } else {
    shared->done.wait(lock, ready);
  }
  return std::move(*shared->result);
}

template <typename T>
void BusCore::call_async(const CallOptions& options, Op<T> op, Completion<T> done) {
  auto callback = std::make_shared<Completion<T>>(std::move(done));
  Task task;
  task.stop = std::make_shared<std::stop_source>();
  task.caller = options.stop;
  task.deadline = deadline_of(options);
  task.run = [this, callback, op = std::move(op)](BusState& s, const OpContext& ctx) {
    Result<T> r = op(s, ctx);
    publish_devices();
    if (*callback) (*callback)(std::move(r));
  };
  task.abort = [callback, name = name_](std::error_code why) {
    if (*callback) (*callback)(Result<T>(Failure{why, name}));
  };
  post(std::move(task));
}

}  // namespace qvds::detail
