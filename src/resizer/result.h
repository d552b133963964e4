#pragma once
// A value or the message saying why there is none: the resizer's expected failures (a text that
// is not a number, a file that does not decode) travel as values, not exceptions.

#include <QString>
#include <optional>
#include <utility>

namespace orvane::resizer {

struct Failure {
  QString message;
};

inline Failure fail(QString message) { return Failure{std::move(message)}; }

template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}                    // NOLINT: implicit by design
  Result(Failure failure) : error_(std::move(failure.message)) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const { return *value_; }
  T& value() { return *value_; }
  const T& operator*() const { return *value_; }
  const T* operator->() const { return &*value_; }
  const QString& error() const { return error_; }

 private:
  std::optional<T> value_;
  QString error_;
};

}  // namespace orvane::resizer
