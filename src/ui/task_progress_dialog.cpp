#include "ui/task_progress_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "tasks/long_task.h"

namespace orvane::ui {

TaskProgressDialog::TaskProgressDialog(tasks::LongTask* task, const QString& title,
                                       QWidget* parent)
    : QDialog(parent), task_(task) {
  setWindowTitle(title);
  setModal(false);
  setObjectName("task_progress_dialog");
  auto* layout = new QVBoxLayout(this);
  label_ = new QLabel("Starting...");
  label_->setMinimumWidth(360);
  bar_ = new QProgressBar;
  bar_->setRange(0, 0);  // busy until the first report says how many
  btn_cancel_ = new QPushButton("Cancel");
  btn_cancel_->setObjectName("btn_task_cancel");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btn_cancel_);
  layout->addWidget(label_);
  layout->addWidget(bar_);
  layout->addLayout(buttons);
  connect(btn_cancel_, &QPushButton::clicked, this, &TaskProgressDialog::request_cancel);
  connect(task, &tasks::LongTask::progress_signal, this, &TaskProgressDialog::on_progress);
  connect(task, &tasks::LongTask::finished_signal, this, [this] {
    hide();
    deleteLater();
  });
}

TaskProgressDialog* TaskProgressDialog::follow(tasks::LongTask* task, const QString& title,
                                               QWidget* parent) {
  auto* dialog = new TaskProgressDialog(task, title, parent);
  dialog->setAttribute(Qt::WA_DeleteOnClose, false);  // deleted when the task ends
  dialog->show();
  return dialog;
}

void TaskProgressDialog::on_progress(int done, int total, const QString& text) {
  if (bar_->maximum() != total) bar_->setRange(0, total);
  bar_->setValue(done);
  if (btn_cancel_->isEnabled())
    label_->setText(text.isEmpty() ? QString("%1 of %2").arg(done).arg(total)
                                   : QString("%1 of %2: %3").arg(done).arg(total).arg(text));
}

void TaskProgressDialog::request_cancel() {
  if (!task_ || !btn_cancel_->isEnabled()) return;
  task_->cancel();
  btn_cancel_->setEnabled(false);
  label_->setText("Cancelling after the current file...");
}

void TaskProgressDialog::reject() { request_cancel(); }

}  // namespace orvane::ui
