#pragma once

#include <QCheckBox>

// The painted dark/light switch; checked means dark.
class ThemeToggle : public QCheckBox {
  Q_OBJECT

 public:
  explicit ThemeToggle(QWidget* parent = nullptr);
};
