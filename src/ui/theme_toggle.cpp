#include "ui/theme_toggle.h"

#include <QPainter>

namespace orvane::ui {

ThemeToggle::ThemeToggle(QWidget* parent) : QCheckBox(parent) {
  setCursor(Qt::PointingHandCursor);
  setFixedSize(56, 26);
  setToolTip("Toggle Mode");
}

bool ThemeToggle::hitButton(const QPoint& pos) const { return rect().contains(pos); }

void ThemeToggle::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const bool is_dark = isChecked();
  const int w = width();
  const int h = height();

  // Track.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(is_dark ? "#222226" : "#D1D1D6"));
  painter.drawRoundedRect(QRectF(0, 0, w, h), 13, 13);

  // Knob: right when dark, left when light.
  painter.setBrush(QColor("#FFFFFF"));
  painter.drawEllipse(QRectF(is_dark ? w - 22 : 4, 3, 20, 20));

  // Glyph on the side opposite the knob.
  QFont font = painter.font();
  font.setPointSize(9);
  painter.setFont(font);
  painter.setPen(QColor(is_dark ? "#FFD700" : "#FFA500"));
  const QRect glyph_area = rect().adjusted(6, 0, -6, 0);
  if (is_dark) {
    painter.drawText(glyph_area, Qt::AlignLeft, QStringLiteral("🌙"));
  } else {
    painter.drawText(glyph_area, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("☀️"));
  }
}

}  // namespace orvane::ui
