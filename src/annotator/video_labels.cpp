#include "annotator/video_labels.h"

#include <cmath>

namespace orvane {

namespace {

std::vector<cv::Point2f> to_points(const QPolygonF& polygon) {
  std::vector<cv::Point2f> out;
  out.reserve(size_t(polygon.size()));
  for (const QPointF& p : polygon) out.emplace_back(float(p.x()), float(p.y()));
  return out;
}

QPolygonF to_polygon(const std::vector<cv::Point2f>& points) {
  QPolygonF out;
  for (const auto& p : points) out << QPointF(p.x, p.y);
  return out;
}

QPolygonF corners(const cv::Rect2f& r) {
  return QPolygonF{{{r.x, r.y}, {r.x + r.width, r.y}, {r.x + r.width, r.y + r.height}, {r.x, r.y + r.height}}};
}

}  // namespace

std::vector<video::CarriedShape> carried_from(const std::vector<LabelShape>& shapes, QSize size) {
  std::vector<video::CarriedShape> out;
  for (size_t i = 0; i < shapes.size(); ++i) {
    const QPolygonF pixels = denormalize_polygon(shapes[i].points, QSizeF(size));
    const QRectF r = pixels.boundingRect();
    video::CarriedShape c;
    c.key = int(i);
    c.box = cv::Rect2f(float(r.x()), float(r.y()), float(r.width()), float(r.height()));
    if (!shapes[i].box) c.polygon = to_points(pixels);
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<LabelShape> labels_from(const video::CarryStep& step, const std::vector<LabelShape>& start, QSize size) {
  std::vector<LabelShape> out;
  for (const auto& moved : step.shapes) {
    if (moved.key < 0 || size_t(moved.key) >= start.size()) continue;
    const LabelShape& from = start[size_t(moved.key)];
    const QPolygonF pixels = from.box || moved.polygon.empty() ? corners(moved.box) : to_polygon(moved.polygon);
    out.emplace_back(from.class_id, normalize_polygon(pixels, QSizeF(size)), from.box);
  }
  return out;
}

Interpolation interpolate_keyframes(const std::vector<LabelShape>& a, const std::vector<LabelShape>& b,
                                    const std::vector<double>& ts) {
  auto key_shapes = [](const std::vector<LabelShape>& shapes) {
    std::vector<video::KeyShape> out;
    for (const auto& s : shapes) out.push_back({s.class_id, to_points(s.points), s.box});
    return out;
  };
  const auto ka = key_shapes(a), kb = key_shapes(b);
  const auto pairs = video::pair_keyframe_shapes(ka, kb);
  Interpolation result;
  result.paired = int(pairs.size());
  result.unpaired = int(a.size() + b.size() - 2 * pairs.size());
  result.frames.resize(ts.size());
  for (const auto& [i, j] : pairs) {
    bool by_box = false;
    for (size_t k = 0; k < ts.size(); ++k) {
      const auto shape = video::interpolate_shape(ka[size_t(i)], kb[size_t(j)], ts[k], &by_box);
      result.frames[k].emplace_back(shape.cls, to_polygon(shape.polygon), shape.box);
    }
    result.by_box += by_box;
  }
  return result;
}

bool same_label_shape(const LabelShape& a, const LabelShape& b) {
  if (a.class_id != b.class_id || a.box != b.box || a.points.size() != b.points.size()) return false;
  for (qsizetype i = 0; i < a.points.size(); ++i) {
    // The format keeps six decimals; a write and a read round each coordinate once.
    if (std::abs(a.points[i].x() - b.points[i].x()) > 2e-6 || std::abs(a.points[i].y() - b.points[i].y()) > 2e-6)
      return false;
  }
  return true;
}

}  // namespace orvane
