#include "widgets/zoomable_view.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

namespace orvane {

ZoomableView::ZoomableView(QWidget* parent) : QGraphicsView(parent) {
  scene_ = new QGraphicsScene(this);
  setScene(scene_);
  setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  setDragMode(QGraphicsView::ScrollHandDrag);
  setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
  setResizeAnchor(QGraphicsView::AnchorUnderMouse);
  panning_ = false;
}

void ZoomableView::set_image(const QPixmap& pixmap) {
  scene_->clear();
  pixmap_item_ = scene_->addPixmap(pixmap);
  pixmap_item_->setPos(0, 0);
  setSceneRect(QRectF(0, 0, pixmap.width(), pixmap.height()));
  fitInView(pixmap_item_, Qt::KeepAspectRatio);
}

void ZoomableView::set_interaction_mode(orvane::DrawMode mode) {
  if (mode == orvane::DrawMode::SelectMove) {
    setDragMode(QGraphicsView::ScrollHandDrag);
    viewport()->setCursor(Qt::OpenHandCursor);
  } else {
    setDragMode(QGraphicsView::NoDrag);
    viewport()->setCursor(Qt::CrossCursor);
  }
}

void ZoomableView::wheelEvent(QWheelEvent* event) {
  // An empty scene has nothing to zoom into; let the wheel scroll as usual.
  if (scene() == nullptr || scene()->items().isEmpty()) {
    QGraphicsView::wheelEvent(event);
    return;
  }
  // One step per event whatever the delta, so fine-grained touchpads zoom at the same rate as
  // notched wheels; a purely horizontal delta counts as "out".
  const double factor = event->angleDelta().y() > 0 ? kZoomInFactor : kZoomOutFactor;
  scale(factor, factor);
  event->accept();
}

void ZoomableView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    // Panning never reaches the scene, so a canvas in a drawing mode gets no stray points.
    panning_ = true;
    pan_start_pos_ = event->position();
    setCursor(Qt::ClosedHandCursor);
    event->accept();
    return;
  }
  QGraphicsView::mousePressEvent(event);
}

void ZoomableView::mouseMoveEvent(QMouseEvent* event) {
  if (panning_) {
    const QPointF delta = event->position() - pan_start_pos_;
    horizontalScrollBar()->setValue(static_cast<int>(horizontalScrollBar()->value() - delta.x()));
    verticalScrollBar()->setValue(static_cast<int>(verticalScrollBar()->value() - delta.y()));
    pan_start_pos_ = event->position();
    event->accept();
    return;
  }
  QGraphicsView::mouseMoveEvent(event);
}

void ZoomableView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    panning_ = false;
    setCursor(Qt::ArrowCursor);
    event->accept();
    return;
  }
  QGraphicsView::mouseReleaseEvent(event);
}

}  // namespace orvane
