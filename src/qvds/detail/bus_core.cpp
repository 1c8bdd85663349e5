#include "qvds/detail/bus_core.hpp"

namespace qvds::detail {

BusCore::BusCore(std::unique_ptr<onewire::Link> link, std::string name, rtl::Clock* clock)
    : name_(std::move(name)),
      adapter_(link->name()),
      strong_pullup_(link->can_strong_pullup()),
      serial_baud_(link->serial_baud()),
      clock_(clock) {
  state_.link = std::move(link);
  state_.name = name_;
}

BusCore::~BusCore() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    if (current_) current_->request_stop();
  }
  wake_.notify_all();
  if (!thread_.joinable()) {
    finish();
  } else if (on_bus_thread()) {
    // The last handle went in a completion callback: the thread ends
    // when it comes back from it, and has nothing left to do.
    thread_.detach();
    finish();
  } else {
    thread_.join();
  }
}

void BusCore::start() {
  // The thread holds no reference while it waits, so that the bus goes
  // when its last handle does.
  thread_ = std::thread(&BusCore::loop, weak_from_this(), this);
  thread_id_ = thread_.get_id();
}

void BusCore::loop(std::weak_ptr<BusCore> weak, BusCore* raw) {
  for (;;) {
    Task task;
    {
      // `raw` stays valid while this waits: a destructor on another
      // thread sets closing_ and joins this thread before it ends.
      std::unique_lock lock(raw->mutex_);
      raw->wake_.wait(lock, [raw] { return raw->closing_ || !raw->queue_.empty(); });
      if (raw->closing_) {
        lock.unlock();
        raw->finish();
        return;
      }
      task = std::move(raw->queue_.front());
      raw->queue_.pop_front();
      raw->current_ = task.stop;
    }
    std::shared_ptr<BusCore> keep = weak.lock();
    if (!keep) {
      // The last handle is going on another thread, which waits for us.
      task.abort(Errc::kClosed);
      continue;
    }
    // The task publishes what it found before its caller hears of it.
    task.run(keep->state_, OpContext{task.caller, task.stop->get_token(), task.deadline, keep->clock_});
    {
      std::lock_guard lock(keep->mutex_);
      keep->current_.reset();
    }
    keep.reset();
    // Gone: its destructor ran here, on this thread, and detached it.
    if (weak.expired()) return;
  }
}

bool BusCore::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (!closing_) {
      queue_.push_back(std::move(task));
      wake_.notify_all();
      return true;
    }
  }
  task.abort(Errc::kClosed);
  return false;
}

void BusCore::shutdown() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    if (current_) current_->request_stop();
  }
  wake_.notify_all();
  if (!on_bus_thread() && thread_.joinable()) thread_.join();
}

bool BusCore::closed() const {
  std::lock_guard lock(mutex_);
  return closing_;
}

void BusCore::finish() {
  std::deque<Task> left;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    left.swap(queue_);
  }
  for (Task& t : left) t.abort(Errc::kClosed);
  if (state_.link) state_.link->close();
}

std::vector<Device> BusCore::devices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

void BusCore::publish_devices() {
  std::lock_guard lock(mutex_);
  devices_ = state_.devices;
}

std::optional<SteadyTime> BusCore::deadline_of(const CallOptions& options) {
  if (options.timeout.count() <= 0) return std::nullopt;
  return std::chrono::steady_clock::now() + options.timeout;
}

}  // namespace qvds::detail
