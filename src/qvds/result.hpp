// The result of an engine call: a value, or an error code with the
// details of what failed (which port, which sensor). Like std::expected:
// test it, then take the value; taking the value of a failed result
// throws std::system_error with its error code.
//
// Thread safety: a Result is a plain value; distinct results may be used
// from distinct threads, one result from one thread at a time.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

#include "qvds/error.hpp"

namespace qvds {

// What failed, and where.
struct Failure {
  std::error_code code;
  std::string detail;  // the port, the sensor, the driver's own words; may be empty
  // The driver's result code behind it (onewire/errors.hpp), when the
  // failure came from the adapter; 0 otherwise.
  int driver_code = 0;
  // The code's message, then the detail: "the port failed or went away
  // (/dev/ttyUSB0)".
  std::string message() const { return detail.empty() ? code.message() : code.message() + " (" + detail + ")"; }
};

template <typename T>
class [[nodiscard]] Result {
 public:
  // A result holding `value`.
  Result(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  // A failed result.
  Result(std::error_code code, std::string detail = {}) : state_(Failure{code, std::move(detail)}) {}  // NOLINT
  Result(Errc code, std::string detail = {}) : Result(make_error_code(code), std::move(detail)) {}      // NOLINT
  Result(Failure failure) : state_(std::move(failure)) {}                                                // NOLINT

  // Whether it holds a value.
  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // The value; throws std::system_error when the call failed.
  T& value() & {
    if (!ok()) raise();
    return std::get<0>(state_);
  }
  const T& value() const& {
    if (!ok()) raise();
    return std::get<0>(state_);
  }
  T&& value() && {
    if (!ok()) raise();
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The error code; an empty (false) code when it holds a value.
  std::error_code error() const noexcept { return ok() ? std::error_code{} : std::get<1>(state_).code; }
  // The failure's details; empty when it holds a value.
  const std::string& detail() const noexcept {
    static const std::string none;
    return ok() ? none : std::get<1>(state_).detail;
  }
  // What failed, in words; empty when it holds a value.
  std::string message() const { return ok() ? std::string() : std::get<1>(state_).message(); }
  // The failure, for passing on; only when it does not hold a value.
  const Failure& failure() const { return ok() ? raise_failure() : std::get<1>(state_); }

 private:
  [[noreturn]] void raise() const { throw std::system_error(std::get<1>(state_).code, std::get<1>(state_).detail); }
  [[noreturn]] static const Failure& raise_failure() {
    throw std::system_error(make_error_code(Errc::kBadArgument), "the result holds a value, not a failure");
  }
  std::variant<T, Failure> state_;
};

// The result of a call that gives back no value.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(std::error_code code, std::string detail = {}) {  // NOLINT(google-explicit-constructor)
    if (code) failure_ = Failure{code, std::move(detail)};
  }
  Result(Errc code, std::string detail = {}) : Result(make_error_code(code), std::move(detail)) {}  // NOLINT
  Result(Failure failure) : failure_(std::move(failure)) {}                                          // NOLINT

  bool ok() const noexcept { return !failure_; }
  explicit operator bool() const noexcept { return ok(); }
  // Throws std::system_error when the call failed.
  void value() const {
    if (failure_) throw std::system_error(failure_->code, failure_->detail);
  }
  std::error_code error() const noexcept { return failure_ ? failure_->code : std::error_code{}; }
  const std::string& detail() const noexcept {
    static const std::string none;
    return failure_ ? failure_->detail : none;
  }
  std::string message() const { return failure_ ? failure_->message() : std::string(); }
  const Failure& failure() const {
    if (!failure_) throw std::system_error(make_error_code(Errc::kBadArgument), "the result holds no failure");
    return *failure_;
  }

 private:
  std::optional<Failure> failure_;
};

}  // namespace qvds
