#include "qvds18x20/net/event_loop.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>
#include <optional>

namespace qvtool::net {

struct EventLoop::Impl {
  asio::io_context io{1};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;
  std::thread::id id;
};

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}

EventLoop::~EventLoop() { stop(); }

asio::io_context& EventLoop::context() { return impl_->io; }

void EventLoop::start() {
  if (impl_->thread.joinable()) return;
  impl_->work.emplace(impl_->io.get_executor());
  impl_->thread = std::thread([this] { impl_->io.run(); });
  impl_->id = impl_->thread.get_id();
}

void EventLoop::stop() {
  impl_->work.reset();
  impl_->io.stop();
  if (impl_->thread.joinable() && !on_loop_thread()) impl_->thread.join();
  impl_->id = {};
}

void EventLoop::post(std::function<void()> f) { asio::post(impl_->io, std::move(f)); }

void EventLoop::post_after(std::chrono::milliseconds delay, std::function<void()> f) {
  // The timer lives as long as its wait: its handler holds it.
  auto timer = std::make_shared<asio::steady_timer>(impl_->io, delay);
  timer->async_wait([timer, f = std::move(f)](const asio::error_code& e) {
    if (!e) f();
  });
}

bool EventLoop::on_loop_thread() const { return std::this_thread::get_id() == impl_->id; }

void EventLoop::run_sync(const std::function<void()>& f) {
  if (!impl_->thread.joinable() || on_loop_thread() || impl_->io.stopped()) {
    f();
    return;
  }
  std::promise<void> done;
  asio::post(impl_->io, [&] {
    f();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace qvtool::net
