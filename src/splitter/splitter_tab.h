#pragma once

#include <QWidget>

class SplitterTab : public QWidget {
  Q_OBJECT

 public:
  explicit SplitterTab(QWidget* parent = nullptr);
};
