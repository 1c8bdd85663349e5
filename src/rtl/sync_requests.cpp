#include "rtl/sync_requests.hpp"

namespace rtl::detail {

void SyncRequest::run() {
  try {
    (*fn_)();
  } catch (...) {
    error_ = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(mu_);
  done_ = true;
  cv_.notify_all();  // under the lock: the waiter owns the request and frees it once done
}

void SyncRequest::wait() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return done_; });
  if (error_) std::rethrow_exception(error_);
}

}  // namespace rtl::detail
