#include "training/training_monitor_tab.h"

#include <QFileInfo>
#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include "training/compute_device.h"
#include "training/run_charts.h"
#include "training/yolo_threads.h"
#include "ui/dialogs.h"
#include "widgets/zoomable_view.h"

namespace orvane::training {

using namespace orvane::training;

TrainingMonitorTab::TrainingMonitorTab(QWidget* parent) : QWidget(parent) { setup_progress_tab(); }

TrainingMonitorTab::~TrainingMonitorTab() {
  // The thread object's own destructor ends a run still going; no child is left behind.
  delete state_.trainer_thread;
}

void TrainingMonitorTab::setup_progress_tab() {
  auto* layout = new QHBoxLayout(this);

  auto* left = new QVBoxLayout;
  auto* status_row = new QHBoxLayout;
  ui_.lbl_train_status = new QLabel("Status: Idle Workstation");
  ui_.lbl_train_status->setObjectName("lbl_train_status");
  ui_.lbl_train_status->setFont(QFont("Segoe UI", 11, QFont::Bold));
  ui_.btn_stop_train = new QPushButton(QStringLiteral("⏹️ STOP TRAINING"));
  ui_.btn_stop_train->setObjectName("dangerBtn");
  ui_.btn_stop_train->setEnabled(false);
  connect(ui_.btn_stop_train, &QPushButton::clicked, this, [this] { stop_training(); });
  status_row->addWidget(ui_.lbl_train_status);
  status_row->addStretch();
  status_row->addWidget(ui_.btn_stop_train);
  left->addLayout(status_row);
  ui_.bar_train_progress = new QProgressBar;
  ui_.bar_train_progress->setObjectName("bar_train_progress");
  left->addWidget(ui_.bar_train_progress);
  left->addWidget(new QLabel("Real-Time Execution Logs:"));
  ui_.console_log = new QTextEdit;
  ui_.console_log->setObjectName("console_log");
  ui_.console_log->setReadOnly(true);
  // A console is never undone; the undo history would keep a copy of every line appended.
  ui_.console_log->setUndoRedoEnabled(false);
  // The engine prints tables; wrapped, their last column lands on a line of its own.
  ui_.console_log->setLineWrapMode(QTextEdit::NoWrap);
  left->addWidget(ui_.console_log);
  layout->addLayout(left, 4);

  auto* metrics = new QGroupBox("Performance Metrics && Diagnostics");
  auto* metrics_layout = new QVBoxLayout(metrics);
  ui_.tabs_analytics = new QTabWidget;
  ui_.tabs_analytics->setObjectName("tabs_analytics");
  ui_.view_loss_plot = new ZoomableView;
  ui_.view_f1_plot = new ZoomableView;
  ui_.view_pr_plot = new ZoomableView;
  ui_.view_confusion_plot = new ZoomableView;
  ui_.view_val_batch = new ZoomableView;
  ui_.tabs_analytics->addTab(ui_.view_loss_plot, "Live Loss Curves");
  ui_.tabs_analytics->addTab(ui_.view_f1_plot, "F1-Score");
  ui_.tabs_analytics->addTab(ui_.view_pr_plot, "Precision-Recall");
  ui_.tabs_analytics->addTab(ui_.view_confusion_plot, "Confusion Matrix");
  ui_.tabs_analytics->addTab(ui_.view_val_batch, "Validation Batch Predictions");
  metrics_layout->addWidget(ui_.tabs_analytics);
  layout->addWidget(metrics, 5);
}

bool TrainingMonitorTab::is_training() const {
  return state_.trainer_thread && state_.trainer_thread->isRunning();
}

void TrainingMonitorTab::start_training(const TrainingForm& form) {
  // One run at a time: a second would train into the same console, cores and often folder.
  if (is_training()) {
    orvane::ui::warning(this, "Training Busy",
                        "A training run is already in progress; stop it before starting another.");
    return;
  }
  const QString data_yaml = form.data_yaml.trimmed();
  if (!QFileInfo::exists(data_yaml)) {
    orvane::ui::critical(this, "Error", "YAML file path does not exist:\n" + data_yaml);
    return;
  }

  ui_.console_log->clear();
  ui_.lbl_train_status->setText("Status: Initializing YOLO Session...");
  ui_.bar_train_progress->setValue(0);
  ui_.btn_stop_train->setEnabled(true);
  Q_EMIT show_requested();

  delete state_.trainer_thread;  // the previous run has ended
  state_.trainer_thread = new YoloTrainerThread(form, QString::fromStdString(compute_device()));
  connect(state_.trainer_thread, &YoloTrainerThread::log_signal, this,
          &TrainingMonitorTab::append_log);
  connect(state_.trainer_thread, &YoloTrainerThread::progress_signal, this,
          &TrainingMonitorTab::update_train_progress);
  connect(state_.trainer_thread, &YoloTrainerThread::finished_signal, this,
          [this](bool stopped, const QString& error, const QVariantMap& data) {
            if (stopped)
              training_stopped();
            else if (!error.isEmpty())
              training_error(error);
            else
              training_finished(data);
          });
  connect(state_.trainer_thread, &QThread::finished, this, &TrainingMonitorTab::training_ended);
  state_.trainer_thread->start();
}

void TrainingMonitorTab::abort_training() {
  if (is_training()) state_.trainer_thread->abort();
}

void TrainingMonitorTab::stop_training() {
  if (!is_training()) return;
  ui_.lbl_train_status->setText("Status: Halting Training...");
  ui_.btn_stop_train->setEnabled(false);
  state_.trainer_thread->stop();
}

void TrainingMonitorTab::update_train_progress(int percent, const QString& status_txt,
                                               const QString& plot_path) {
  ui_.bar_train_progress->setValue(percent);
  ui_.lbl_train_status->setText("Status: " + status_txt);
  if (!plot_path.isEmpty() && QFileInfo::exists(plot_path))
    ui_.view_loss_plot->set_image(QPixmap(plot_path));
}

void TrainingMonitorTab::training_finished(const QVariantMap& data) {
  ui_.lbl_train_status->setText("Status: Training Complete");
  ui_.bar_train_progress->setValue(100);
  ui_.btn_stop_train->setEnabled(false);
  const QString run_dir = data.value("save_dir").toString();
  const std::pair<Chart, ZoomableView*> pages[] = {
      {Chart::Loss, ui_.view_loss_plot},
      {Chart::ConfusionMatrix, ui_.view_confusion_plot},
      {Chart::F1, ui_.view_f1_plot},
      {Chart::PrecisionRecall, ui_.view_pr_plot},
      {Chart::ValBatch, ui_.view_val_batch}};
  for (const auto& [chart, view] : pages) {
    const QString file = find_run_chart(run_dir, chart_patterns(chart));
    if (!file.isEmpty()) view->set_image(QPixmap(file));
  }
}

void TrainingMonitorTab::training_stopped() {
  ui_.lbl_train_status->setText("Status: Training Stopped");
  ui_.btn_stop_train->setEnabled(false);
}

void TrainingMonitorTab::training_error(const QString& message) {
  // The run is over: a status still reading the last epoch and a live stop button would claim
  // otherwise.
  ui_.lbl_train_status->setText("Status: Training Failed");
  ui_.btn_stop_train->setEnabled(false);
  orvane::ui::critical(this, "Training Error", message);
}

void TrainingMonitorTab::append_log(const QString& text) {
  QTextCursor cursor = ui_.console_log->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
  ui_.console_log->setTextCursor(cursor);
}

void TrainingMonitorTab::clear_log() { ui_.console_log->clear(); }

}  // namespace orvane::training
