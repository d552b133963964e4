#pragma once

#include <QGraphicsView>
#include <QPointF>

#include "widgets/draw_mode.h"

class QGraphicsPixmapItem;
class QGraphicsScene;

namespace orvane {

// The one image view of the studio: shows a picture fitted to the view, zooms with the wheel
// around the cursor, pans with the middle button, and switches between hand dragging
// (DrawMode::SelectMove) and a cross-hair for drawing (every other mode).
//
// Two uses: a plain viewer that receives pixmaps through set_image (drawn into the view's own
// scene), or the view of an InteractiveCanvas that the owner shows with setScene.
class ZoomableView : public QGraphicsView {
  Q_OBJECT

 public:
  static constexpr double kZoomInFactor = 1.15;
  static constexpr double kZoomOutFactor = 1.0 / 1.15;

  explicit ZoomableView(QWidget* parent = nullptr);

  // The view's own scene (owned by the view), into which set_image draws. It stays alive when an
  // owner shows another scene with setScene. (Named apart from QGraphicsView::scene(), which
  // returns whatever scene is shown right now.)
  QGraphicsScene* own_scene() const { return scene_; }

  // The picture shown by the last set_image; null before the first one. Owned by own_scene().
  QGraphicsPixmapItem* pixmap_item() const { return pixmap_item_; }

  // Clears the own scene, shows `pixmap` at the origin and fits the whole picture in the view.
  void set_image(const QPixmap& pixmap);

  // SelectMove selects hand dragging with an open-hand cursor; any other mode selects drawing
  // (no drag) with a cross-hair.
  void set_interaction_mode(orvane::DrawMode mode);

  bool is_panning() const { return panning_; }

 protected:
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QGraphicsScene* scene_ = nullptr;  // child QObject of the view
  QGraphicsPixmapItem* pixmap_item_ = nullptr;
  bool panning_ = false;
  QPointF pan_start_pos_;
};

}  // namespace orvane
