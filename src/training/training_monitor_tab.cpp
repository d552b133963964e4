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

using namespace orvane::training;

TrainingMonitorTab::TrainingMonitorTab(QWidget* parent) : QWidget(parent) { setup_progress_tab(); }

TrainingMonitorTab::~TrainingMonitorTab() {
  // The thread object's own destructor ends a run still going; no child is left behind.
  delete trainer_thread;
}

void TrainingMonitorTab::setup_progress_tab() {
  auto* layout = new QHBoxLayout(this);

  auto* left = new QVBoxLayout;
  auto* status_row = new QHBoxLayout;
  lbl_train_status = new QLabel("Status: Idle Workstation");
  lbl_train_status->setObjectName("lbl_train_status");
  lbl_train_status->setFont(QFont("Segoe UI", 11, QFont::Bold));
  btn_stop_train = new QPushButton(QStringLiteral("⏹️ STOP TRAINING"));
  btn_stop_train->setObjectName("dangerBtn");
  btn_stop_train->setEnabled(false);
  connect(btn_stop_train, &QPushButton::clicked, this, [this] { stop_training(); });
  status_row->addWidget(lbl_train_status);
  status_row->addStretch();
  status_row->addWidget(btn_stop_train);
  left->addLayout(status_row);
  bar_train_progress = new QProgressBar;
  bar_train_progress->setObjectName("bar_train_progress");
  left->addWidget(bar_train_progress);
  left->addWidget(new QLabel("Real-Time Execution Logs:"));
  console_log = new QTextEdit;
  console_log->setObjectName("console_log");
  console_log->setReadOnly(true);
  // A console is never undone; the undo history would keep a copy of every line appended.
  console_log->setUndoRedoEnabled(false);
  // The engine prints tables; wrapped, their last column lands on a line of its own.
  console_log->setLineWrapMode(QTextEdit::NoWrap);
  left->addWidget(console_log);
  layout->addLayout(left, 4);

  auto* metrics = new QGroupBox("Performance Metrics && Diagnostics");
  auto* metrics_layout = new QVBoxLayout(metrics);
  tabs_analytics = new QTabWidget;
  tabs_analytics->setObjectName("tabs_analytics");
  view_loss_plot = new ZoomableView;
  view_f1_plot = new ZoomableView;
  view_pr_plot = new ZoomableView;
  view_confusion_plot = new ZoomableView;
  view_val_batch = new ZoomableView;
  tabs_analytics->addTab(view_loss_plot, "Live Loss Curves");
  tabs_analytics->addTab(view_f1_plot, "F1-Score");
  tabs_analytics->addTab(view_pr_plot, "Precision-Recall");
  tabs_analytics->addTab(view_confusion_plot, "Confusion Matrix");
  tabs_analytics->addTab(view_val_batch, "Validation Batch Predictions");
  metrics_layout->addWidget(tabs_analytics);
  layout->addWidget(metrics, 5);
}

bool TrainingMonitorTab::is_training() const {
  return trainer_thread && trainer_thread->isRunning();
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
  const QVariantMap record = training_param_record(form, QString::fromStdString(compute_device()));

  console_log->clear();
  lbl_train_status->setText("Status: Initializing YOLO Session...");
  bar_train_progress->setValue(0);
  btn_stop_train->setEnabled(true);
  Q_EMIT show_requested();

  delete trainer_thread;  // the previous run has ended
  trainer_thread = new YoloTrainerThread(record);
  connect(trainer_thread, &YoloTrainerThread::log_signal, this, &TrainingMonitorTab::append_log);
  connect(trainer_thread, &YoloTrainerThread::progress_signal, this,
          &TrainingMonitorTab::update_train_progress);
  connect(trainer_thread, &YoloTrainerThread::finished_signal, this,
          &TrainingMonitorTab::training_finished);
  connect(trainer_thread, &YoloTrainerThread::stopped_signal, this,
          &TrainingMonitorTab::training_stopped);
  connect(trainer_thread, &YoloTrainerThread::error_signal, this,
          &TrainingMonitorTab::training_error);
  trainer_thread->start();
}

void TrainingMonitorTab::stop_training() {
  if (!is_training()) return;
  lbl_train_status->setText("Status: Halting Training...");
  btn_stop_train->setEnabled(false);
  trainer_thread->stop();
}

void TrainingMonitorTab::update_train_progress(int percent, const QString& status_txt,
                                               const QString& plot_path) {
  bar_train_progress->setValue(percent);
  lbl_train_status->setText("Status: " + status_txt);
  if (!plot_path.isEmpty() && QFileInfo::exists(plot_path))
    view_loss_plot->set_image(QPixmap(plot_path));
}

void TrainingMonitorTab::training_finished(const QVariantMap& data) {
  lbl_train_status->setText("Status: Training Complete");
  bar_train_progress->setValue(100);
  btn_stop_train->setEnabled(false);
  const QString run_dir = data.value("save_dir").toString();
  ZoomableView* const views[] = {view_loss_plot, view_confusion_plot, view_f1_plot, view_pr_plot,
                                 view_val_batch};
  const auto& pages = chart_pages();
  for (size_t i = 0; i < pages.size(); ++i) {
    const QString chart = find_run_chart(run_dir, pages[i].patterns);
    if (!chart.isEmpty()) views[i]->set_image(QPixmap(chart));
  }
}

void TrainingMonitorTab::training_stopped() {
  lbl_train_status->setText("Status: Training Stopped");
  btn_stop_train->setEnabled(false);
}

void TrainingMonitorTab::training_error(const QString& message) {
  orvane::ui::critical(this, "Training Error", message);
}

void TrainingMonitorTab::append_log(const QString& text) {
  QTextCursor cursor = console_log->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
  console_log->setTextCursor(cursor);
}
