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
  if (auto* preview = static_cast<PreviewPolygonItem*>(temp_poly_item)) preview->canvas_ = nullptr;
  temp_poly_item = nullptr;
}

void InteractiveCanvas::preview_destroyed(PreviewPolygonItem* item) {
  if (item != temp_poly_item) return;
  // The owner cleared the scene (a new picture) or deleted the preview: the shape under
  // construction belonged to what was shown before, so it is abandoned rather than carried over.
  temp_poly_item = nullptr;
  current_polygon.clear();
  drawing = false;
  start_pos.reset();
}

void InteractiveCanvas::remove_preview() {
  if (temp_poly_item == nullptr) return;
  auto* preview = static_cast<PreviewPolygonItem*>(temp_poly_item);
  preview->canvas_ = nullptr;  // our own removal: no notification needed
  temp_poly_item = nullptr;
  delete preview;  // also removes it from the scene
}

void InteractiveCanvas::set_draw_mode(orvane::DrawMode mode) {
  draw_mode = mode;
  reset_drawing();
}

void InteractiveCanvas::reset_drawing() {
  remove_preview();
  current_polygon.clear();
  drawing = false;
  start_pos.reset();
}

bool InteractiveCanvas::is_point_mode() const {
  return draw_mode == orvane::DrawMode::Crop || draw_mode == orvane::DrawMode::Warp;
}

bool InteractiveCanvas::is_pass_through_mode() const {
  return is_point_mode() || draw_mode == orvane::DrawMode::SelectMove;
}

QList<QPointF> InteractiveCanvas::calculate_shape(const QPointF& start, const QPointF& end) const {
  if (draw_mode == orvane::DrawMode::Rectangle) {
    // Opposite corners as dragged, unsorted: the outline follows the drag direction.
    return {start, QPointF(end.x(), start.y()), end, QPointF(start.x(), end.y())};
  }
  const bool circle = draw_mode == orvane::DrawMode::Circle;
  if (!circle && draw_mode != orvane::DrawMode::Pentagon) return {};

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
  if (current_polygon.isEmpty()) return;
  auto* preview = new PreviewPolygonItem(QPolygonF(current_polygon), this);
  QPen pen(QColor("#6366F1"), 2, Qt::DashLine);
  preview->setPen(pen);
  preview->setBrush(Qt::NoBrush);
  addItem(preview);
  temp_poly_item = preview;
}

void InteractiveCanvas::mousePressEvent(QGraphicsSceneMouseEvent* event) {
  if (is_point_mode()) {
    if (event->button() == Qt::LeftButton) {
      Q_EMIT point_clicked(event->scenePos());
      event->accept();
    }
    return;  // other buttons are neither handled nor passed on
  }
  if (draw_mode == orvane::DrawMode::SelectMove) {
    QGraphicsScene::mousePressEvent(event);
    return;
  }

  const QPointF pos = event->scenePos();
  if (event->button() == Qt::LeftButton) {
    // An existing shape under the cursor takes the press (to be selected and dragged) instead of
    // starting a vertex; the picture and the preview never block drawing.
    const auto under = items(pos);
    for (QGraphicsItem* item : under) {
      if (item != temp_poly_item && dynamic_cast<QGraphicsPolygonItem*>(item) != nullptr) {
        QGraphicsScene::mousePressEvent(event);
        return;
      }
    }
    drawing = true;
    if (draw_mode == orvane::DrawMode::Polygon) {
      current_polygon.append(pos);
      update_preview();
    } else {
      start_pos = pos;
    }
    event->accept();
    return;
  }

  if (event->button() == Qt::RightButton && drawing && draw_mode == orvane::DrawMode::Polygon) {
    // The preview stays up while handlers run (the annotator asks for the class meanwhile). A
    // handler may clear the scene or change the mode; the copy keeps the emitted shape intact and
    // reset_drawing is harmless afterwards. Fewer than 3 vertices: silently abandoned.
    if (current_polygon.size() >= 3) Q_EMIT polygon_completed(QPolygonF(current_polygon));
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
  if (drawing && draw_mode != orvane::DrawMode::Polygon && start_pos.has_value()) {
    current_polygon = calculate_shape(*start_pos, event->scenePos());
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
  if (event->button() == Qt::LeftButton && draw_mode != orvane::DrawMode::Polygon) {
    if (!drawing || !start_pos.has_value()) return;
    const QList<QPointF> vertices = calculate_shape(*start_pos, event->scenePos());
    if (vertices.size() >= 3) Q_EMIT polygon_completed(QPolygonF(vertices));
    reset_drawing();
    event->accept();
    return;
  }
  QGraphicsScene::mouseReleaseEvent(event);
}

}  // namespace orvane
