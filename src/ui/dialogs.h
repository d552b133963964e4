#pragma once
// Every modal dialog and file chooser the studio opens goes through these functions, so tests can
// answer them without a display or a blocked event loop. With no hook set, the real Qt dialog runs.

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QDialog;
class QWidget;

namespace orvane::ui {

enum class MessageKind { Information, Warning, Critical, Question };

struct Message {
  MessageKind kind;
  QString title;
  QString text;
};

// Test hooks. A hook that is set replaces the dialog entirely; its return value is the answer.
struct DialogHooks {
  std::function<QMessageBox::StandardButton(const Message&)> message;
  std::function<QString(const QString& caption)> existing_directory;
  std::function<QString(const QString& caption, const QString& filter)> open_file_name;
  std::function<QStringList(const QString& caption, const QString& filter)> open_file_names;
  std::function<QString(const QString& caption, const QString& filter)> save_file_name;
  // Custom modal dialogs (label dialog, split dialog ...): the hook may set their controls, then
  // returns QDialog::Accepted or QDialog::Rejected instead of running exec().
  std::function<int(QDialog& dialog)> exec_dialog;
};

DialogHooks& dialog_hooks();

QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text);
QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text);
QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text);
QMessageBox::StandardButton question(
    QWidget* parent, const QString& title, const QString& text,
    QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
    QMessageBox::StandardButton default_button = QMessageBox::NoButton);

QString get_existing_directory(QWidget* parent, const QString& caption, const QString& dir = {});
QString get_open_file_name(QWidget* parent, const QString& caption, const QString& dir = {},
                           const QString& filter = {});
QStringList get_open_file_names(QWidget* parent, const QString& caption, const QString& dir = {},
                                const QString& filter = {});
QString get_save_file_name(QWidget* parent, const QString& caption, const QString& dir = {},
                           const QString& filter = {});

// Runs a custom modal dialog: `dialog.exec()` unless a test hook answers for it.
int exec_dialog(QDialog& dialog);

}  // namespace orvane::ui
