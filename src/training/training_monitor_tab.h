#pragma once

#include <QVariantMap>
#include <QWidget>

#include "training/training_params.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTextEdit;

namespace orvane::training {
class YoloTrainerThread;
}
namespace orvane::test {
struct Access;
}

namespace orvane {
class ZoomableView;
}  // namespace orvane

namespace orvane::training {

// "Training Analytics & Live Logs": starts and stops a training run, shows its status, percent
// and console, and the charts of the run folder.
class TrainingMonitorTab : public QWidget {
  Q_OBJECT

 public:
  explicit TrainingMonitorTab(QWidget* parent = nullptr);
  ~TrainingMonitorTab() override;

  bool is_training() const;
  // Ends the running child at once (the window is closing and a graceful stop took too long).
  void abort_training();

 Q_SIGNALS:
  // A run is starting: the window shows this tab.
  void show_requested();
  // The training thread has ended (whatever the outcome); is_training() is false from here on.
  void training_ended();

 public Q_SLOTS:
  // Starts a training with the form's values (the configuration tab's start button).
  void start_training(const orvane::training::TrainingForm& form);
  void stop_training();
  void update_train_progress(int percent, const QString& status_txt, const QString& plot_path);
  void training_finished(const QVariantMap& data);
  void training_stopped();
  void training_error(const QString& message);
  void append_log(const QString& text);
  // Empties the console (a search is starting and writes into it).
  void clear_log();

 private:
  friend struct orvane::test::Access;
  void setup_progress_tab();

  struct Ui {
    QLabel* lbl_train_status = nullptr;
    QPushButton* btn_stop_train = nullptr;
    QProgressBar* bar_train_progress = nullptr;
    QTextEdit* console_log = nullptr;
    QTabWidget* tabs_analytics = nullptr;
    ZoomableView* view_loss_plot = nullptr;
    ZoomableView* view_f1_plot = nullptr;
    ZoomableView* view_pr_plot = nullptr;
    ZoomableView* view_confusion_plot = nullptr;
    ZoomableView* view_val_batch = nullptr;
  } ui_;
  struct State {
    // The last training started; null before the first. Owned by this tab.
    orvane::training::YoloTrainerThread* trainer_thread = nullptr;
  } state_;
};

}  // namespace orvane::training
