#pragma once
// The one result type of the Qt-side cores (files, imaging, annotator, dataset, resizer,
// splitter, enricher, interchange, inference and training cores): a value, or the one-line
// message saying why there is none. Expected failures travel as these values; the engine's
// exceptions are caught where a core calls it and become one. `Result<>` carries no value.
//
//     Result<QImage> load(const QString& path) {
//       if (...) return fail(QStringLiteral("Could not read %1: ...").arg(path));
//       return image;
//     }
//     if (const auto r = load(p); !r) show(r.error());
//
// A core that reports several failures at once (a batch with per-file failures) keeps its report
// struct; whether the run as a whole succeeded is still one of these.

#include <QString>
#include <optional>
#include <utility>

namespace orvane {

struct Failure {
  QString message;
};

inline Failure fail(QString message) { return Failure{std::move(message)}; }

template <typename T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}                    // NOLINT: implicit by design
  Result(Failure failure) : error_(std::move(failure.message)) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const { return *value_; }
  T& value() { return *value_; }
  const T& operator*() const { return *value_; }
  T& operator*() { return *value_; }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }
  // Empty when ok(); otherwise the reason, naming the file or the value at fault.
  const QString& error() const { return error_; }

 private:
  std::optional<T> value_;
  QString error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;                                                          // success
  Result(Failure failure) : error_(std::move(failure.message)), ok_(false) {}  // NOLINT

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok(); }
  const QString& error() const { return error_; }

 private:
  QString error_;
  bool ok_ = true;
};

}  // namespace orvane
