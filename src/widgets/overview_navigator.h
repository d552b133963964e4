#pragma once

#include <QImage>
#include <QPointer>
#include <QRectF>
#include <QSize>
#include <QGraphicsView>
#include <QWidget>


namespace orvane {

// Where a picture's thumbnail sits in a navigator of `widget` size (centred, aspect kept), and
// the mapping between navigator and picture coordinates. Widget-free, so tests check it alone.
struct NavigatorGeometry {
  QSize image;    // the picture's size in pixels (scene units)
  QSize widget;   // the navigator's size
  QRectF thumb;   // where the whole picture is drawn in the navigator

  NavigatorGeometry(QSize image_size, QSize widget_size);
  // A navigator point as a picture point, clamped to the picture.
  QPointF to_image(QPointF widget_point) const;
  // A picture rectangle (the visible part) in navigator coordinates, clipped to the thumbnail.
  QRectF to_widget(const QRectF& image_rect) const;
};

// The annotator's overview of a large picture: the whole picture small, the part the view shows
// outlined on it. A click or a drag moves the view there (centre_requested); the owner keeps the
// outline current with set_visible (or follow()).
class OverviewNavigator : public QWidget {
  Q_OBJECT

 public:
  explicit OverviewNavigator(QWidget* parent = nullptr);

  // `thumbnail` is the whole picture small; `image_size` its full size. A null thumbnail clears.
  void set_image(const QImage& thumbnail, QSize image_size);
  // The part of the picture in view (scene coordinates).
  void set_visible(const QRectF& visible);
  QRectF visible() const { return visible_; }
  // Keeps the outline on `view`'s visible part as it scrolls or zooms, and centres `view` on
  // clicks and drags. The view must outlive this widget's use of it (both are the owner's).
  void follow(QGraphicsView* view);
  // Reads the followed view's visible part again (after a zoom that moved no scroll bar).
  void refresh();

  QSize sizeHint() const override { return {220, 160}; }

 Q_SIGNALS:
  void centre_requested(QPointF image_point);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  QImage thumbnail_;
  QSize image_size_;
  QRectF visible_;
  QPointer<QGraphicsView> view_;  // the followed view, owned by the owner
};

}  // namespace orvane
