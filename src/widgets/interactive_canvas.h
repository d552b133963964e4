#pragma once

#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QList>
#include <QPointF>
#include <QPolygonF>
#include <QString>
#include <optional>

#include "widgets/draw_mode.h"

namespace orvane {

class InteractiveCanvas;

// The dashed outline of the shape under construction. It tells its canvas when it is destroyed,
// so an owner that clears the whole scene mid-shape (to show the next picture) never leaves the
// canvas holding a dangling pointer.
class PreviewPolygonItem : public QGraphicsPolygonItem {
 public:
  PreviewPolygonItem(const QPolygonF& polygon, InteractiveCanvas* canvas);
  ~PreviewPolygonItem() override;

 private:
  friend class InteractiveCanvas;
  InteractiveCanvas* canvas_;  // not owned; cleared by the canvas when it lets go of the item
};

// A scene on which the operator enters shapes and points with the mouse. Owners draw their
// picture at the origin without scaling, so every coordinate delivered here is an image pixel
// coordinate.
//
// Modes (the same the owners pass to ZoomableView::set_interaction_mode):
//   SelectMove                    plain scene behaviour (owners' items select and move)
//   Crop, Warp                    each left press emits point_clicked
//   Polygon                       left presses add vertices, a right press finishes
//   Rectangle, Circle, Pentagon   press-drag-release draws the shape
class InteractiveCanvas : public QGraphicsScene {
  Q_OBJECT

 public:
  static constexpr int kCircleSides = 32;
  static constexpr int kPentagonSides = 5;

  explicit InteractiveCanvas(QObject* parent = nullptr);
  ~InteractiveCanvas() override;

  void set_draw_mode(orvane::DrawMode mode);
  // Abandons the shape under construction and removes its preview.
  void reset_drawing();
  // The vertices of the current mode's drag shape from `start` to `end`; empty for other modes
  // and for circles/pentagons with a radius of at most 1.
  QList<QPointF> calculate_shape(const QPointF& start, const QPointF& end) const;
  orvane::DrawMode draw_mode() const { return draw_mode_; }
  // The vertices of the shape under construction, in scene coordinates (empty when none).
  const QList<QPointF>& current_polygon() const { return current_polygon_; }
  // A shape is under construction: a polygon has vertices, or a drag shape has been started.
  bool is_drawing() const { return drawing_; }
  // Where the drag of a rectangle, circle or pentagon began; empty otherwise.
  std::optional<QPointF> drag_start() const { return start_pos_; }
  // The dashed outline of the shape under construction; null when there is none. Owned by the
  // scene: the canvas alone creates and deletes it.
  QGraphicsPolygonItem* preview_item() const { return preview_; }

 Q_SIGNALS:
  // A finished shape (at least 3 vertices) in scene coordinates, in drawing order.
  void polygon_completed(const QPolygonF& polygon);
  // A left press in Crop or Warp mode, in scene coordinates.
  void point_clicked(const QPointF& point);

 protected:
  void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;

 private:
  friend class PreviewPolygonItem;
  // Called when the preview is deleted by anyone but the canvas (scene cleared, item deleted).
  void preview_destroyed(PreviewPolygonItem* item);
  void remove_preview();
  bool is_point_mode() const;
  bool is_pass_through_mode() const;
  // Redraws the preview outline from current_polygon_.
  void update_preview();

  orvane::DrawMode draw_mode_ = orvane::DrawMode::SelectMove;
  QList<QPointF> current_polygon_;
  bool drawing_ = false;
  PreviewPolygonItem* preview_ = nullptr;  // owned by the scene while present
  std::optional<QPointF> start_pos_;
};

}  // namespace orvane
