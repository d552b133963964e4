#include "engine/loss.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/data/batch.h"

namespace orvane::engine {
namespace {

torch::Tensor box(double x1, double y1, double x2, double y2) {
  return torch::tensor({x1, y1, x2, y2}, torch::kDouble);
}

TEST(LossTest, IouAndCiouMatchHandComputedValues) {
  // Two 2x2 squares overlapping in a 1x1 square: IoU 1/7.
  EXPECT_NEAR(bbox_iou(box(0, 0, 2, 2), box(1, 1, 3, 3)).item<double>(), 1.0 / 7, 1e-6);
  // Same aspect ratio: CIoU = IoU - centre distance^2 / enclosing diagonal^2 = 1/7 - 2/18.
  EXPECT_NEAR(bbox_iou(box(0, 0, 2, 2), box(1, 1, 3, 3), true).item<double>(),
              1.0 / 7 - 2.0 / 18, 1e-6);
  // Different aspect ratios: IoU 0.5, rho^2/c^2 = 1/20, v = 4/pi^2 (atan 2 - atan 1)^2.
  const double v = 4 / (M_PI * M_PI) * std::pow(std::atan(2.0) - std::atan(1.0), 2);
  const double alpha = v / (v - 0.5 + 1);
  EXPECT_NEAR(bbox_iou(box(0, 0, 2, 2), box(0, 0, 4, 2), true).item<double>(),
              0.5 - (1.0 / 20 + v * alpha), 1e-6);
  // Disjoint boxes: IoU 0; identical boxes: CIoU 1.
  EXPECT_NEAR(bbox_iou(box(0, 0, 1, 1), box(5, 5, 6, 6)).item<double>(), 0.0, 1e-9);
  EXPECT_NEAR(bbox_iou(box(1, 2, 5, 9), box(1, 2, 5, 9), true).item<double>(), 1.0, 1e-6);
}

TEST(LossTest, DflTargetsAreSideDistancesClampedBelowTheLastBin) {
  auto anchor = torch::tensor({{5.5, 5.5}}, torch::kDouble);
  auto target = bbox_to_dist(anchor, torch::tensor({{2.0, 3.0, 9.0, 30.0}}, torch::kDouble));
  auto expected = torch::tensor({{3.5, 2.5, 3.5, 14.99}}, torch::kDouble);
  EXPECT_TRUE(torch::allclose(target, expected)) << target;
  // And back: distances around the anchor give the box again (unclamped part).
  auto back = dist_to_bbox(torch::tensor({{3.5, 2.5, 3.5, 4.0}}, torch::kDouble), anchor, false);
  EXPECT_TRUE(torch::allclose(back, torch::tensor({{2.0, 3.0, 9.0, 9.5}}, torch::kDouble)));
}

TEST(LossTest, DistributionFocalLossWeightsTheTwoNeighbouringBins) {
  auto logits = torch::randn({1, kRegMax}, torch::kDouble);
  auto logp = torch::log_softmax(logits, -1);
  const double expected = -(0.7 * logp[0][3].item<double>() + 0.3 * logp[0][4].item<double>());
  EXPECT_NEAR(distribution_focal_loss(logits, torch::tensor({3.3}, torch::kDouble)).item<double>(),
              expected, 1e-9);
  // Uniform logits: log 16 whatever the target.
  EXPECT_NEAR(distribution_focal_loss(torch::zeros({1, kRegMax}, torch::kDouble),
                                      torch::tensor({11.8}, torch::kDouble))
                  .item<double>(),
              std::log(16.0), 1e-9);
}

// Central finite differences against autograd for a scalar function of one tensor.
void expect_gradient_matches(const std::function<torch::Tensor(const torch::Tensor&)>& f,
                             torch::Tensor x) {
  x = x.clone().set_requires_grad(true);
  f(x).backward();
  auto analytic = x.grad().clone();
  auto flat = x.detach().clone().view({-1});
  const double h = 1e-6;
  for (int64_t i = 0; i < flat.numel(); ++i) {
    auto plus = flat.clone(), minus = flat.clone();
    plus[i] += h;
    minus[i] -= h;
    const double numeric =
        (f(plus.view(x.sizes())).item<double>() - f(minus.view(x.sizes())).item<double>()) /
        (2 * h);
    EXPECT_NEAR(analytic.view({-1})[i].item<double>(), numeric, 1e-5) << "element " << i;
  }
}

TEST(LossTest, CustomLossGradientsMatchFiniteDifferences) {
  torch::manual_seed(0);
  auto targets = torch::tensor({0.4, 7.25, 14.99}, torch::kDouble);
  expect_gradient_matches(
      [&](const torch::Tensor& logits) { return distribution_focal_loss(logits, targets).sum(); },
      torch::randn({3, kRegMax}, torch::kDouble));
  auto other = torch::tensor({{1.0, 1.5, 4.0, 5.0}}, torch::kDouble);
  expect_gradient_matches([&](const torch::Tensor& b) { return bbox_iou(b, other).sum(); },
                          torch::tensor({{0.5, 0.7, 3.0, 4.2}}, torch::kDouble));
  // The mask term: BCE on prototype logits, cropped to the box.
  auto gt = (torch::rand({2, 8, 8}, torch::kDouble) > 0.5).to(torch::kDouble);
  auto boxes = torch::tensor({{1.0, 1.0, 6.0, 5.0}, {0.0, 2.0, 8.0, 8.0}}, torch::kDouble);
  expect_gradient_matches(
      [&](const torch::Tensor& logits) {
        auto l = torch::binary_cross_entropy_with_logits(logits, gt, {}, {}, at::Reduction::None);
        return crop_mask(l, boxes).mean({1, 2}).sum();
      },
      torch::randn({2, 8, 8}, torch::kDouble));
}

TEST(LossTest, CropMaskKeepsOnlyPixelsInsideTheBox) {
  auto cropped = crop_mask(torch::ones({1, 4, 6}), torch::tensor({{1.0f, 1.0f, 3.0f, 4.0f}}));
  EXPECT_EQ(cropped.sum().item<float>(), 2 * 3);
  EXPECT_EQ(cropped[0][1][1].item<float>(), 1);
  EXPECT_EQ(cropped[0][0][1].item<float>(), 0);
  EXPECT_EQ(cropped[0][1][3].item<float>(), 0);
}

// A 4x4 grid at stride 8 (32x32 image): anchors at 4, 12, 20, 28 in each direction.
struct ToyGrid {
  torch::Tensor anchors = YoloModelImpl::make_anchors({torch::zeros({1, 1, 4, 4})}).first * 8;
};

TEST(LossTest, AssignerPicksTheTopAlignedAnchorsInsideTheBox) {
  ToyGrid grid;
  const int64_t a = 16;
  auto gt_box = torch::tensor({{{0.0f, 0.0f, 16.0f, 16.0f}}});  // covers anchors 0, 1, 4, 5
  auto gt_label = torch::tensor({{{1.0f}}});
  auto mask_gt = torch::ones({1, 1, 1});
  auto pd_scores = torch::zeros({1, a, 2});
  pd_scores[0][0][1] = 0.9;
  pd_scores[0][1][1] = 0.5;
  pd_scores[0][4][1] = 0.3;
  pd_scores[0][5][1] = 0.1;
  pd_scores[0][15][1] = 0.99;  // outside the box: never assigned
  auto pd_bboxes = gt_box.expand({1, a, 4}).clone();  // every prediction hits the box exactly
  TaskAlignedAssigner assigner;
  assigner.topk = 2;
  assigner.num_classes = 2;
  auto r = assigner(pd_scores, pd_bboxes, grid.anchors, gt_label, gt_box, mask_gt);
  auto fg = r.fg_mask[0];
  EXPECT_TRUE(fg[0].item<bool>());
  EXPECT_TRUE(fg[1].item<bool>());
  EXPECT_EQ(fg.sum().item<int64_t>(), 2);
  EXPECT_EQ(r.target_labels[0][0].item<int64_t>(), 1);
  // Soft targets: alignment sqrt(s) * 1^6 normalised by the best alignment times the best IoU.
  EXPECT_NEAR(r.target_scores[0][0][1].item<float>(), 1.0, 1e-4);
  EXPECT_NEAR(r.target_scores[0][1][1].item<float>(), std::sqrt(0.5 / 0.9), 1e-4);
  EXPECT_EQ(r.target_scores[0][1][0].item<float>(), 0);
  EXPECT_EQ(r.target_scores[0][4].sum().item<float>(), 0);
  EXPECT_TRUE(torch::allclose(r.target_bboxes[0][1], gt_box[0][0]));
}

TEST(LossTest, AssignerGivesAContestedAnchorToTheBetterOverlap) {
  ToyGrid grid;
  const int64_t a = 16;
  // Both boxes contain anchor 5 at (12,12); predictions there match the second box exactly.
  auto gt = torch::tensor({{{0.0f, 0.0f, 16.0f, 16.0f}, {8.0f, 8.0f, 24.0f, 24.0f}}});
  auto labels = torch::tensor({{{0.0f}, {1.0f}}});
  auto pd_scores = torch::full({1, a, 2}, 0.5f);
  auto pd_bboxes = torch::tensor({8.0f, 8.0f, 24.0f, 24.0f}).expand({1, a, 4}).clone();
  TaskAlignedAssigner assigner;
  assigner.num_classes = 2;
  auto r = assigner(pd_scores, pd_bboxes, grid.anchors, labels, gt, torch::ones({1, 2, 1}));
  EXPECT_TRUE(r.fg_mask[0][5].item<bool>());
  EXPECT_EQ(r.target_gt_idx[0][5].item<int64_t>(), 1);
  EXPECT_EQ(r.target_labels[0][5].item<int64_t>(), 1);
  // Padding rows (no ground truth) assign nothing.
  auto none = assigner(pd_scores, pd_bboxes, grid.anchors, torch::zeros({1, 1, 1}),
                       torch::zeros({1, 1, 4}), torch::zeros({1, 1, 1}));
  EXPECT_FALSE(none.fg_mask.any().item<bool>());
}

Batch toy_batch(bool masks) {
  Batch b;
  b.images = torch::rand({2, 3, 64, 64});
  b.batch_idx = torch::tensor({0, 0, 1}, torch::kLong);
  b.cls = torch::tensor({0, 1, 1}, torch::kLong);
  b.bboxes = torch::tensor({{0.3f, 0.3f, 0.4f, 0.4f}, {0.7f, 0.6f, 0.3f, 0.5f},
                            {0.5f, 0.5f, 0.8f, 0.6f}});
  if (masks) {
    b.masks = torch::zeros({3, 16, 16});
    b.masks.index_put_({0, torch::indexing::Slice(2, 8), torch::indexing::Slice(2, 8)}, 1);
    b.masks.index_put_({1, torch::indexing::Slice(6, 14), torch::indexing::Slice(9, 13)}, 1);
    b.masks.index_put_({2, torch::indexing::Slice(4, 12), torch::indexing::Slice(2, 14)}, 1);
  }
  return b;
}

TEST(LossTest, ComputeLossGivesFiniteTermsAndGradientsForDetectionAndSegmentation) {
  torch::manual_seed(0);
  for (auto task : {Task::detect, Task::segment}) {
    YoloModel model(ModelSpec{'n', task, 2});
    auto batch = toy_batch(task == Task::segment);
    auto out = model->forward(batch.images);
    auto loss = compute_loss(model, out, batch);
    ASSERT_EQ(loss.items.numel(), task == Task::segment ? 4 : 3);
    EXPECT_TRUE(torch::isfinite(loss.items).all().item<bool>()) << loss.items;
    EXPECT_GT(loss.items.min().item<float>(), 0) << loss.items;  // every term active
    // The total is the sum of the terms times the batch size.
    EXPECT_NEAR(loss.total.item<float>(), loss.items.sum().item<float>() * 2, 1e-3);
    loss.total.backward();
    int64_t with_grad = 0, total = 0;
    for (const auto& p : model->parameters()) {
      if (!p.requires_grad()) continue;
      ++total;
      if (p.grad().defined() && p.grad().abs().sum().item<float>() > 0) ++with_grad;
    }
    EXPECT_GT(with_grad, total * 9 / 10);
  }
}

TEST(LossTest, ABatchWithoutInstancesOnlyTrainsTheClassBranch) {
  YoloModel model(ModelSpec{'n', Task::segment, 3});
  Batch batch = toy_batch(true);
  batch.batch_idx = torch::zeros({0}, torch::kLong);
  batch.cls = torch::zeros({0}, torch::kLong);
  batch.bboxes = torch::zeros({0, 4});
  batch.masks = torch::zeros({0, 16, 16});
  auto loss = compute_loss(model, model->forward(batch.images), batch);
  EXPECT_EQ(loss.items[0].item<float>(), 0);  // box
  EXPECT_EQ(loss.items[1].item<float>(), 0);  // seg
  EXPECT_GT(loss.items[2].item<float>(), 0);  // cls
  loss.total.backward();
}

}  // namespace
}  // namespace orvane::engine
