#pragma once
// The training and tuning workers. Each runs one child `orvane` job (see job_runner.h) on its
// own thread and reports only through signals, which Qt queues to the GUI thread.

#include <QDateTime>
#include <QThread>
#include <QVariantMap>
#include <atomic>
#include <optional>

namespace orvane::training {

// One training followed by the final validation of its best weights.
class YoloTrainerThread : public QThread {
  Q_OBJECT

 public:
  // `params`: the training record (training_param_record). Nothing runs before start().
  explicit YoloTrainerThread(QVariantMap params, QObject* parent = nullptr);
  ~YoloTrainerThread() override;

  const QVariantMap params;
  std::atomic<bool> is_stopped{false};

  // Asks the run to end after the current batch (last.pt saved). Returns at once; only ever
  // turns the flag on.
  void stop();
  // Ends the child at once (the window is going away and a graceful stop took too long).
  void abort();
  // The running child's process id, 0 between children.
  qint64 child_pid() const { return child_pid_; }

 Q_SIGNALS:
  void log_signal(const QString& text);
  // Percent, status text, and the run's loss chart (redrawn after every epoch) or "".
  void progress_signal(int percent, const QString& status_txt, const QString& plot_path);
  void finished_signal(const QVariantMap& data);  // "save_dir", "metrics"
  void stopped_signal();
  void error_signal(const QString& message);

 protected:
  void run() override;

 private:
  std::atomic<bool> aborted_{false};
  std::atomic<qint64> child_pid_{0};
};

// One hyperparameter search; finishes with the tuned values read from best_hyperparameters.yaml.
class YoloTunerThread : public QThread {
  Q_OBJECT

 public:
  explicit YoloTunerThread(QVariantMap params, QObject* parent = nullptr);
  ~YoloTunerThread() override;

  const QVariantMap params;

  // Only for closing the window: ends the search's child gracefully (abort: at once).
  void stop();
  void abort();
  qint64 child_pid() const { return child_pid_; }

 Q_SIGNALS:
  void log_signal(const QString& text);
  void finished_signal(const QVariantMap& best_params);
  void error_signal(const QString& message);

 protected:
  void run() override;

 private:
  std::atomic<bool> stop_{false}, aborted_{false};
  std::atomic<qint64> child_pid_{0};
};

inline constexpr const char* kNoTuningResult =
    "AutoML tuning failed to generate hyperparameter manifest.";

// The newest "best_hyperparameters.yaml" at any depth below `project` (the folder itself
// included) that was written at or after `since` (null: any time); "" when there is none.
// Newest by creation time, or status-change time where the file system keeps none.
QString find_best_hyperparameters(const QString& project, const QDateTime& since = {});

// The top-level mapping of a tuning result as name -> text value; an error message instead when
// the file cannot be read or its top level is not a mapping.
struct HyperparameterFile {
  QVariantMap values;
  QString error;
};
HyperparameterFile read_hyperparameters(const QString& path);

}  // namespace orvane::training
