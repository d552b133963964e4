#include "review/review_overlay.h"

#include <QPainter>
#include <QFont>
#include <algorithm>
#include <cmath>

#include "annotator/classes_file.h"

namespace orvane::review {

ReviewOverlay::ReviewOverlay(QGraphicsItem* parent) : QGraphicsObject(parent) {
  setAcceptedMouseButtons(Qt::NoButton);
  setAcceptHoverEvents(false);
  setZValue(1000);
}

void ReviewOverlay::set_predictions(std::vector<Prediction> predictions, QStringList names,
                                    QSizeF image) {
  prepareGeometryChange();
  predictions_ = std::move(predictions);
  names_ = std::move(names);
  image_ = image;
  current_prediction_ = -1;
  current_box_ = {};
  update();
}

void ReviewOverlay::set_current(const Finding* finding) {
  current_prediction_ = finding ? finding->prediction : -1;
  current_box_ = finding ? finding->box : QRectF();
  update();
}

QRectF ReviewOverlay::boundingRect() const {
  return QRectF(QPointF(-40, -40), image_ + QSizeF(80, 80));
}

void ReviewOverlay::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
  painter->setRenderHint(QPainter::Antialiasing);
  // Captions keep one screen size at any zoom: a small image is shown magnified many times.
  const double zoom = std::max(1e-3, std::abs(painter->worldTransform().m11()));
  QFont font = painter->font();
  font.setPixelSize(std::max(1, int(std::lround(12.0 / zoom))));
  painter->setFont(font);
  for (int i = 0; i < int(predictions_.size()); ++i) {
    const Prediction& p = predictions_[size_t(i)];
    const bool current = i == current_prediction_;
    // Cosmetic pens keep the outline one screen width at any zoom.
    QPen pen(current ? QColor("#FFFFFF") : class_color(p.class_id), current ? 3 : 1.5,
             current ? Qt::DashLine : Qt::DotLine);
    pen.setCosmetic(true);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    if (p.outline.size() >= 3)
      painter->drawPolygon(p.outline);
    else
      painter->drawRect(p.box);
    painter->drawText(p.box.topLeft() + QPointF(2 / zoom, -3 / zoom),
                      QStringLiteral("%1 %2").arg(class_name(names_, p.class_id)).arg(p.conf, 0, 'f', 2));
  }
  if (!current_box_.isNull()) {
    // The finding's place, whatever it rests on (a label alone has no prediction to light up).
    QPen pen(QColor("#FF9800"), 3, Qt::DashDotLine);
    pen.setCosmetic(true);
    painter->setPen(pen);
    painter->drawRect(current_box_.adjusted(-3, -3, 3, 3));
  }
}

}  // namespace orvane::review
