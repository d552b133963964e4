#pragma once

#include <QDialog>

// The user guide, shown modally from the window's help button.
class HelpDialog : public QDialog {
  Q_OBJECT

 public:
  explicit HelpDialog(QWidget* parent = nullptr);
};
