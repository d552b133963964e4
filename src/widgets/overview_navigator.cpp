#include "widgets/overview_navigator.h"

#include <QGraphicsView>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <algorithm>

namespace orvane {

NavigatorGeometry::NavigatorGeometry(QSize image_size, QSize widget_size)
    : image(image_size), widget(widget_size) {
  if (image.isEmpty() || widget.isEmpty()) return;
  const double s = std::min(double(widget.width()) / image.width(),
                            double(widget.height()) / image.height());
  const double w = image.width() * s, h = image.height() * s;
  thumb = QRectF((widget.width() - w) / 2, (widget.height() - h) / 2, w, h);
}

QPointF NavigatorGeometry::to_image(QPointF p) const {
  if (thumb.isEmpty()) return {};
  const double x = (p.x() - thumb.x()) / thumb.width() * image.width();
  const double y = (p.y() - thumb.y()) / thumb.height() * image.height();
  return {std::clamp(x, 0.0, double(image.width())), std::clamp(y, 0.0, double(image.height()))};
}

QRectF NavigatorGeometry::to_widget(const QRectF& r) const {
  if (thumb.isEmpty()) return {};
  const double sx = thumb.width() / image.width(), sy = thumb.height() / image.height();
  return QRectF(thumb.x() + r.x() * sx, thumb.y() + r.y() * sy, r.width() * sx, r.height() * sy)
      .intersected(thumb);
}

OverviewNavigator::OverviewNavigator(QWidget* parent) : QWidget(parent) {
  setMinimumSize(120, 90);
  setCursor(Qt::PointingHandCursor);
  setToolTip("Overview: click or drag to move the view");
}

void OverviewNavigator::set_image(const QImage& thumbnail, QSize image_size) {
  thumbnail_ = thumbnail;
  image_size_ = thumbnail.isNull() ? QSize() : image_size;
  visible_ = QRectF();
  refresh();
  update();
}

void OverviewNavigator::set_visible(const QRectF& visible) {
  if (visible == visible_) return;
  visible_ = visible;
  update();
}

void OverviewNavigator::refresh() {
  if (view_) set_visible(view_->mapToScene(view_->viewport()->rect()).boundingRect());
}

void OverviewNavigator::follow(QGraphicsView* view) {
  view_ = view;
  auto sync = [this] { refresh(); };
  for (QScrollBar* bar : {view->horizontalScrollBar(), view->verticalScrollBar()}) {
    connect(bar, &QScrollBar::valueChanged, this, sync);
    connect(bar, &QScrollBar::rangeChanged, this, sync);
  }
  connect(this, &OverviewNavigator::centre_requested, view,
          [view](QPointF p) { view->centerOn(p); });
  refresh();
}

void OverviewNavigator::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  const NavigatorGeometry geometry(image_size_, size());
  if (thumbnail_.isNull() || geometry.thumb.isEmpty()) return;
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(geometry.thumb, thumbnail_);
  if (visible_.isEmpty()) return;
  const QRectF box = geometry.to_widget(visible_);
  // Everything outside the visible part is dimmed, the part itself outlined.
  QPainterPath outside;
  outside.addRect(geometry.thumb);
  QPainterPath inside;
  inside.addRect(box);
  p.fillPath(outside.subtracted(inside), QColor(0, 0, 0, 110));
  p.setPen(QPen(QColor(255, 200, 0), 2));
  p.drawRect(box.adjusted(1, 1, -1, -1));
}

void OverviewNavigator::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || thumbnail_.isNull()) return;
  Q_EMIT centre_requested(NavigatorGeometry(image_size_, size()).to_image(event->position()));
}

void OverviewNavigator::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || thumbnail_.isNull()) return;
  Q_EMIT centre_requested(NavigatorGeometry(image_size_, size()).to_image(event->position()));
}

}  // namespace orvane
