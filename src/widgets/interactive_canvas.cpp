#include "widgets/interactive_canvas.h"

#include <QColor>
#include <QGraphicsSceneMouseEvent>
#include <QPen>
#include <cmath>
#include <numbers>

namespace orvane {

PreviewPolygonItem::PreviewPolygonItem(const QPolygonF& polygon, InteractiveCanvas* canvas)
    : QGraphicsPolygonItem(polygon), canvas_(canvas) {}

PreviewPolygonItem::~PreviewPolygonItem() {
  if (canvas_ != nullptr) canvas_->preview_destroyed(this);
}

InteractiveCanvas::InteractiveCanvas(QObject* parent) : QGraphicsScene(parent) {}

InteractiveCanvas::~InteractiveCanvas() {
  // The base destructor deletes the remaining items after this object is no longer an
  // InteractiveCanvas; the preview must not call back into it then.
  if (preview_ != nullptr) preview_->canvas_ = nullptr;
  preview_ = nullptr;
}

void InteractiveCanvas::preview_destroyed(PreviewPolygonItem* item) {
  if (item != preview_) return;
  // The owner cleared the scene (a new picture) or deleted the preview: the shape under
  // construction belonged to what was shown before, so it is abandoned rather than carried over.
  preview_ = nullptr;
  current_polygon_.clear();
  drawing_ = false;
  start_pos_.reset();
}

void InteractiveCanvas::remove_preview() {
  if (preview_ == nullptr) return;
  auto* preview = preview_;
  preview->canvas_ = nullptr;  // our own removal: no notification needed
  preview_ = nullptr;
  delete preview;  // also removes it from the scene
}

void InteractiveCanvas::set_draw_mode(orvane::DrawMode mode) {
  draw_mode_ = mode;
  reset_drawing();
}

void InteractiveCanvas::reset_drawing() {
  remove_preview();
  current_polygon_.clear();
  drawing_ = false;
  start_pos_.reset();
}

bool InteractiveCanvas::is_point_mode() const {
  return draw_mode_ == orvane::DrawMode::Crop || draw_mode_ == orvane::DrawMode::Warp;
}

bool InteractiveCanvas::is_pass_through_mode() const {
  return is_point_mode() || draw_mode_ == orvane::DrawMode::SelectMove;
}

QList<QPointF> InteractiveCanvas::calculate_shape(const QPointF& start, const QPointF& end) const {
  if (draw_mode_ == orvane::DrawMode::Rectangle) {
    // Opposite corners as dragged, unsorted: the outline follows the drag direction.
    return {start, QPointF(end.x(), start.y()), end, QPointF(start.x(), end.y())};
  }
  const bool circle = draw_mode_ == orvane::DrawMode::Circle;
  if (!circle && draw_mode_ != orvane::DrawMode::Pentagon) return {};

  const double rx = end.x() - start.x();
  const double ry = end.y() - start.y();
  const double radius = std::hypot(rx, ry);
  if (!(radius > 1.0)) return {};
  const int sides = circle ? kCircleSides : kPentagonSides;
  QList<QPointF> vertices;
  vertices.reserve(sides);
  for (int i = 0; i < sides; ++i) {
    // First vertex straight above the centre (y points down), then clockwise on screen.
    const double angle = -std::numbers::pi / 2 + (2 * std::numbers::pi * i) / sides;
    vertices.append(
        QPointF(start.x() + radius * std::cos(angle), start.y() + radius * std::sin(angle)));
  }
  return vertices;
}

void InteractiveCanvas::update_preview() {
  remove_preview();
  if (current_polygon_.isEmpty()) return;
  auto* preview = new PreviewPolygonItem(QPolygonF(current_polygon_), this);
  QPen pen(QColor("#6366F1"), 2, Qt::DashLine);
  preview->setPen(pen);
  preview->setBrush(Qt::NoBrush);
  addItem(preview);
  preview_ = preview;
}

void InteractiveCanvas::mousePressEvent(QGraphicsSceneMouseEvent* event) {
  if (is_point_mode()) {
    if (event->button() == Qt::LeftButton) {
      Q_EMIT point_clicked(event->scenePos());
      event->accept();
    }
    return;  // other buttons are neither handled nor passed on
  }
  if (draw_mode_ == orvane::DrawMode::SelectMove) {
    QGraphicsScene::mousePressEvent(event);
    return;
  }

  const QPointF pos = event->scenePos();
  if (event->button() == Qt::LeftButton) {
    // An existing shape under the cursor takes the press (to be selected and dragged) instead of
    // starting a vertex; the picture and the preview never block drawing.
    const auto under = items(pos);
    for (QGraphicsItem* item : under) {
      if (item != preview_ && dynamic_cast<QGraphicsPolygonItem*>(item) != nullptr) {
        QGraphicsScene::mousePressEvent(event);
        return;
      }
    }
    drawing_ = true;
    if (draw_mode_ == orvane::DrawMode::Polygon) {
      current_polygon_.append(pos);
      update_preview();
    } else {
      start_pos_ = pos;
    }
    event->accept();
    return;
  }

  if (event->button() == Qt::RightButton && drawing_ && draw_mode_ == orvane::DrawMode::Polygon) {
    // The preview stays up while handlers run (the annotator asks for the class meanwhile). A
    // handler may clear the scene or change the mode; the copy keeps the emitted shape intact and
    // reset_drawing is harmless afterwards. Fewer than 3 vertices: silently abandoned.
    if (current_polygon_.size() >= 3) Q_EMIT polygon_completed(QPolygonF(current_polygon_));
    reset_drawing();
    event->accept();
    return;
  }
  QGraphicsScene::mousePressEvent(event);
}

void InteractiveCanvas::mouseMoveEvent(QGraphicsSceneMouseEvent* event) {
  if (is_pass_through_mode()) {
    QGraphicsScene::mouseMoveEvent(event);
    return;
  }
  if (drawing_ && draw_mode_ != orvane::DrawMode::Polygon && start_pos_.has_value()) {
    current_polygon_ = calculate_shape(*start_pos_, event->scenePos());
    update_preview();
    event->accept();
    return;
  }
  QGraphicsScene::mouseMoveEvent(event);
}

void InteractiveCanvas::mouseReleaseEvent(QGraphicsSceneMouseEvent* event) {
  if (is_pass_through_mode()) {
    QGraphicsScene::mouseReleaseEvent(event);
    return;
  }
  if (event->button() == Qt::LeftButton && draw_mode_ != orvane::DrawMode::Polygon) {
    if (!drawing_ || !start_pos_.has_value()) return;
    const QList<QPointF> vertices = calculate_shape(*start_pos_, event->scenePos());
    if (vertices.size() >= 3) Q_EMIT polygon_completed(QPolygonF(vertices));
    reset_drawing();
    event->accept();
    return;
  }
  QGraphicsScene::mouseReleaseEvent(event);
}

}  // namespace orvane
