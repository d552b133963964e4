#include "engine/data/augment.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace orvane::engine {

namespace {

const cv::Scalar kGrey(114, 114, 114);

float uniform(std::mt19937& rng, float lo, float hi) {
  return std::uniform_real_distribution<float>(lo, hi)(rng);
}

}  // namespace

LetterboxInfo letterbox(const cv::Mat& image, cv::Mat& out, cv::Size2i shape, bool auto_pad,
                        bool scaleup, int stride) {
  const int h0 = image.rows, w0 = image.cols;
  double r =
      std::min(static_cast<double>(shape.height) / h0, static_cast<double>(shape.width) / w0);
  if (!scaleup) r = std::min(r, 1.0);
  const int new_w = static_cast<int>(std::lround(w0 * r));
  const int new_h = static_cast<int>(std::lround(h0 * r));
  double dw = shape.width - new_w, dh = shape.height - new_h;
  if (auto_pad) dw = std::fmod(dw, stride), dh = std::fmod(dh, stride);
  dw /= 2, dh /= 2;
  cv::Mat resized;
  if (new_w != w0 || new_h != h0)
    cv::resize(image, resized, cv::Size(new_w, new_h), 0, 0, cv::INTER_LINEAR);
  else
    resized = image;
  // Odd padding goes one pixel more to the bottom/right.
  const int top = static_cast<int>(std::lround(dh - 0.1)),
            bottom = static_cast<int>(std::lround(dh + 0.1));
  const int left = static_cast<int>(std::lround(dw - 0.1)),
            right = static_cast<int>(std::lround(dw + 0.1));
  cv::copyMakeBorder(resized, out, top, bottom, left, right, cv::BORDER_CONSTANT, kGrey);
  if (out.data == image.data) out = image.clone();  // never alias a cached source image
  LetterboxInfo info;
  info.gain = static_cast<float>(r);
  info.pad_x = static_cast<float>(left);
  info.pad_y = static_cast<float>(top);
  return info;
}

void letterbox_sample(Sample& sample, cv::Size2i shape, bool auto_pad, bool scaleup, int stride) {
  cv::Mat out;
  const LetterboxInfo lb = letterbox(sample.image, out, shape, auto_pad, scaleup, stride);
  sample.image = out;
  for (auto& b : sample.boxes)
    b = cv::Rect2f(b.x * lb.gain + lb.pad_x, b.y * lb.gain + lb.pad_y, b.width * lb.gain,
                   b.height * lb.gain);
  for (auto& poly : sample.polygons)
    for (auto& p : poly) p = cv::Point2f(p.x * lb.gain + lb.pad_x, p.y * lb.gain + lb.pad_y);
  LetterboxInfo& total = sample.letterbox;
  total.pad_x = total.pad_x * lb.gain + lb.pad_x;
  total.pad_y = total.pad_y * lb.gain + lb.pad_y;
  total.gain *= lb.gain;
}

cv::Rect2f unletterbox_box(const cv::Rect2f& box, const LetterboxInfo& lb, cv::Size2i source) {
  const float x1 = std::clamp((box.x - lb.pad_x) / lb.gain, 0.0f, float(source.width));
  const float y1 = std::clamp((box.y - lb.pad_y) / lb.gain, 0.0f, float(source.height));
  const float x2 = std::clamp((box.x + box.width - lb.pad_x) / lb.gain, 0.0f, float(source.width));
  const float y2 =
      std::clamp((box.y + box.height - lb.pad_y) / lb.gain, 0.0f, float(source.height));
  return {x1, y1, x2 - x1, y2 - y1};
}

torch::Tensor unletterbox_boxes(const torch::Tensor& boxes, const LetterboxInfo& lb,
                                cv::Size2i source) {
  auto out = boxes.clone();
  if (out.size(0) == 0) return out;
  for (int c : {0, 2}) out.select(1, c).sub_(lb.pad_x).div_(lb.gain).clamp_(0, source.width);
  for (int c : {1, 3}) out.select(1, c).sub_(lb.pad_y).div_(lb.gain).clamp_(0, source.height);
  return out;
}

std::vector<cv::Point2f> unletterbox_points(const std::vector<cv::Point2f>& points,
                                            const LetterboxInfo& lb, cv::Size2i source) {
  std::vector<cv::Point2f> out;
  out.reserve(points.size());
  for (const auto& p : points)
    out.emplace_back(std::clamp((p.x - lb.pad_x) / lb.gain, 0.0f, float(source.width)),
                     std::clamp((p.y - lb.pad_y) / lb.gain, 0.0f, float(source.height)));
  return out;
}

Sample mosaic4(const std::vector<Sample>& four, int s, std::mt19937& rng) {
  Sample out;
  out.image = cv::Mat(2 * s, 2 * s, CV_8UC3, kGrey);
  // The centre stays in the middle half so every quadrant shows something.
  const int xc = static_cast<int>(uniform(rng, s * 0.5f, s * 1.5f));
  const int yc = static_cast<int>(uniform(rng, s * 0.5f, s * 1.5f));
  for (int i = 0; i < 4 && i < static_cast<int>(four.size()); ++i) {
    const Sample& src = four[i];
    const int h = src.image.rows, w = src.image.cols;
    int x1a, y1a, x2a, y2a, x1b, y1b, x2b, y2b;
    if (i == 0) {  // top left
      x1a = std::max(xc - w, 0), y1a = std::max(yc - h, 0), x2a = xc, y2a = yc;
      x1b = w - (x2a - x1a), y1b = h - (y2a - y1a), x2b = w, y2b = h;
    } else if (i == 1) {  // top right
      x1a = xc, y1a = std::max(yc - h, 0), x2a = std::min(xc + w, 2 * s), y2a = yc;
      x1b = 0, y1b = h - (y2a - y1a), x2b = std::min(w, x2a - x1a), y2b = h;
    } else if (i == 2) {  // bottom left
      x1a = std::max(xc - w, 0), y1a = yc, x2a = xc, y2a = std::min(2 * s, yc + h);
      x1b = w - (x2a - x1a), y1b = 0, x2b = w, y2b = std::min(y2a - y1a, h);
    } else {  // bottom right
      x1a = xc, y1a = yc, x2a = std::min(xc + w, 2 * s), y2a = std::min(2 * s, yc + h);
      x1b = 0, y1b = 0, x2b = std::min(w, x2a - x1a), y2b = std::min(y2a - y1a, h);
    }
    if (x2a > x1a && y2a > y1a)
      src.image(cv::Rect(x1b, y1b, x2b - x1b, y2b - y1b))
          .copyTo(out.image(cv::Rect(x1a, y1a, x2a - x1a, y2a - y1a)));
    const float padw = static_cast<float>(x1a - x1b), padh = static_cast<float>(y1a - y1b);
    for (std::size_t k = 0; k < src.cls.size(); ++k) {
      cv::Rect2f b = src.boxes[k];
      b.x += padw, b.y += padh;
      // Clip to the canvas; parts hidden under a neighbour are left to the area filter later.
      const float bx1 = std::clamp(b.x, 0.0f, 2.0f * s), by1 = std::clamp(b.y, 0.0f, 2.0f * s);
      const float bx2 = std::clamp(b.x + b.width, 0.0f, 2.0f * s);
      const float by2 = std::clamp(b.y + b.height, 0.0f, 2.0f * s);
      if (bx2 <= bx1 || by2 <= by1) continue;
      out.cls.push_back(src.cls[k]);
      out.boxes.emplace_back(bx1, by1, bx2 - bx1, by2 - by1);
      std::vector<cv::Point2f> poly;
      if (k < src.polygons.size() && !src.polygons[k].empty()) {
        for (const auto& p : src.polygons[k]) poly.emplace_back(p.x + padw, p.y + padh);
        // Parts beyond the canvas are not in the picture; without clipping they would show up
        // over the grey border once the mosaic is scaled down.
        poly = clip_polygon(poly, cv::Size2f(2.0f * s, 2.0f * s));
      }
      out.polygons.push_back(std::move(poly));
    }
  }
  out.letterbox = four.empty() ? LetterboxInfo{} : four[0].letterbox;
  return out;
}

std::vector<cv::Point2f> clip_polygon(const std::vector<cv::Point2f>& polygon, cv::Size2f size) {
  std::vector<cv::Point2f> poly = polygon, next;
  auto clip = [&](auto inside, auto intersect) {
    next.clear();
    const std::size_t n = poly.size();
    for (std::size_t i = 0; i < n; ++i) {
      const cv::Point2f& a = poly[i];
      const cv::Point2f& b = poly[(i + 1) % n];
      const bool ia = inside(a), ib = inside(b);
      if (ia) next.push_back(a);
      if (ia != ib) next.push_back(intersect(a, b));
    }
    poly.swap(next);
  };
  auto at_x = [](const cv::Point2f& a, const cv::Point2f& b, float x) {
    const float t = (x - a.x) / (b.x - a.x);
    return cv::Point2f(x, a.y + t * (b.y - a.y));
  };
  auto at_y = [](const cv::Point2f& a, const cv::Point2f& b, float y) {
    const float t = (y - a.y) / (b.y - a.y);
    return cv::Point2f(a.x + t * (b.x - a.x), y);
  };
  const float w = size.width, h = size.height;
  clip([](const cv::Point2f& p) { return p.x >= 0; },
       [&](const cv::Point2f& a, const cv::Point2f& b) { return at_x(a, b, 0); });
  clip([&](const cv::Point2f& p) { return p.x <= w; },
       [&](const cv::Point2f& a, const cv::Point2f& b) { return at_x(a, b, w); });
  clip([](const cv::Point2f& p) { return p.y >= 0; },
       [&](const cv::Point2f& a, const cv::Point2f& b) { return at_y(a, b, 0); });
  clip([&](const cv::Point2f& p) { return p.y <= h; },
       [&](const cv::Point2f& a, const cv::Point2f& b) { return at_y(a, b, h); });
  return poly;
}

cv::Rect2f clipped_polygon_box(const std::vector<cv::Point2f>& polygon, cv::Size2f size) {
  // The bounds of the clipped polygon are the exact bounds of the visible part (also for
  // concave outlines and joined outlines).
  const std::vector<cv::Point2f> poly = clip_polygon(polygon, size);
  if (poly.empty()) return {};
  const float w = size.width, h = size.height;
  float x1 = w, y1 = h, x2 = 0, y2 = 0;
  for (const auto& p : poly)
    x1 = std::min(x1, p.x), y1 = std::min(y1, p.y), x2 = std::max(x2, p.x), y2 = std::max(y2, p.y);
  if (x2 <= x1 || y2 <= y1) return {};
  return {x1, y1, x2 - x1, y2 - y1};
}

void random_perspective(Sample& sample, const AugmentHyp& hyp, cv::Size2i out_size, int border,
                        std::mt19937& rng) {
  const int in_w = sample.image.cols, in_h = sample.image.rows;
  const int width = in_w + 2 * border, height = in_h + 2 * border;
  (void)out_size;  // equals (width, height) by construction; kept for readability at call sites
  cv::Matx33d C = cv::Matx33d::eye();
  C(0, 2) = -in_w / 2.0, C(1, 2) = -in_h / 2.0;  // move the centre to the origin
  cv::Matx33d P = cv::Matx33d::eye();
  P(2, 0) = uniform(rng, -hyp.perspective, hyp.perspective);
  P(2, 1) = uniform(rng, -hyp.perspective, hyp.perspective);
  cv::Matx33d R = cv::Matx33d::eye();
  const float angle = uniform(rng, -hyp.degrees, hyp.degrees);
  const float s = uniform(rng, 1 - hyp.scale, 1 + hyp.scale);
  const cv::Mat rot = cv::getRotationMatrix2D(cv::Point2f(0, 0), angle, s);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) R(r, c) = rot.at<double>(r, c);
  cv::Matx33d S = cv::Matx33d::eye();
  S(0, 1) = std::tan(uniform(rng, -hyp.shear, hyp.shear) * CV_PI / 180);
  S(1, 0) = std::tan(uniform(rng, -hyp.shear, hyp.shear) * CV_PI / 180);
  cv::Matx33d T = cv::Matx33d::eye();
  T(0, 2) = uniform(rng, 0.5f - hyp.translate, 0.5f + hyp.translate) * width;
  T(1, 2) = uniform(rng, 0.5f - hyp.translate, 0.5f + hyp.translate) * height;
  const cv::Matx33d M = T * S * R * P * C;
  const bool perspective = hyp.perspective != 0;

  cv::Mat warped;
  if (perspective)
    cv::warpPerspective(sample.image, warped, cv::Mat(M), cv::Size(width, height), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, kGrey);
  else
    cv::warpAffine(sample.image, warped, cv::Mat(M).rowRange(0, 2), cv::Size(width, height),
                   cv::INTER_LINEAR, cv::BORDER_CONSTANT, kGrey);
  sample.image = warped;

  auto apply = [&](const cv::Point2f& p) {
    const double x = M(0, 0) * p.x + M(0, 1) * p.y + M(0, 2);
    const double y = M(1, 0) * p.x + M(1, 1) * p.y + M(1, 2);
    const double z = perspective ? M(2, 0) * p.x + M(2, 1) * p.y + M(2, 2) : 1.0;
    return cv::Point2f(static_cast<float>(x / z), static_cast<float>(y / z));
  };
  const cv::Size2f bounds(static_cast<float>(width), static_cast<float>(height));
  std::vector<int> cls;
  std::vector<cv::Rect2f> boxes;
  std::vector<std::vector<cv::Point2f>> polygons;
  for (std::size_t k = 0; k < sample.cls.size(); ++k) {
    const cv::Rect2f& old = sample.boxes[k];
    std::vector<cv::Point2f> poly;
    cv::Rect2f box;
    const bool has_poly = k < sample.polygons.size() && sample.polygons[k].size() >= 3;
    if (has_poly) {
      poly.reserve(sample.polygons[k].size());
      for (const auto& p : sample.polygons[k]) poly.push_back(apply(p));
      box = clipped_polygon_box(poly, bounds);
    } else {
      const cv::Point2f corners[4] = {apply({old.x, old.y}), apply({old.x + old.width, old.y}),
                                      apply({old.x, old.y + old.height}),
                                      apply({old.x + old.width, old.y + old.height})};
      float x1 = corners[0].x, y1 = corners[0].y, x2 = x1, y2 = y1;
      for (const auto& c : corners)
        x1 = std::min(x1, c.x), y1 = std::min(y1, c.y), x2 = std::max(x2, c.x),
        y2 = std::max(y2, c.y);
      x1 = std::clamp(x1, 0.0f, bounds.width), x2 = std::clamp(x2, 0.0f, bounds.width);
      y1 = std::clamp(y1, 0.0f, bounds.height), y2 = std::clamp(y2, 0.0f, bounds.height);
      box = cv::Rect2f(x1, y1, x2 - x1, y2 - y1);
    }
    // Keep objects that stay visible: at least 2 px each way, not a sliver, and enough of their
    // (scaled) area left; polygons measure their true visible extent, so a lower bar applies.
    // A vertex sent through the horizon by the perspective term has no place: such a box is
    // not a number and fails these comparisons too.
    const float w2 = box.width, h2 = box.height;
    if (!(w2 > 2 && h2 > 2 && std::isfinite(box.x) && std::isfinite(box.y))) continue;
    const float ar = std::max(w2 / (h2 + 1e-16f), h2 / (w2 + 1e-16f));
    const float area_ratio = w2 * h2 / (old.width * s * old.height * s + 1e-16f);
    const float area_thr = has_poly ? 0.01f : 0.10f;
    if (ar >= 100 || area_ratio <= area_thr) continue;
    cls.push_back(sample.cls[k]);
    boxes.push_back(box);
    polygons.push_back(std::move(poly));
  }
  sample.cls = std::move(cls);
  sample.boxes = std::move(boxes);
  sample.polygons = std::move(polygons);
}

void augment_hsv(cv::Mat& image, const AugmentHyp& hyp, std::mt19937& rng) {
  if (hyp.hsv_h == 0 && hyp.hsv_s == 0 && hyp.hsv_v == 0) return;
  const float rh = uniform(rng, -1, 1) * hyp.hsv_h + 1;
  const float rs = uniform(rng, -1, 1) * hyp.hsv_s + 1;
  const float rv = uniform(rng, -1, 1) * hyp.hsv_v + 1;
  cv::Mat hsv;
  cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
  cv::Mat lut(1, 256, CV_8UC3);
  for (int x = 0; x < 256; ++x) {
    auto& v = lut.at<cv::Vec3b>(0, x);
    v[0] = static_cast<uchar>(static_cast<int>(x * rh) % 180);
    v[1] = cv::saturate_cast<uchar>(std::clamp(x * rs, 0.0f, 255.0f));
    v[2] = cv::saturate_cast<uchar>(std::clamp(x * rv, 0.0f, 255.0f));
  }
  cv::LUT(hsv, lut, hsv);
  cv::cvtColor(hsv, image, cv::COLOR_HSV2BGR);
}

void random_flip(Sample& sample, const AugmentHyp& hyp, std::mt19937& rng) {
  const int w = sample.image.cols, h = sample.image.rows;
  if (hyp.flipud > 0 && uniform(rng, 0, 1) < hyp.flipud) {
    cv::flip(sample.image, sample.image, 0);
    for (auto& b : sample.boxes) b.y = h - b.y - b.height;
    for (auto& poly : sample.polygons)
      for (auto& p : poly) p.y = h - p.y;
  }
  if (hyp.fliplr > 0 && uniform(rng, 0, 1) < hyp.fliplr) {
    cv::flip(sample.image, sample.image, 1);
    for (auto& b : sample.boxes) b.x = w - b.x - b.width;
    for (auto& poly : sample.polygons)
      for (auto& p : poly) p.x = w - p.x;
  }
}

}  // namespace orvane::engine
