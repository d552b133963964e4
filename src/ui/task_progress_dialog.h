#pragma once
// The progress display of a LongTask: a small window beside the main one, not modal, so the
// window keeps answering (typing, switching tabs) while the batch runs. It only displays: nothing
// in it runs the event loop, so it stays consistent however often the loop re-enters, and it
// closes and deletes itself when the task ends. Cancel asks the task to stop after its file.

#include <QDialog>
#include <QPointer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace orvane::tasks {
class LongTask;
}

namespace orvane::ui {

class TaskProgressDialog : public QDialog {
  Q_OBJECT

 public:
  // Follows `task` (not owned) from now until its end; `title` names the batch.
  TaskProgressDialog(tasks::LongTask* task, const QString& title, QWidget* parent);

  // Shows a dialog for `task` (deleted when the task ends) and returns it.
  static TaskProgressDialog* follow(tasks::LongTask* task, const QString& title, QWidget* parent);

  QPushButton* cancel_button() const { return btn_cancel_; }
  QProgressBar* bar() const { return bar_; }
  QLabel* label() const { return label_; }

 protected:
  void reject() override;  // Escape and the title bar's close button cancel too

 private:
  void on_progress(int done, int total, const QString& text);
  void request_cancel();

  QPointer<tasks::LongTask> task_;
  QLabel* label_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* btn_cancel_ = nullptr;
};

}  // namespace orvane::ui
