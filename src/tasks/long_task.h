#pragma once
// Long work off the window's thread: one batch at a time on a thread of its own, progress and the
// end reported with plain values through queued signals, and a stop flag the work checks between
// files. A tab owns one LongTask per kind of batch; the window stays free while it runs.
//
//   GUI thread                     task thread
//   start(work, done) ───────────► work(control)
//     progress_signal  ◄─queued─── control.report(done, total, text)
//   cancel() ─► flag ────────────► control.stop_requested() between files
//     finished_signal, done(end) ◄─ work returns (or throws: end.error)

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class QThread;

namespace orvane::tasks {

// What the work sees on its thread.
class TaskControl {
 public:
  TaskControl(const std::atomic_bool& stop, std::function<void(int, int, const QString&)> report)
      : stop_(stop), report_(std::move(report)) {}
  // Cancel was asked for: finish the current file, then return.
  bool stop_requested() const { return stop_.load(); }
  // For cores that take the flag itself.
  const std::atomic_bool* stop_flag() const { return &stop_; }
  // `done` of `total` files; `text` names the current one. Delivered to the GUI thread queued,
  // thinned out to one every 20 ms (the last, done == total, always arrives).
  void report(int done, int total, const QString& text = {}) const { report_(done, total, text); }

 private:
  const std::atomic_bool& stop_;
  std::function<void(int, int, const QString&)> report_;
};

// How the work ended.
struct TaskEnd {
  bool cancelled = false;  // cancel() was called before the work returned
  QString error;           // the first line of an exception that escaped the work; empty if none
};

class LongTask : public QObject {
  Q_OBJECT

 public:
  using Work = std::function<void(TaskControl&)>;
  using Done = std::function<void(const TaskEnd&)>;

  explicit LongTask(QObject* parent = nullptr);
  // Asks running work to stop and waits for it: files are whole when the window goes away.
  ~LongTask() override;

  // Runs `work` on a new thread and, on this object's thread once it has ended, finished_signal
  // and then `done`. Returns
  // false and runs nothing while earlier work is still running.
  bool start(Work work, Done done = {});
  bool running() const { return thread_ != nullptr; }
  // The work stops after its current file; `done` still runs, with `cancelled` set.
  void cancel();
  bool cancel_requested() const { return stop_.load(); }
  // Blocks until running work has ended and `done` has run (tests, shutdown). False on timeout.
  bool wait(int timeout_ms = -1);

 Q_SIGNALS:
  void started_signal();
  void progress_signal(int done, int total, const QString& text);
  void finished_signal(bool cancelled, const QString& error);

 private:
  void on_thread_finished();

  QThread* thread_ = nullptr;  // owned; null when idle
  quint64 generation_ = 0;     // counts the runs started
  std::atomic_bool stop_{false};
  Done done_;
  std::shared_ptr<TaskEnd> end_;
};

}  // namespace orvane::tasks
