#pragma once
// Answers every studio dialog in a test and records what was shown. Install one per test; the
// destructor removes the hooks so tests stay independent.

#include <QDialog>
#include <QStringList>
#include <deque>
#include <vector>

#include "ui/dialogs.h"

namespace orvane::test {

class DialogRecorder {
 public:
  DialogRecorder() {
    auto& hooks = ui::dialog_hooks();
    hooks.message = [this](const ui::Message& m) {
      messages.push_back(m);
      return next(answers, QMessageBox::Ok);
    };
    hooks.existing_directory = [this](const QString&) { return next(directories, QString()); };
    hooks.open_file_name = [this](const QString&, const QString&) { return next(files, QString()); };
    hooks.open_file_names = [this](const QString&, const QString&) {
      return next(file_lists, QStringList());
    };
    hooks.save_file_name = [this](const QString&, const QString&) {
      return next(save_names, QString());
    };
    hooks.exec_dialog = [this](QDialog& dialog) {
      ++dialogs_run;
      if (!dialog_actions.empty()) {
        auto action = dialog_actions.front();
        dialog_actions.pop_front();
        return action(dialog);
      }
      return int(QDialog::Rejected);
    };
  }
  ~DialogRecorder() { ui::dialog_hooks() = {}; }
  DialogRecorder(const DialogRecorder&) = delete;
  DialogRecorder& operator=(const DialogRecorder&) = delete;

  // Queued answers, used in order; when a queue is empty the dialog is "cancelled".
  std::deque<QMessageBox::StandardButton> answers;
  std::deque<QString> directories, files, save_names;
  std::deque<QStringList> file_lists;
  std::deque<std::function<int(QDialog&)>> dialog_actions;

  std::vector<ui::Message> messages;
  int dialogs_run = 0;

 private:
  template <typename T>
  static T next(std::deque<T>& queue, T fallback) {
    if (queue.empty()) return fallback;
    T value = queue.front();
    queue.pop_front();
    return value;
  }
};

}  // namespace orvane::test
