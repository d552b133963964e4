#pragma once
// The training and tuning workers. Each runs one child `orvane` job (see job_runner.h) on its
// own thread and reports only through signals, which Qt queues to the GUI thread.

#include <QDateTime>
#include <QThread>
#include <QVariantMap>
#include <atomic>
#include <optional>

#include "files/result.h"
#include "training/job_runner.h"
#include "training/training_params.h"

namespace orvane::training {

// What both workers share: one child job at a time that can be asked to stop after its batch or
// ended at once, and the running child's process id. Derived destructors call end_and_wait
// first, so no child outlives its thread object.
class JobThread : public QThread {
  Q_OBJECT

 public:
  // Asks the child to end after the current batch (last.pt saved). Returns at once; only ever
  // turns the flag on.
  void stop();
  // Ends the child at once (the window is going away and a graceful stop took too long).
  void abort();
  bool stop_requested() const { return stop_; }
  // The running child's process id, 0 between children.
  qint64 child_pid() const { return child_pid_; }

 protected:
  explicit JobThread(QObject* parent) : QThread(parent) {}
  void end_and_wait();
  // The flags and the process id, for run_job.
  JobControl control() { return {&stop_, &aborted_, &child_pid_}; }

 private:
  std::atomic<bool> stop_{false}, aborted_{false};
  std::atomic<qint64> child_pid_{0};
};

// One training followed by the final validation of its best weights.
class YoloTrainerThread : public JobThread {
  Q_OBJECT

 public:
  // Trains with `form` (texts trimmed here) on `device`. Nothing runs before start().
  YoloTrainerThread(const TrainingForm& form, const QString& device, QObject* parent = nullptr);
  ~YoloTrainerThread() override;

  const TrainingForm& form() const { return form_; }
  const QString& device() const { return device_; }

 Q_SIGNALS:
  void log_signal(const QString& text);
  // Percent, status text, and the run's loss chart (redrawn after every epoch) or "".
  void progress_signal(int percent, const QString& status_txt, const QString& plot_path);
  // Exactly once, at the end, as every long task ends: stopped, or failed with the reason, or
  // finished with "save_dir" and "metrics" in `data`.
  void finished_signal(bool stopped, const QString& error, const QVariantMap& data);

 protected:
  void run() override;

 private:
  const TrainingForm form_;
  const QString device_;
};

// One hyperparameter search; finishes with the tuned values read from best_hyperparameters.yaml.
// stop and abort serve only the closing of the window.
class YoloTunerThread : public JobThread {
  Q_OBJECT

 public:
  YoloTunerThread(const TrainingForm& form, const QString& device, QObject* parent = nullptr);
  ~YoloTunerThread() override;

  const TrainingForm& form() const { return form_; }
  const QString& device() const { return device_; }

 Q_SIGNALS:
  void log_signal(const QString& text);
  // Exactly once, at the end: stopped, or failed with the reason, or finished with the tuned
  // values in `best_params`.
  void finished_signal(bool stopped, const QString& error, const QVariantMap& best_params);

 protected:
  void run() override;

 private:
  const TrainingForm form_;
  const QString device_;
};

inline constexpr const char* kNoTuningResult =
    "AutoML tuning failed to generate hyperparameter manifest.";

// The newest "best_hyperparameters.yaml" at any depth below `project` (the folder itself
// included) that was written at or after `since` (null: any time); "" when there is none.
// Newest by creation time, or status-change time where the file system keeps none.
QString find_best_hyperparameters(const QString& project, const QDateTime& since = {});

// The top-level mapping of a tuning result as name -> text value; fails when the file cannot be
// read or its top level is not a mapping.
Result<QVariantMap> read_hyperparameters(const QString& path);

}  // namespace orvane::training
