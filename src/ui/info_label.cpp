#include "ui/info_label.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QWidget>

QWidget* create_info_label(const QString& text, const QString& tooltip_text) {
  auto* container = new QWidget;
  auto* layout = new QHBoxLayout(container);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  auto* label = new QLabel(text);
  // The mark keeps the dark theme's accent in both themes: it is readable on either background.
  auto* icon = new QLabel(QStringLiteral("ⓘ"));
  icon->setObjectName("infoIcon");
  icon->setStyleSheet("color: #6366F1; font-weight: bold; font-size: 11px;");
  icon->setToolTip(tooltip_text);
  layout->addWidget(label);
  layout->addWidget(icon);
  layout->addStretch();
  return container;
}
