#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace orvane::ui {

// The user guide, shown modally from the window's help button; a new one for every opening.
class HelpDialog : public QDialog {
  Q_OBJECT

 public:
  explicit HelpDialog(QWidget* parent = nullptr);

  // The guide as rich text: one bold section per tab, in tab order.
  static QString guide_text();

  QLabel* guide_label() const { return guide_label_; }
  QPushButton* close_button() const { return close_button_; }

 private:
  QLabel* guide_label_ = nullptr;
  QPushButton* close_button_ = nullptr;
};

}  // namespace orvane::ui
