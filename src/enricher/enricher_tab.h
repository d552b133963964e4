#pragma once

#include <QWidget>

class EnricherTab : public QWidget {
  Q_OBJECT

 public:
  explicit EnricherTab(QWidget* parent = nullptr);
};
