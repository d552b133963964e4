#include "engine/data/masks.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace orvane::engine {

namespace {

// Ground-truth masks follow the convention of the YOLO ecosystem's training and validation
// (ultralytics 8.x), so that its checkpoints score here what they score there and fine-tuning
// keeps the target they learned: the outline is resampled to 1000 points spread evenly over its
// vertices (each original vertex kept), every point is truncated to a whole pixel, the polygon is
// filled at full resolution together with its boundary pixels, and the result is reduced 4x
// bilinearly, which sets a cell when at least two of its four middle pixels are set. The filled
// outline makes a mask about one pixel wider and taller than the exact area; on small objects
// that moves mask IoU by several points, which is why the exact-area fill is not used.
std::vector<cv::Point> resampled_pixels(const std::vector<cv::Point2f>& polygon) {
  constexpr std::size_t kPoints = 1000;
  std::vector<cv::Point2f> closed(polygon);
  closed.push_back(polygon.front());
  const std::size_t n = std::max(kPoints, closed.size() + 1);
  const double last = static_cast<double>(closed.size() - 1);
  std::vector<double> at;
  if (closed.size() < n) {
    const std::size_t spread = n - closed.size();
    for (std::size_t k = 0; k < spread; ++k) at.push_back(last * k / static_cast<double>(spread - 1));
    for (std::size_t v = 0; v < closed.size(); ++v) at.push_back(static_cast<double>(v));
    std::stable_sort(at.begin(), at.end());
  } else {
    for (std::size_t k = 0; k < n; ++k) at.push_back(last * k / static_cast<double>(n - 1));
  }
  std::vector<cv::Point> pts;
  pts.reserve(at.size());
  for (double t : at) {
    const std::size_t i = std::min(static_cast<std::size_t>(t), closed.size() - 2);
    const double f = t - static_cast<double>(i);
    const auto x = static_cast<float>(closed[i].x + (closed[i + 1].x - closed[i].x) * f);
    const auto y = static_cast<float>(closed[i].y + (closed[i + 1].y - closed[i].y) * f);
    pts.emplace_back(static_cast<int>(x), static_cast<int>(y));  // truncation, not rounding
  }
  return pts;
}

// A perspective warp can send a vertex far away (towards infinity as its depth nears zero),
// where the whole-pixel arithmetic below would overflow. Such an outline is clipped to a frame
// one image wide around the picture first; that changes nothing inside the picture except the
// spacing of the resampled points. A vertex that is not a number at all cannot be placed and is
// dropped. Ordinary outlines are returned as they are, so their masks keep the convention bit
// for bit.
std::vector<cv::Point2f> within_reach(const std::vector<cv::Point2f>& polygon, cv::Size size) {
  const float mx = static_cast<float>(size.width), my = static_cast<float>(size.height);
  auto near = [&](const cv::Point2f& p) {
    return p.x >= -mx && p.x <= 2 * mx && p.y >= -my && p.y <= 2 * my;
  };
  if (std::all_of(polygon.begin(), polygon.end(), near)) return polygon;
  std::vector<cv::Point2f> shifted;
  shifted.reserve(polygon.size());
  for (const auto& p : polygon)
    if (std::isfinite(p.x) && std::isfinite(p.y)) shifted.emplace_back(p.x + mx, p.y + my);
  if (shifted.size() < 3) return {};
  std::vector<cv::Point2f> clipped = clip_polygon(shifted, cv::Size2f(3 * mx, 3 * my));
  for (auto& p : clipped) p -= cv::Point2f(mx, my);
  return clipped;
}

// The mask of one polygon at 1/4 of the image resolution, by the convention above. Only the
// 4-pixel-aligned block around the polygon is filled and reduced: a reduced cell reads only its
// own middle pixels, so the block gives exactly what the whole image would.
cv::Mat rasterise(const std::vector<cv::Point2f>& polygon, cv::Size image_size) {
  const cv::Size mask_size(image_size.width / 4, image_size.height / 4);
  cv::Mat mask = cv::Mat::zeros(mask_size, CV_8U);
  const std::vector<cv::Point2f> outline = within_reach(polygon, image_size);
  if (outline.size() < 3) return mask;
  std::vector<cv::Point> pts = resampled_pixels(outline);
  cv::Rect bounds = cv::boundingRect(pts);
  const int cx1 = std::clamp(bounds.x / 4, 0, mask_size.width);
  const int cy1 = std::clamp(bounds.y / 4, 0, mask_size.height);
  const int cx2 = std::clamp((bounds.x + bounds.width - 1) / 4 + 1, 0, mask_size.width);
  const int cy2 = std::clamp((bounds.y + bounds.height - 1) / 4 + 1, 0, mask_size.height);
  if (cx2 <= cx1 || cy2 <= cy1) return mask;
  cv::Mat local = cv::Mat::zeros((cy2 - cy1) * 4, (cx2 - cx1) * 4, CV_8U);
  for (auto& p : pts) p -= cv::Point(cx1 * 4, cy1 * 4);
  const cv::Point* data = pts.data();
  const int count = static_cast<int>(pts.size());
  cv::fillPoly(local, &data, &count, 1, cv::Scalar(1));
  cv::resize(local, mask(cv::Rect(cx1, cy1, cx2 - cx1, cy2 - cy1)),
             cv::Size(cx2 - cx1, cy2 - cy1), 0, 0, cv::INTER_LINEAR);
  return mask;
}

// Where objects overlap, the cells belong to the smaller one (by mask area), as in the
// convention above: a large object's mask excludes what lies in front of it. Each mask is only
// touched inside its own bounds, and an image whose objects' bounds never meet (most images)
// costs one bounds scan per mask.
//
// A mask may be empty: a sliver left at a mosaic's edge, or a shape pushed almost out of the
// frame by the perspective warp, can survive the box filter yet cover no cell of the 1/4 grid.
// The ecosystem keeps such an object as a target (its box is still trained) and its mask simply
// owns no cell: overlap resolution sorts it last by area and no cell carries its index. So here
// an empty mask takes no part in the resolution and stays empty; its box stays a target.
void resolve_overlaps(std::vector<cv::Mat>& masks) {
  if (masks.size() < 2) return;  // one object overlaps nothing: no bounds scan
  std::vector<std::size_t> live;  // the objects whose mask covers at least one cell
  std::vector<cv::Rect> bounds(masks.size());
  for (std::size_t k = 0; k < masks.size(); ++k) {
    bounds[k] = cv::boundingRect(masks[k]);
    if (!bounds[k].empty()) live.push_back(k);
  }
  bool meet = false;
  for (std::size_t a = 0; a < live.size() && !meet; ++a)
    for (std::size_t b = a + 1; b < live.size() && !meet; ++b)
      meet = (bounds[live[a]] & bounds[live[b]]).area() > 0;
  if (!meet) return;
  std::vector<int> area(masks.size(), 0);
  for (std::size_t k : live) area[k] = cv::countNonZero(masks[k](bounds[k]));
  std::vector<std::size_t> order(live);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return area[a] > area[b]; });
  cv::Mat owner(masks.front().size(), CV_32S, cv::Scalar(0));
  for (std::size_t k : order)
    owner(bounds[k]).setTo(cv::Scalar(static_cast<double>(k + 1)), masks[k](bounds[k]));
  for (std::size_t k : live) {
    const cv::Mat taken = owner(bounds[k]) != static_cast<double>(k + 1);
    masks[k](bounds[k]).setTo(cv::Scalar(0), taken);
  }
}

}  // namespace

std::vector<cv::Mat> sample_masks(const Sample& sample) {
  const cv::Size mask_size(sample.image.cols / 4, sample.image.rows / 4);
  std::vector<cv::Mat> masks;
  masks.reserve(sample.cls.size());
  for (std::size_t k = 0; k < sample.cls.size(); ++k) {
    if (k < sample.polygons.size() && sample.polygons[k].size() >= 3) {
      masks.push_back(rasterise(sample.polygons[k], sample.image.size()));
      continue;
    }
    cv::Mat m = cv::Mat::zeros(mask_size, CV_8U);  // a plain box: its mask is the box
    const cv::Rect2f& b = sample.boxes[k];
    const cv::Point p1(static_cast<int>(std::lround(b.x / 4)),
                       static_cast<int>(std::lround(b.y / 4)));
    const cv::Point p2(static_cast<int>(std::lround((b.x + b.width) / 4)) - 1,
                       static_cast<int>(std::lround((b.y + b.height) / 4)) - 1);
    if (p2.x >= p1.x && p2.y >= p1.y) cv::rectangle(m, p1, p2, cv::Scalar(1), cv::FILLED);
    masks.push_back(m);
  }
  resolve_overlaps(masks);
  return masks;
}

}  // namespace orvane::engine
