#include "interchange/interchange_dataset.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "label_geometry/label_geometry.h"

namespace orvane::interchange {

QString format_name(Format format) {
  switch (format) {
    case Format::Yolo:
      return QStringLiteral("yolo");
    case Format::Coco:
      return QStringLiteral("coco");
    case Format::Voc:
      return QStringLiteral("voc");
    case Format::Labelme:
      return QStringLiteral("labelme");
  }
  return {};
}

bool parse_format(const QString& name, Format& format) {
  for (const Format candidate : all_formats()) {
    if (format_name(candidate) == name) {
      format = candidate;
      return true;
    }
  }
  return false;
}

const std::vector<Format>& all_formats() {
  static const std::vector<Format> formats{Format::Yolo, Format::Coco, Format::Voc,
                                           Format::Labelme};
  return formats;
}

void Report::lose(const QString& kind, const QString& line) {
  ++lost_;
  ++lost_counts_[kind];
  lines_.append(line);
}

void Report::change(const QString& kind, const QString& line) {
  ++changed_;
  ++changed_counts_[kind];
  lines_.append(line);
}

cv::Rect2d bounds_of(const std::vector<cv::Point2d>& points) {
  if (points.empty()) return {};
  double x1 = points[0].x, y1 = points[0].y, x2 = x1, y2 = y1;
  for (const cv::Point2d& p : points) {
    x1 = std::min(x1, p.x);
    y1 = std::min(y1, p.y);
    x2 = std::max(x2, p.x);
    y2 = std::max(y2, p.y);
  }
  return {x1, y1, x2 - x1, y2 - y1};
}

std::vector<cv::Point2d> box_corners(double x1, double y1, double x2, double y2) {
  return {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
}

double area_of(const std::vector<cv::Point2d>& polygon) {
  return std::abs(label_geometry::polygon_area(polygon));
}

bool clip_and_report(Object& object, const Image& image, const QString& where, Report& report) {
  bool clipped = false;
  if (!clip_to_image(object, image.width, image.height, clipped)) {
    report.lose("objects outside their picture",
                where + ": lies outside the picture or has no area, skipped");
    return false;
  }
  if (clipped)
    report.change("objects clipped to their picture",
                  where + ": coordinates outside the picture clipped");
  return true;
}

bool clip_to_image(Object& object, int width, int height, bool& clipped) {
  clipped = false;
  // A vertex a rounding error outside the picture (a box edge computed as cx + w / 2) is not
  // worth a note; it is still pulled onto the edge.
  constexpr double kTolerance = 1e-6;
  const cv::Rect2d frame(0, 0, width, height);
  const cv::Rect2d b = bounds_of(object.points);
  if (b.x < -kTolerance || b.y < -kTolerance || b.x + b.width > width + kTolerance ||
      b.y + b.height > height + kTolerance)
    clipped = true;
  if (object.box) {
    const double x1 = std::clamp(b.x, 0.0, double(width));
    const double y1 = std::clamp(b.y, 0.0, double(height));
    const double x2 = std::clamp(b.x + b.width, 0.0, double(width));
    const double y2 = std::clamp(b.y + b.height, 0.0, double(height));
    object.points = box_corners(x1, y1, x2, y2);
    return x2 > x1 && y2 > y1;
  }
  if (clipped) object.points = label_geometry::clip_to_rect(object.points, frame);
  for (cv::Point2d& p : object.points) {
    p.x = std::clamp(p.x, 0.0, double(width));
    p.y = std::clamp(p.y, 0.0, double(height));
  }
  return object.points.size() >= 3 && area_of(object.points) > 0;
}

namespace {

bool inside(const std::vector<cv::Point2d>& inner, const std::vector<cv::Point2d>& outer) {
  std::vector<cv::Point2f> contour;
  contour.reserve(outer.size());
  for (const cv::Point2d& p : outer) contour.emplace_back(float(p.x), float(p.y));
  for (const cv::Point2d& p : inner)
    if (cv::pointPolygonTest(contour, cv::Point2f(float(p.x), float(p.y)), false) < 0) return false;
  return !inner.empty();
}

}  // namespace

std::vector<cv::Point2d> join_parts(const std::vector<std::vector<cv::Point2d>>& parts,
                                    int& holes) {
  holes = 0;
  std::vector<std::vector<cv::Point2d>> outers;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    bool hole = false;
    for (std::size_t j = 0; j < parts.size() && !hole; ++j)
      hole = i != j && area_of(parts[j]) > area_of(parts[i]) && inside(parts[i], parts[j]);
    if (hole) {
      ++holes;
      continue;
    }
    std::vector<cv::Point2d> part = parts[i];
    // One winding for all parts, so their signed areas add up instead of cancelling.
    if (label_geometry::polygon_area(part) < 0) std::reverse(part.begin(), part.end());
    outers.push_back(std::move(part));
  }
  if (outers.empty()) return {};
  std::vector<cv::Point2d> outline = outers[0];
  std::vector<bool> used(outers.size(), false);
  used[0] = true;
  for (std::size_t round = 1; round < outers.size(); ++round) {
    // The nearest pair of vertices between the outline and any part not yet joined.
    double best = std::numeric_limits<double>::infinity();
    std::size_t best_part = 0, at = 0, from = 0;
    for (std::size_t k = 0; k < outers.size(); ++k) {
      if (used[k]) continue;
      for (std::size_t i = 0; i < outline.size(); ++i) {
        for (std::size_t j = 0; j < outers[k].size(); ++j) {
          const cv::Point2d d = outline[i] - outers[k][j];
          const double dist = d.dot(d);
          if (dist < best) {
            best = dist;
            best_part = k;
            at = i;
            from = j;
          }
        }
      }
    }
    used[best_part] = true;
    const std::vector<cv::Point2d>& part = outers[best_part];
    // outline[..at], then the whole part starting and ending at its vertex `from`, then back
    // across the same bridge to outline[at] and on.
    std::vector<cv::Point2d> joined(outline.begin(), outline.begin() + at + 1);
    for (std::size_t j = 0; j <= part.size(); ++j) joined.push_back(part[(from + j) % part.size()]);
    joined.insert(joined.end(), outline.begin() + at, outline.end());
    outline = std::move(joined);
  }
  return outline;
}

}  // namespace orvane::interchange
