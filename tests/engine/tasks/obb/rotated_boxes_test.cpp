// Oriented-box geometry against hand-computed cases.

#include "engine/tasks/obb/rotated_boxes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvane::engine::obb {
namespace {

TEST(RotatedIou, HandComputedCases) {
  const RotatedBox square{10, 10, 2, 2, 0};
  // The square and its 45-degree turn meet in a regular octagon of apothem 1: area
  // 8 tan(pi/8) = 8 (sqrt 2 - 1), union 8 - that; the ratio is exactly 1 / sqrt 2.
  EXPECT_NEAR(rotated_iou(square, {10, 10, 2, 2, M_PI / 4}), 1 / std::sqrt(2.0), 1e-5);
  EXPECT_NEAR(rotated_iou(square, square), 1.0, 1e-6);
  EXPECT_NEAR(rotated_iou(square, {10, 10, 2, 2, M_PI / 2}), 1.0, 1e-5);  // a quarter turn
  // Nested: a 2x2 inside a 4x4 at any angle covers a quarter of it.
  EXPECT_NEAR(rotated_iou({10, 10, 4, 4, 0.2}, {10, 10, 2, 2, 1.0}), 0.25, 1e-5);
  EXPECT_NEAR(rotated_iou({10, 10, 2, 2, 1.0}, {10, 10, 4, 4, 0.2}), 0.25, 1e-5);
  // Shifted by half a side: overlap 2, union 6.
  EXPECT_NEAR(rotated_iou(square, {11, 10, 2, 2, 0}), 1.0 / 3.0, 1e-5);
  // A long thin box across another, turned 90 degrees: a 1x1 cross of two 1x5 boxes.
  EXPECT_NEAR(rotated_iou({0, 0, 5, 1, 0}, {0, 0, 5, 1, M_PI / 2}), 1.0 / 9.0, 1e-5);
  EXPECT_EQ(rotated_iou(square, {20, 20, 2, 2, 0.5}), 0.0);
  EXPECT_EQ(rotated_iou(square, {10, 10, 0, 2, 0}), 0.0);  // empty
}

TEST(RotatedBox, CornersAndBackAgree) {
  const RotatedBox box{5, 6, 4, 2, 0.3};
  const auto c = corners(box);
  // The first corner is (-w/2, -h/2) turned by 0.3 rad.
  EXPECT_NEAR(c[0], 5 + (-2) * std::cos(0.3) - (-1) * std::sin(0.3), 1e-9);
  EXPECT_NEAR(c[1], 6 + (-2) * std::sin(0.3) + (-1) * std::cos(0.3), 1e-9);
  const auto back = from_corners(c);
  EXPECT_NEAR(back.cx, 5, 1e-4);
  EXPECT_NEAR(back.cy, 6, 1e-4);
  EXPECT_NEAR(back.w, 4, 1e-4);
  EXPECT_NEAR(back.h, 2, 1e-4);
  EXPECT_NEAR(back.r, 0.3, 1e-4);
  // Corners listed from another starting corner describe the same rectangle.
  const std::array<double, 8> shifted{c[2], c[3], c[4], c[5], c[6], c[7], c[0], c[1]};
  EXPECT_NEAR(rotated_iou(from_corners(shifted), box), 1.0, 1e-4);
}

TEST(ProbIou, HandComputedCasesAndGradient) {
  // Boxes of side sqrt 12 have unit variance: S = I, BD = d^2 / 8, ProbIoU = 1 - sqrt(1 - e^-BD).
  const double side = std::sqrt(12.0);
  auto a = torch::tensor({{0.0, 0.0, side, side, 0.0}}, torch::kDouble);
  auto b = torch::tensor({{2.0, 0.0, side, side, 0.7}}, torch::kDouble);  // a square: angle-free
  EXPECT_NEAR(probiou(a, b).item<double>(), 1 - std::sqrt(1 - std::exp(-0.5)), 1e-6);
  EXPECT_GT(probiou(a, a).item<double>(), 0.999);
  // A 4x2 box and its quarter turn are different Gaussians; a half turn is the same one.
  auto r = torch::tensor({{0.0, 0.0, 4.0, 2.0, 0.0}, {0.0, 0.0, 4.0, 2.0, 0.0}}, torch::kDouble);
  auto t =
      torch::tensor({{0.0, 0.0, 4.0, 2.0, M_PI / 2}, {0.0, 0.0, 4.0, 2.0, M_PI}}, torch::kDouble);
  const auto iou = probiou(r, t);
  EXPECT_LT(iou[0].item<double>(), 0.9);
  EXPECT_GT(iou[1].item<double>(), 0.999);
  // Boxes far apart still pull towards each other.
  auto far = torch::tensor({{30.0, 0.0, 2.0, 2.0, 0.0}}, torch::kDouble).requires_grad_();
  probiou(torch::tensor({{0.0, 0.0, 2.0, 2.0, 0.0}}, torch::kDouble), far).sum().backward();
  EXPECT_TRUE(std::isfinite(far.grad()[0][0].item<double>()));
  auto near = torch::tensor({{1.0, 0.0, 2.0, 2.0, 0.0}}, torch::kDouble).requires_grad_();
  probiou(torch::tensor({{0.0, 0.0, 2.0, 2.0, 0.0}}, torch::kDouble), near).sum().backward();
  EXPECT_LT(near.grad()[0][0].item<double>(), 0.0);  // moving nearer raises it
}

TEST(RotatedNms, KeepsTheBestOfEachOverlappingGroup) {
  const std::vector<RotatedBox> boxes{
      {10, 10, 2, 2, 0}, {10, 10, 2, 2, M_PI / 4}, {30, 30, 2, 2, 0}, {10, 10, 4, 4, 0.2}};
  const std::vector<float> scores{0.8f, 0.9f, 0.7f, 0.6f};
  // The turned square scores best and takes the square (IoU 0.71); the nested big box (IoU
  // 0.25) and the far one stay.
  EXPECT_EQ(rotated_nms(boxes, scores, {}, 0.5), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(rotated_nms(boxes, scores, {}, 0.2), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(rotated_nms(boxes, scores, {}, 0.75), (std::vector<int64_t>{1, 0, 2, 3}));
  // Other classes never suppress each other.
  EXPECT_EQ(rotated_nms(boxes, scores, {0, 1, 0, 1}, 0.2), (std::vector<int64_t>{1, 0, 2}));
  EXPECT_TRUE(rotated_nms({}, {}, {}, 0.5).empty());
}

}  // namespace
}  // namespace orvane::engine::obb
