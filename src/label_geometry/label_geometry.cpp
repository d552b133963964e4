#include "label_geometry/label_geometry.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

#include "files/text_file.h"
#include "files/label_format.h"

namespace orvane::label_geometry {

namespace fs = std::filesystem;

namespace {

// Sutherland-Hodgman against one side. `dist` is >= 0 inside; `cut` gives the crossing point of
// an edge whose ends lie on opposite sides (callers on an axis-aligned side put the crossing's
// coordinate exactly on the side, so a box edge on a tile edge stays exactly there).
template <typename Dist, typename Cut>
std::vector<cv::Point2d> clip_side(const std::vector<cv::Point2d>& polygon, Dist dist, Cut cut) {
  std::vector<cv::Point2d> out;
  if (polygon.empty()) return out;
  out.reserve(polygon.size() + 4);
  cv::Point2d prev = polygon.back();
  double prev_d = dist(prev);
  for (const cv::Point2d& cur : polygon) {
    const double cur_d = dist(cur);
    if (cur_d >= 0) {
      if (prev_d < 0) out.push_back(cut(prev, cur, prev_d, cur_d));
      out.push_back(cur);
    } else if (prev_d >= 0) {
      out.push_back(cut(prev, cur, prev_d, cur_d));
    }
    prev = cur;
    prev_d = cur_d;
  }
  return out;
}

cv::Point2d lerp(const cv::Point2d& p, const cv::Point2d& q, double dp, double dq) {
  const double t = dp / (dp - dq);
  return p + (q - p) * t;
}

void merge_repeats(std::vector<cv::Point2d>& polygon) {
  polygon.erase(std::unique(polygon.begin(), polygon.end()), polygon.end());
  while (polygon.size() > 1 && polygon.front() == polygon.back()) polygon.pop_back();
}

// The four corners of the bounding box of `points`, clockwise from the top left.
std::vector<cv::Point2d> bounding_corners(const std::vector<cv::Point2d>& points) {
  double x0 = points[0].x, x1 = x0, y0 = points[0].y, y1 = y0;
  for (const cv::Point2d& p : points) {
    x0 = std::min(x0, p.x);
    x1 = std::max(x1, p.x);
    y0 = std::min(y0, p.y);
    y1 = std::max(y1, p.y);
  }
  return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

bool inside_closed(const cv::Point2d& p, const cv::Rect2d& r) {
  return p.x >= r.x && p.x <= r.x + r.width && p.y >= r.y && p.y <= r.y + r.height;
}

// `mapped` (already in the target picture's pixels) clipped to `rect`, when enough of it is
// inside; the result's points are still in the coordinates of `rect`'s plane.
bool place(const Shape& mapped, const cv::Rect2d& rect, double min_visible, Shape& out) {
  if (mapped.points.empty()) return false;
  std::vector<cv::Point2d> clipped = clip_to_rect(mapped.points, rect);
  if (clipped.empty()) return false;
  const double full = std::abs(polygon_area(mapped.points));
  // Areas below this are rounding noise of a line or a point, not a region.
  constexpr double kTinyArea = 1e-9;
  if (full <= kTinyArea) {
    if (std::none_of(mapped.points.begin(), mapped.points.end(),
                     [&](const cv::Point2d& p) { return inside_closed(p, rect); }))
      return false;
  } else {
    const double part = std::abs(polygon_area(clipped));
    // The relative slack keeps a shape exactly at the threshold on the kept side despite rounding.
    if (part <= kTinyArea || part < min_visible * full * (1.0 - 1e-9)) return false;
  }
  out.class_id = mapped.class_id;
  out.box = mapped.box;
  out.points = mapped.box ? bounding_corners(clipped) : std::move(clipped);
  return true;
}

cv::Matx33d as_3x3(const cv::Mat& matrix) {
  CV_Assert((matrix.rows == 2 || matrix.rows == 3) && matrix.cols == 3);
  cv::Mat m;
  matrix.convertTo(m, CV_64F);
  cv::Matx33d out = cv::Matx33d::eye();
  for (int r = 0; r < m.rows; ++r)
    for (int c = 0; c < 3; ++c) out(r, c) = m.at<double>(r, c);
  return out;
}

}  // namespace

Result<LabelFile> parse_label_shapes(std::string_view text, cv::Size size) {
  LabelFile result;
  result.found = true;
  const double w = size.width, h = size.height;
  int number = 0;
  for (std::string_view line : files::split_label_text(text)) {
    ++number;
    const files::LabelLine read = files::parse_label_line(line);
    if (read.blank()) continue;
    auto fail = [&](const std::string& reason) -> Result<LabelFile> {
      return orvane::fail(QStringLiteral("line %1: %2").arg(number).arg(QString::fromStdString(reason)));
    };
    if (read.class_overflow)
      return fail("class id '" + std::string(read.class_token) + "' is too large");
    if (!read.class_id)
      return fail("class id '" + std::string(read.class_token) + "' is not a whole number");
    if (*read.class_id < 0)
      return fail("class id " + std::to_string(*read.class_id) + " is negative");
    if (!read.numbers_ok())
      return fail("coordinate '" + std::string(read.bad_token) + "' is not a number");
    if (read.coords.size() % 2 != 0) return fail("an x coordinate has no y");
    if (!std::all_of(read.coords.begin(), read.coords.end(),
                     [](double v) { return std::isfinite(v); }))
      return fail("a coordinate is not a finite number");
    Shape shape;
    shape.class_id = *read.class_id;
    if (read.is_box()) {
      const double cx = read.coords[0] * w, cy = read.coords[1] * h;
      const double hw = std::abs(read.coords[2]) * w / 2, hh = std::abs(read.coords[3]) * h / 2;
      shape.box = true;
      shape.points = {
          {cx - hw, cy - hh}, {cx + hw, cy - hh}, {cx + hw, cy + hh}, {cx - hw, cy + hh}};
    } else {
      shape.points.reserve(read.coords.size() / 2);
      for (size_t i = 0; i + 1 < read.coords.size(); i += 2)
        shape.points.emplace_back(read.coords[i] * w, read.coords[i + 1] * h);
    }
    result.shapes.push_back(std::move(shape));
  }
  return result;
}

Result<LabelFile> read_label_shapes(const fs::path& path, cv::Size size) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return LabelFile{};  // not annotated
  const QString name = QString::fromStdString(path.string());
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) return fail(name + QStringLiteral(": cannot be read"));
  Result<LabelFile> parsed = parse_label_shapes(bytes.str(), size);
  if (!parsed) return fail(name + QStringLiteral(": ") + parsed.error());
  return parsed;
}

std::string format_labels(const std::vector<Shape>& shapes, cv::Size size) {
  std::string text;
  const double w = size.width, h = size.height;
  const std::string_view end = files::native_line_end();
  std::vector<double> xy;
  for (const Shape& shape : shapes) {
    if (shape.box && !shape.points.empty()) {
      const auto c = bounding_corners(shape.points);
      text += files::format_box_line(shape.class_id, (c[0].x + c[2].x) / 2 / w,
                                     (c[0].y + c[2].y) / 2 / h, (c[2].x - c[0].x) / w,
                                     (c[2].y - c[0].y) / h);
    } else {
      xy.clear();
      for (const cv::Point2d& p : shape.points) {
        xy.push_back(p.x / w);
        xy.push_back(p.y / h);
      }
      text += files::format_polygon_line(shape.class_id, xy);
    }
    text += end;
  }
  return text;
}

double polygon_area(const std::vector<cv::Point2d>& polygon) {
  const size_t n = polygon.size();
  if (n < 3) return 0.0;
  double twice = 0.0;
  for (size_t i = 0, j = n - 1; i < n; j = i++)
    twice += polygon[j].x * polygon[i].y - polygon[i].x * polygon[j].y;
  return twice / 2.0;
}

std::vector<cv::Point2d> clip_half_plane(const std::vector<cv::Point2d>& polygon, double a,
                                         double b, double c) {
  return clip_side(
      polygon, [&](const cv::Point2d& p) { return a * p.x + b * p.y + c; }, lerp);
}

std::vector<cv::Point2d> clip_to_rect(const std::vector<cv::Point2d>& polygon,
                                      const cv::Rect2d& rect) {
  const double x0 = rect.x, x1 = rect.x + rect.width, y0 = rect.y, y1 = rect.y + rect.height;
  const auto at_x = [](double x) {
    return [x](const cv::Point2d& p, const cv::Point2d& q, double dp, double dq) {
      return cv::Point2d(x, lerp(p, q, dp, dq).y);
    };
  };
  const auto at_y = [](double y) {
    return [y](const cv::Point2d& p, const cv::Point2d& q, double dp, double dq) {
      return cv::Point2d(lerp(p, q, dp, dq).x, y);
    };
  };
  std::vector<cv::Point2d> out = polygon;
  out = clip_side(
      out, [&](const cv::Point2d& p) { return p.x - x0; }, at_x(x0));
  out = clip_side(
      out, [&](const cv::Point2d& p) { return x1 - p.x; }, at_x(x1));
  out = clip_side(
      out, [&](const cv::Point2d& p) { return p.y - y0; }, at_y(y0));
  out = clip_side(
      out, [&](const cv::Point2d& p) { return y1 - p.y; }, at_y(y1));
  merge_repeats(out);
  return out;
}

std::vector<Shape> shapes_in_tile(const std::vector<Shape>& shapes, const cv::Rect& tile,
                                  double min_visible) {
  std::vector<Shape> out;
  const cv::Rect2d rect(tile.x, tile.y, tile.width, tile.height);
  for (const Shape& shape : shapes) {
    Shape placed;
    if (!place(shape, rect, min_visible, placed)) continue;
    for (cv::Point2d& p : placed.points) p -= cv::Point2d(tile.x, tile.y);
    out.push_back(std::move(placed));
  }
  return out;
}

std::vector<Shape> transform_shapes(const std::vector<Shape>& shapes, const cv::Mat& matrix,
                                    cv::Size out_size, double min_visible) {
  // OpenCV maps pixel centres (i at i); shapes live on the pixel-edge plane (centre i at i + 0.5).
  const cv::Matx33d to_centres(1, 0, -0.5, 0, 1, -0.5, 0, 0, 1);
  const cv::Matx33d to_edges(1, 0, 0.5, 0, 1, 0.5, 0, 0, 1);
  const cv::Matx33d m = to_edges * as_3x3(matrix) * to_centres;
  const bool projective = m(2, 0) != 0.0 || m(2, 1) != 0.0;
  const cv::Rect2d rect(0, 0, out_size.width, out_size.height);
  std::vector<Shape> out;
  for (const Shape& shape : shapes) {
    Shape mapped;
    mapped.class_id = shape.class_id;
    mapped.box = shape.box;
    std::vector<cv::Point2d> source = shape.points;
    if (projective) {
      // Keep the part in front of the horizon (positive homogeneous w), where lines stay lines.
      const double scale = std::abs(m(2, 0)) + std::abs(m(2, 1)) + std::abs(m(2, 2));
      source = clip_half_plane(source, m(2, 0), m(2, 1), m(2, 2) - 1e-9 * scale);
    }
    mapped.points.reserve(source.size());
    for (const cv::Point2d& p : source) {
      const cv::Vec3d q = m * cv::Vec3d(p.x, p.y, 1.0);
      mapped.points.emplace_back(q[0] / q[2], q[1] / q[2]);
    }
    Shape placed;
    if (place(mapped, rect, min_visible, placed)) out.push_back(std::move(placed));
  }
  return out;
}

Result<LabelFile> read_image_labels(const fs::path& image, cv::Size size) {
  return read_label_shapes(files::label_path_for(image.string()), size);
}

Result<> ClassListCarrier::carry(const fs::path& source_folder, const fs::path& to_folder) {
  const fs::path from = source_folder / "classes.txt";
  std::error_code ec;
  if (!fs::is_regular_file(from, ec)) return {};
  if (!done_.insert({from, to_folder}).second) return {};
  return copy_class_list(from, to_folder);
}

Result<> copy_class_list(const fs::path& from, const fs::path& to_folder) {
  const auto read_all = [](const fs::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
  };
  std::string source;
  const auto name = [](const fs::path& path) { return QString::fromStdString(path.string()); };
  if (!read_all(from, source)) return fail(QStringLiteral("Could not read ") + name(from));
  const fs::path target = to_folder / "classes.txt";
  std::error_code ec;
  if (fs::exists(target, ec)) {
    std::string existing;
    if (read_all(target, existing) && existing == source) return {};
    return fail(QStringLiteral("Kept %1: it differs from %2").arg(name(target), name(from)));
  }
  return write_file_atomic(target, source);
}

}  // namespace orvane::label_geometry
