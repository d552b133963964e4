#pragma once

#include <QWidget>

class AnnotatorTab : public QWidget {
  Q_OBJECT

 public:
  explicit AnnotatorTab(QWidget* parent = nullptr);
};
