#pragma once

#include <QGraphicsItem>
#include <QImage>
#include <vector>

namespace orvane {

// A picture in a graphics scene that stays quick at any size (a 100-megapixel photo included):
// it keeps the picture and a pyramid of halved copies, and paints only the exposed part, from
// the level whose resolution just covers the screen's. A plain pixmap item would resample the
// whole picture for every repaint of a zoomed-out view. Drawn at the origin, one scene unit per
// image pixel.
class LargeImageItem : public QGraphicsItem {
 public:
  // `levels`: the picture, then copies each half the size of the one before, down to a longer
  // side of about kSmallestSide (imaging's image_pyramid makes them). Not empty.
  explicit LargeImageItem(std::vector<QImage> levels, QGraphicsItem* parent = nullptr);

  static constexpr int kSmallestSide = 1024;

  QRectF boundingRect() const override;
  void paint(QPainter* painter, const QStyleOptionGraphicsItem* option,
             QWidget* widget = nullptr) override;

  QSize image_size() const { return size_; }
  int levels() const { return static_cast<int>(levels_.size()); }
  // The level painted at `scale` screen pixels per image pixel: the smallest whose resolution
  // is still at least the screen's (level k is 1/2^k of the picture).
  int level_for(double scale) const;
  const QImage& level(int k) const { return levels_[static_cast<std::size_t>(k)]; }
  // The whole picture at about `longer_side` pixels on its longer side, from the nearest level
  // (for an overview).
  QImage thumbnail(int longer_side) const;

 private:
  QSize size_;
  std::vector<QImage> levels_;  // levels_[0] is the picture itself
};

}  // namespace orvane
