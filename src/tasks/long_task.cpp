#include "tasks/long_task.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <exception>

namespace orvane::tasks {

LongTask::LongTask(QObject* parent) : QObject(parent) {}

LongTask::~LongTask() {
  if (!thread_) return;
  stop_ = true;
  thread_->wait();
  delete thread_;
}

bool LongTask::start(Work work, Done done) {
  if (thread_) return false;
  stop_ = false;
  done_ = std::move(done);
  end_ = std::make_shared<TaskEnd>();
  auto end = end_;
  thread_ = QThread::create([this, work = std::move(work), end] {
    // At most one report every 20 ms reaches the window (and always the last one): a batch of
    // tiny files must not flood the event loop it is meant to leave free.
    QElapsedTimer since_report;
    TaskControl control(stop_, [this, &since_report](int done, int total, const QString& text) {
      if (since_report.isValid() && since_report.elapsed() < 20 && done < total) return;
      since_report.start();
      Q_EMIT progress_signal(done, total, text);
    });
    try {
      work(control);
    } catch (const std::exception& e) {
      // The boundary of the task thread: a deep failure (I/O, OpenCV) ends the batch with its
      // reason instead of taking the program down.
      end->error = QString::fromLocal8Bit(e.what()).section(QLatin1Char('\n'), 0, 0);
    }
  });
  // The generation tells this run's end from a stale one that `wait` already handled.
  const quint64 generation = ++generation_;
  connect(
      thread_, &QThread::finished, this,
      [this, generation] {
        if (generation == generation_) on_thread_finished();
      },
      Qt::QueuedConnection);
  thread_->start();
  Q_EMIT started_signal();
  return true;
}

void LongTask::cancel() {
  if (thread_) stop_ = true;
}

void LongTask::on_thread_finished() {
  if (!thread_) return;
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  TaskEnd end = *end_;
  end.cancelled = stop_.load();
  // Cleared before `done` runs, so that `done` may start the next batch. The signal first: the
  // progress display closes before `done` shows its closing message.
  Done done = std::move(done_);
  done_ = {};
  Q_EMIT finished_signal(end.cancelled, end.error);
  if (done) done(end);
}

bool LongTask::wait(int timeout_ms) {
  const QDeadlineTimer deadline =
      timeout_ms < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeout_ms);
  while (thread_) {
    if (!thread_->wait(deadline)) return false;
    // The queued progress and end arrive through the event loop, in the order they were sent.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    if (thread_ && thread_->isFinished()) on_thread_finished();
  }
  return true;
}

}  // namespace orvane::tasks
