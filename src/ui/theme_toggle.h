#pragma once

#include <QCheckBox>

namespace orvane::ui {

// The painted dark/light switch in the tab bar's corner; checked means dark. Used through the
// ordinary QCheckBox interface (setChecked, isChecked, toggled).
class ThemeToggle : public QCheckBox {
  Q_OBJECT

 public:
  explicit ThemeToggle(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // The whole painted track is clickable, not only QCheckBox's indicator and label area.
  bool hitButton(const QPoint& pos) const override;
};

}  // namespace orvane::ui
