#include "video/propagation.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <opencv2/tracking.hpp>

#include "video/byte_tracker.h"

namespace orvane::video {

namespace {

// Hue-saturation histogram of the box (clipped to the picture), normalised.
cv::Mat appearance(const cv::Mat& frame, const cv::Rect& box) {
  const cv::Rect inside = box & cv::Rect(0, 0, frame.cols, frame.rows);
  if (inside.area() <= 0) return {};
  cv::Mat hsv;
  cv::cvtColor(frame(inside), hsv, cv::COLOR_BGR2HSV);
  const int channels[] = {0, 1, 2};
  const int bins[] = {12, 8, 8};
  const float hue[] = {0, 180}, full[] = {0, 256};
  const float* ranges[] = {hue, full, full};
  cv::Mat hist;
  cv::calcHist(&hsv, 1, channels, cv::Mat(), hist, 3, bins, ranges);
  cv::normalize(hist, hist, 1, 0, cv::NORM_L1);
  return hist;
}

// Bhattacharyya distance above which the box no longer holds what it started on.
constexpr double kAppearanceLimit = 0.55;
// Share of the box that must stay inside the picture.
constexpr double kMinVisible = 0.4;

}  // namespace

struct ShapePropagator::Follower {
  CarriedShape start;
  cv::Ptr<cv::Tracker> tracker;
  cv::Mat start_look;
  bool ok = true;
};

ShapePropagator::ShapePropagator(TrackerKind kind) : kind_(kind) {}
ShapePropagator::~ShapePropagator() = default;

int ShapePropagator::following() const { return int(followers_.size()); }

void ShapePropagator::start(const cv::Mat& frame, const std::vector<CarriedShape>& shapes) {
  followers_.clear();
  for (const auto& shape : shapes) {
    auto f = std::make_unique<Follower>();
    f->start = shape;
    const cv::Rect box = cv::Rect(shape.box) & cv::Rect(0, 0, frame.cols, frame.rows);
    if (box.width < 4 || box.height < 4) {
      f->ok = false;
    } else {
      if (kind_ == TrackerKind::csrt) {
        cv::TrackerCSRT::Params params;
        // The segmentation prior assumes a foreground colour model that fails on grey frames.
        params.use_segmentation = frame.channels() == 3;
        f->tracker = cv::TrackerCSRT::create(params);
      } else {
        f->tracker = cv::TrackerKCF::create();
      }
      f->tracker->init(frame, box);
      f->start_look = appearance(frame, box);
    }
    followers_.push_back(std::move(f));
  }
}

CarryStep ShapePropagator::next(const cv::Mat& frame) {
  CarryStep step;
  const cv::Rect2f picture(0, 0, float(frame.cols), float(frame.rows));
  for (auto it = followers_.begin(); it != followers_.end();) {
    Follower& f = **it;
    cv::Rect found;
    bool ok = f.ok && f.tracker->update(frame, found);
    const cv::Rect2f box(found);
    if (ok) ok = (box & picture).area() >= kMinVisible * box.area() && box.area() > 0;
    if (ok && !f.start_look.empty()) {
      const cv::Mat look = appearance(frame, found);
      ok = !look.empty() && cv::compareHist(f.start_look, look, cv::HISTCMP_BHATTACHARYYA) <= kAppearanceLimit;
    }
    if (!ok) {
      step.lost.push_back(f.start.key);
      it = followers_.erase(it);
      continue;
    }
    CarriedShape moved;
    moved.key = f.start.key;
    moved.box = box & picture;
    // The outline keeps its place relative to the box: the start box's centre and size map to
    // the tracked box's.
    const cv::Rect2f& b0 = f.start.box;
    const cv::Point2f c0(b0.x + b0.width / 2, b0.y + b0.height / 2);
    const cv::Point2f c1(box.x + box.width / 2, box.y + box.height / 2);
    const float sx = b0.width > 0 ? box.width / b0.width : 1.f;
    const float sy = b0.height > 0 ? box.height / b0.height : 1.f;
    for (const auto& p : f.start.polygon) {
      const cv::Point2f q = c1 + cv::Point2f((p.x - c0.x) * sx, (p.y - c0.y) * sy);
      moved.polygon.emplace_back(std::clamp(q.x, 0.f, picture.width), std::clamp(q.y, 0.f, picture.height));
    }
    step.shapes.push_back(std::move(moved));
    ++it;
  }
  return step;
}

cv::Rect2f interpolate_box(const cv::Rect2f& a, const cv::Rect2f& b, double t) {
  const auto mix = [t](float x, float y) { return float(x + (y - x) * t); };
  return {mix(a.x, b.x), mix(a.y, b.y), mix(a.width, b.width), mix(a.height, b.height)};
}

namespace {

// The exact (float) bounding box of an outline.
cv::Rect2f bounds(const std::vector<cv::Point2f>& polygon) {
  if (polygon.empty()) return {};
  float x0 = polygon[0].x, y0 = polygon[0].y, x1 = x0, y1 = y0;
  for (const auto& p : polygon) {
    x0 = std::min(x0, p.x), y0 = std::min(y0, p.y);
    x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
  }
  return {x0, y0, x1 - x0, y1 - y0};
}

cv::Point2f centre(const std::vector<cv::Point2f>& polygon) {
  const cv::Rect2f r = bounds(polygon);
  return {r.x + r.width / 2, r.y + r.height / 2};
}

std::vector<cv::Point2f> corners(const cv::Rect2f& r) {
  return {{r.x, r.y}, {r.x + r.width, r.y}, {r.x + r.width, r.y + r.height}, {r.x, r.y + r.height}};
}

// b's vertices turned (and, if that fits better, reversed) to line up with a's.
std::vector<cv::Point2f> aligned(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
  const size_t n = a.size();
  const cv::Point2f shift = centre(a) - centre(b);
  std::vector<cv::Point2f> best = b;
  double best_cost = -1;
  for (int reversed = 0; reversed < 2; ++reversed) {
    std::vector<cv::Point2f> order = b;
    if (reversed) std::reverse(order.begin(), order.end());
    for (size_t s = 0; s < n; ++s) {
      double cost = 0;
      for (size_t i = 0; i < n; ++i) {
        const cv::Point2f d = a[i] - (order[(i + s) % n] + shift);
        cost += d.dot(d);
      }
      if (best_cost < 0 || cost < best_cost) {
        best_cost = cost;
        for (size_t i = 0; i < n; ++i) best[i] = order[(i + s) % n];
      }
    }
  }
  return best;
}

}  // namespace

std::vector<std::pair<int, int>> pair_keyframe_shapes(const std::vector<KeyShape>& a, const std::vector<KeyShape>& b) {
  if (a.empty() || b.empty()) return {};
  std::vector<std::vector<float>> cost(a.size(), std::vector<float>(b.size(), 1e6f));
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j)
      if (a[i].cls == b[j].cls && !a[i].polygon.empty() && !b[j].polygon.empty())
        cost[i][j] = float(cv::norm(centre(a[i].polygon) - centre(b[j].polygon)));
  return linear_assignment(cost, 1e5f);
}

KeyShape interpolate_shape(const KeyShape& a, const KeyShape& b, double t, bool* by_box) {
  KeyShape out;
  out.cls = a.cls;
  const bool vertexwise = a.polygon.size() == b.polygon.size() && a.polygon.size() >= 3;
  if (by_box) *by_box = !vertexwise;
  if (!vertexwise) {
    out.box = true;
    out.polygon = corners(interpolate_box(bounds(a.polygon), bounds(b.polygon), t));
    return out;
  }
  out.box = a.box && b.box;
  const auto bb = aligned(a.polygon, b.polygon);
  for (size_t i = 0; i < a.polygon.size(); ++i)
    out.polygon.push_back(a.polygon[i] + (bb[i] - a.polygon[i]) * float(t));
  return out;
}

}  // namespace orvane::video
