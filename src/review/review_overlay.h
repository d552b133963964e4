#pragma once
// The model's predictions over the annotator's canvas: dashed outlines, drawn apart from the
// labels (which are solid, filled and selectable), with the finding being looked at highlighted.
// One item that paints everything, takes no mouse input and sits above the labels, so drawing
// and selecting on the canvas work as before. It is a QGraphicsObject so its owner can hold a
// QPointer: the canvas deletes its items whenever it shows another picture.

#include <QGraphicsObject>
#include <QPolygonF>
#include <QRectF>
#include <QStringList>
#include <vector>

#include "review/review.h"

namespace orvane::review {

class ReviewOverlay : public QGraphicsObject {
  Q_OBJECT

 public:
  explicit ReviewOverlay(QGraphicsItem* parent = nullptr);

  // The predictions of the image shown, and the class names for their captions.
  void set_predictions(std::vector<Prediction> predictions, QStringList names, QSizeF image);
  // The finding to highlight (its prediction and its label's box); none when `finding` is null.
  void set_current(const Finding* finding);

  QRectF boundingRect() const override;
  void paint(QPainter* painter, const QStyleOptionGraphicsItem* option,
             QWidget* widget = nullptr) override;

 private:
  std::vector<Prediction> predictions_;
  QStringList names_;
  QSizeF image_;
  int current_prediction_ = -1;
  QRectF current_box_;
};

}  // namespace orvane::review
