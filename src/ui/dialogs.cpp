#include "ui/dialogs.h"

#include <QDialog>
#include <QFileDialog>

namespace orvane::ui {

DialogHooks& dialog_hooks() {
  static DialogHooks hooks;
  return hooks;
}

namespace {

QMessageBox::StandardButton show_message(MessageKind kind, QWidget* parent, const QString& title,
                                         const QString& text, QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton default_button) {
  if (dialog_hooks().message) return dialog_hooks().message({kind, title, text});
  switch (kind) {
    case MessageKind::Information:
      return QMessageBox::information(parent, title, text);
    case MessageKind::Warning:
      return QMessageBox::warning(parent, title, text);
    case MessageKind::Critical:
      return QMessageBox::critical(parent, title, text);
    case MessageKind::Question:
      return QMessageBox::question(parent, title, text, buttons, default_button);
  }
  return QMessageBox::NoButton;
}

}  // namespace

QMessageBox::StandardButton information(QWidget* parent, const QString& title,
                                        const QString& text) {
  return show_message(MessageKind::Information, parent, title, text, QMessageBox::Ok,
                      QMessageBox::NoButton);
}

QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text) {
  return show_message(MessageKind::Warning, parent, title, text, QMessageBox::Ok,
                      QMessageBox::NoButton);
}

QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text) {
  return show_message(MessageKind::Critical, parent, title, text, QMessageBox::Ok,
                      QMessageBox::NoButton);
}

QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton default_button) {
  return show_message(MessageKind::Question, parent, title, text, buttons, default_button);
}

QString get_existing_directory(QWidget* parent, const QString& caption, const QString& dir) {
  if (dialog_hooks().existing_directory) return dialog_hooks().existing_directory(caption);
  return QFileDialog::getExistingDirectory(parent, caption, dir);
}

QString get_open_file_name(QWidget* parent, const QString& caption, const QString& dir,
                           const QString& filter) {
  if (dialog_hooks().open_file_name) return dialog_hooks().open_file_name(caption, filter);
  return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QStringList get_open_file_names(QWidget* parent, const QString& caption, const QString& dir,
                                const QString& filter) {
  if (dialog_hooks().open_file_names) return dialog_hooks().open_file_names(caption, filter);
  return QFileDialog::getOpenFileNames(parent, caption, dir, filter);
}

QString get_save_file_name(QWidget* parent, const QString& caption, const QString& dir,
                           const QString& filter) {
  if (dialog_hooks().save_file_name) return dialog_hooks().save_file_name(caption, filter);
  return QFileDialog::getSaveFileName(parent, caption, dir, filter);
}

int exec_dialog(QDialog& dialog) {
  if (dialog_hooks().exec_dialog) return dialog_hooks().exec_dialog(dialog);
  return dialog.exec();
}

}  // namespace orvane::ui
