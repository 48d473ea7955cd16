// The one way new code reports failure: a value or an error text kept for the log. The small
// integer results of the system stay at its outside interfaces (exported C functions, exit codes,
// replies) and are made from a Result there.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace qv {

// An error: what went wrong, in words fit for a log line.
struct Error {
  std::string text;
};

inline Error Fail(std::string text) { return Error{std::move(text)}; }

template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : error_(std::move(error.text)) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const& {
    assert(ok());
    return *value_;
  }
  T& value() & {
    assert(ok());
    return *value_;
  }
  T&& value() && {
    assert(ok());
    return std::move(*value_);
  }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }
  const T& operator*() const& { return value(); }
  // Empty when ok().
  const std::string& error() const { return error_; }

 private:
  std::optional<T> value_;
  std::string error_;
};

// A result without a value.
class Status {
 public:
  Status() = default;
  Status(Error error) : failed_(true), error_(std::move(error.text)) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }

 private:
  bool failed_ = false;
  std::string error_;
};

}  // namespace qv
