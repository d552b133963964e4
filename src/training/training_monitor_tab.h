#pragma once

#include <QVariantMap>
#include <QWidget>

#include "training/training_params.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTextEdit;
class ZoomableView;

namespace orvane::training {
class YoloTrainerThread;
}

// "Training Analytics & Live Logs": starts and stops a training run, shows its status, percent
// and console, and the charts of the run folder.
class TrainingMonitorTab : public QWidget {
  Q_OBJECT

 public:
  explicit TrainingMonitorTab(QWidget* parent = nullptr);
  ~TrainingMonitorTab() override;

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

  // The last training started; null before the first. Owned by this tab.
  orvane::training::YoloTrainerThread* trainer_thread = nullptr;
  bool is_training() const;

 Q_SIGNALS:
  // A run is starting: the window shows this tab.
  void show_requested();

 public Q_SLOTS:
  // Starts a training with the form's values (the configuration tab's start button).
  void start_training(const orvane::training::TrainingForm& form);
  void stop_training();
  void update_train_progress(int percent, const QString& status_txt, const QString& plot_path);
  void training_finished(const QVariantMap& data);
  void training_stopped();
  void training_error(const QString& message);
  void append_log(const QString& text);

 private:
  void setup_progress_tab();
};
