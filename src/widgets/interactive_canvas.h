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
  // Redraws the preview outline from current_polygon.
  void update_preview();

  orvane::DrawMode draw_mode = orvane::DrawMode::SelectMove;
  QList<QPointF> current_polygon;
  bool drawing = false;
  // Owned by the scene while present; null when there is no preview. Read-only for owners: the
  // canvas alone creates and deletes it (always a PreviewPolygonItem).
  QGraphicsPolygonItem* temp_poly_item = nullptr;
  std::optional<QPointF> start_pos;

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
};

}  // namespace orvane
