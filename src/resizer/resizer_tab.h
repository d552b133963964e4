#pragma once

#include <QWidget>

class ResizerTab : public QWidget {
  Q_OBJECT

 public:
  explicit ResizerTab(QWidget* parent = nullptr);
};
