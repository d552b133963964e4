#include "widgets/large_image_item.h"

#include <QPainter>
#include <QStyleOptionGraphicsItem>
#include <algorithm>
#include <cmath>

namespace orvane {

LargeImageItem::LargeImageItem(std::vector<QImage> levels, QGraphicsItem* parent)
    : QGraphicsItem(parent), size_(levels.at(0).size()), levels_(std::move(levels)) {
  // Only the exposed part is painted; the option says which.
  setFlag(QGraphicsItem::ItemUsesExtendedStyleOption);
}

QRectF LargeImageItem::boundingRect() const { return QRectF(QPointF(0, 0), QSizeF(size_)); }

int LargeImageItem::level_for(double scale) const {
  int k = 0;
  while (k + 1 < levels() && scale * std::pow(2.0, k + 1) <= 1.0) ++k;
  return k;
}

QImage LargeImageItem::thumbnail(int longer_side) const {
  const double scale = double(longer_side) / std::max(1, std::max(size_.width(), size_.height()));
  return level(level_for(scale))
      .scaled(QSize(longer_side, longer_side), Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void LargeImageItem::paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget*) {
  const QRectF exposed = option->exposedRect.intersected(boundingRect());
  if (exposed.isEmpty()) return;
  const double scale = QStyleOptionGraphicsItem::levelOfDetailFromTransform(painter->worldTransform());
  const int k = level_for(scale);
  const QImage& image = level(k);
  // The exposed rectangle in the level's pixels, widened to whole pixels.
  const double f = double(image.width()) / size_.width();
  const double g = double(image.height()) / size_.height();
  const QRect source = QRectF(exposed.x() * f, exposed.y() * g, exposed.width() * f,
                              exposed.height() * g)
                           .toAlignedRect()
                           .intersected(image.rect());
  const QRectF target(source.x() / f, source.y() / g, source.width() / f, source.height() / g);
  painter->drawImage(target, image, source);
}

}  // namespace orvane
