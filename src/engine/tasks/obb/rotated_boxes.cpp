#include "engine/tasks/obb/rotated_boxes.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace orvane::engine::obb {

std::array<double, 8> corners(const RotatedBox& box) {
  const double c = std::cos(box.r), s = std::sin(box.r);
  const double hw = box.w / 2, hh = box.h / 2;
  const double local[4][2] = {{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}};
  std::array<double, 8> out{};
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = box.cx + local[i][0] * c - local[i][1] * s;
    out[2 * i + 1] = box.cy + local[i][0] * s + local[i][1] * c;
  }
  return out;
}

RotatedBox from_corners(const std::array<double, 8>& xy) {
  std::vector<cv::Point2f> points;
  for (int i = 0; i < 4; ++i) points.emplace_back(float(xy[2 * i]), float(xy[2 * i + 1]));
  const cv::RotatedRect rect = cv::minAreaRect(points);
  RotatedBox box{rect.center.x, rect.center.y, rect.size.width, rect.size.height,
                 rect.angle * M_PI / 180.0};
  // Width along the first edge, as the label drew it: OpenCV picks its own first side.
  const double ex = xy[2] - xy[0], ey = xy[3] - xy[1];
  const double first = std::atan2(ey, ex);
  const double diff = std::remainder(first - box.r, M_PI);
  if (std::abs(diff) > M_PI / 4) {
    std::swap(box.w, box.h);
    box.r += M_PI / 2;
  }
  box.r = std::remainder(box.r, M_PI);  // [-pi/2, pi/2]
  if (box.r >= M_PI / 2) box.r -= M_PI;
  return box;
}

namespace {

std::vector<cv::Point2f> polygon(const RotatedBox& box) {
  const auto c = corners(box);
  std::vector<cv::Point2f> out;
  for (int i = 0; i < 4; ++i) out.emplace_back(float(c[2 * i]), float(c[2 * i + 1]));
  return out;
}

}  // namespace

double rotated_iou(const RotatedBox& a, const RotatedBox& b) {
  const double area_a = a.w * a.h, area_b = b.w * b.h;
  if (!(area_a > 0) || !(area_b > 0)) return 0.0;
  std::vector<cv::Point2f> inter;
  const double overlap =
      std::max(0.0, double(cv::intersectConvexConvex(polygon(a), polygon(b), inter, true)));
  const double uni = area_a + area_b - overlap;
  return uni > 0 ? std::clamp(overlap / uni, 0.0, 1.0) : 0.0;
}

namespace {

// Covariance (a, b, c) = ([0,0], [1,1], [0,1]) entries of each box's Gaussian.
std::array<torch::Tensor, 3> covariance(const torch::Tensor& boxes) {
  const auto a = boxes.select(1, 2).pow(2) / 12, b = boxes.select(1, 3).pow(2) / 12;
  const auto cos = boxes.select(1, 4).cos(), sin = boxes.select(1, 4).sin();
  return {a * cos.pow(2) + b * sin.pow(2), a * sin.pow(2) + b * cos.pow(2), (a - b) * cos * sin};
}

}  // namespace

torch::Tensor probiou(const torch::Tensor& a, const torch::Tensor& b, double eps) {
  const auto dx = a.select(1, 0) - b.select(1, 0), dy = a.select(1, 1) - b.select(1, 1);
  const auto [a1, b1, c1] = covariance(a);
  const auto [a2, b2, c2] = covariance(b);
  // S1 + S2 = [[A, C], [C, B]]; 1/8 d'((S1+S2)/2)^-1 d = 1/4 d'(S1+S2)^-1 d.
  const auto A = a1 + a2, B = b1 + b2, C = c1 + c2;
  const auto det = A * B - C.pow(2);
  const auto mahalanobis = (B * dx.pow(2) - 2 * C * dx * dy + A * dy.pow(2)) / (det + eps) / 4;
  // det((S1+S2)/2) = det / 4.
  const auto det1 = (a1 * b1 - c1.pow(2)).clamp_min(0), det2 = (a2 * b2 - c2.pow(2)).clamp_min(0);
  const auto spread = ((det / 4) / ((det1 * det2).sqrt() + eps) + eps).log() / 2;
  const auto bd = (mahalanobis + spread).clamp(eps, 100.0);
  const auto hellinger = (1 - (-bd).exp() + eps).sqrt();
  return 1 - hellinger;
}

std::vector<int64_t> rotated_nms(const std::vector<RotatedBox>& boxes,
                                 const std::vector<float>& scores, const std::vector<int>& classes,
                                 double iou_threshold) {
  std::vector<int64_t> order(boxes.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t x, int64_t y) { return scores[size_t(x)] > scores[size_t(y)]; });
  std::vector<int64_t> kept;
  for (const int64_t i : order) {
    bool keep = true;
    for (const int64_t k : kept) {
      if (!classes.empty() && classes[size_t(i)] != classes[size_t(k)]) continue;
      if (rotated_iou(boxes[size_t(i)], boxes[size_t(k)]) > iou_threshold) {
        keep = false;
        break;
      }
    }
    if (keep) kept.push_back(i);
  }
  return kept;
}

}  // namespace orvane::engine::obb
