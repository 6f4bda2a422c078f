#pragma once
/// Errors are values: an `Error` carries one kind of failure with its
/// message, and `Result<T>` holds either a value or an `Error`.

#include <string>
#include <utility>
#include <variant>

#include "base/duration.h"

namespace tarnwick {

/// A failure described by its message alone (argument faults and the like).
struct MessageError {
  std::string message;
};

/// An overall deadline fired; `elapsed` is how long the stopped clock ran.
struct TimeoutError {
  Duration elapsed;
};

/// The deadline of one phase of a phased test run fired.
struct PhaseTimeoutError {
  Duration elapsed;
  std::string phase;  // "build", "test execution" or "doc test"
};

/// The client cancelled the request.
struct CancelledError {};

/// The operating system's failure to start or wait for a process, as
/// "<system text> (os error N)".
struct IoError {
  std::string text;
  int code = 0;
};

using Error = std::variant<MessageError, TimeoutError, PhaseTimeoutError, CancelledError, IoError>;

/// The display text of an error, as shown after "error: ".
std::string error_text(const Error& error);
/// The diagnostic (debug) form: type name and fields.
std::string error_debug_text(const Error& error);

inline Error make_error(std::string message) { return MessageError{std::move(message)}; }

template <class T>
bool is_error_kind(const Error& error) {
  return std::holds_alternative<T>(error);
}

/// Either a value or an error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  Result(MessageError e) : v_(std::in_place_index<1>, Error(std::move(e))) {}
  Result(TimeoutError e) : v_(std::in_place_index<1>, Error(e)) {}
  Result(PhaseTimeoutError e) : v_(std::in_place_index<1>, Error(std::move(e))) {}
  Result(CancelledError e) : v_(std::in_place_index<1>, Error(e)) {}
  Result(IoError e) : v_(std::in_place_index<1>, Error(std::move(e))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

/// The value of an operation that returns nothing on success.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace tarnwick
