// Error values for fallible operations: a Result<T> holds either a T or an
// Error carrying the message shown to the user.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace velq {

// What went wrong, for callers that must branch on it: "absent" is not
// "unreadable", and neither is "damaged". The message is what users see.
enum class ErrorKind : std::uint8_t {
  kFailed,           // an operation failed for the reason its message gives
  kNotFound,         // the file or object does not exist (and nothing else)
  kCorruption,       // stored bytes do not decode or fail their checksum
  kIo,               // the operating system refused or failed an operation
  kInvalidArgument,  // the caller's input is not acceptable
  kNotSupported,     // a feature this build does not have
  kUnsynced,         // bytes reached the file but may not be durable; they
                     // may still reappear (a log batch whose sync failed)
  kBusy,             // another holder keeps the resource locked
};

class [[nodiscard]] Error {
 public:
  explicit Error(std::string message, ErrorKind kind = ErrorKind::kFailed)
      : message_(std::move(message)), kind_(kind) {}

  static Error not_found(std::string message) { return Error(std::move(message), ErrorKind::kNotFound); }
  static Error corruption(std::string message) { return Error(std::move(message), ErrorKind::kCorruption); }
  static Error io(std::string message) { return Error(std::move(message), ErrorKind::kIo); }
  static Error invalid_argument(std::string message) {
    return Error(std::move(message), ErrorKind::kInvalidArgument);
  }

  // The same message under another kind: a JSON decoding error met in a
  // stored file is corruption, not a bad argument.
  Error with_kind(ErrorKind kind) && {
    kind_ = kind;
    return std::move(*this);
  }

  const std::string& message() const { return message_; }
  ErrorKind kind() const { return kind_; }
  bool is_not_found() const { return kind_ == ErrorKind::kNotFound; }

 private:
  std::string message_;
  ErrorKind kind_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { assert(!ok()); return std::get<1>(v_); }
  Error&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}  // NOLINT

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const& { assert(!ok_); return error_; }
  Error&& error() && { assert(!ok_); return std::move(error_); }

 private:
  Error error_{std::string()};
  bool ok_ = true;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace velq

#define VELQ_CONCAT_INNER(a, b) a##b
#define VELQ_CONCAT(a, b) VELQ_CONCAT_INNER(a, b)

// Returns the error of `expr` (a Result of any type) from the enclosing function.
#define VELQ_RETURN_IF_ERROR(expr)                                  \
  do {                                                              \
    auto&& velq_status_ = (expr);                                   \
    if (!velq_status_.ok()) return std::move(velq_status_).error(); \
  } while (0)

// `lhs` = value of `expr`, or return its error.
#define VELQ_ASSIGN_OR_RETURN(lhs, expr) \
  VELQ_ASSIGN_OR_RETURN_IMPL(VELQ_CONCAT(velq_result_, __LINE__), lhs, expr)
#define VELQ_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return std::move(tmp).error();    \
  lhs = std::move(tmp).value()
