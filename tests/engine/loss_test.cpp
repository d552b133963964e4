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
  EXPECT_NEAR(bbox_iou(box(0, 0, 2, 2), box(1, 1, 3, 3), true).item<double>(), 1.0 / 7 - 2.0 / 18,
              1e-6);
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
  pd_scores[0][15][1] = 0.99;                         // outside the box: never assigned
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
  b.bboxes =
      torch::tensor({{0.3f, 0.3f, 0.4f, 0.4f}, {0.7f, 0.6f, 0.3f, 0.5f}, {0.5f, 0.5f, 0.8f, 0.6f}});
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

namespace orvane::engine {
namespace {

// The mask term written out object by object in double precision, straight from its
// definition, with its gradient by hand: for every assigned anchor, the logits are its
// coefficients times its image's prototypes; the pixel-wise BCE against the object's mask is
// summed over the pixels of the box (in prototype cells), divided by the grid's pixel count and
// by the box's share of the image; the mean over assigned anchors times the box gain. Nothing
// here shares code with compute_loss beyond the assignment it is given.
struct MaskTermCheck {
  double loss = 0;
  std::vector<double> d_coef;   // [B,32,A] as mask_coef
  std::vector<double> d_proto;  // [B,32,mh,mw] as proto
};

MaskTermCheck mask_term_by_hand(const torch::Tensor& coef_t, const torch::Tensor& proto_t,
                                const Batch& batch, const AssignResult& assigned, double img_w,
                                double img_h, double gain) {
  auto coef = coef_t.to(torch::kDouble).contiguous();    // [B,32,A]
  auto proto = proto_t.to(torch::kDouble).contiguous();  // [B,32,mh,mw]
  auto masks = batch.masks.to(torch::kDouble).contiguous();
  const int64_t bs = proto.size(0), nm = proto.size(1), mh = proto.size(2), mw = proto.size(3);
  const int64_t na = coef.size(2);
  auto c = coef.accessor<double, 3>();
  auto p = proto.accessor<double, 4>();
  auto m = masks.accessor<double, 3>();
  auto fg = assigned.fg_mask.accessor<bool, 2>();
  auto gt_idx = assigned.target_gt_idx.accessor<int64_t, 2>();
  auto tb = assigned.target_bboxes.to(torch::kDouble).contiguous();
  auto boxes = tb.accessor<double, 3>();
  auto bidx = batch.batch_idx.accessor<int64_t, 1>();
  MaskTermCheck out;
  out.d_coef.assign(size_t(bs * nm * na), 0.0);
  out.d_proto.assign(size_t(bs * nm * mh * mw), 0.0);
  int64_t n_fg = 0;
  for (int64_t b = 0; b < bs; ++b)
    for (int64_t a = 0; a < na; ++a) n_fg += fg[b][a];
  if (n_fg == 0) return out;
  for (int64_t b = 0; b < bs; ++b) {
    int64_t first = 0;  // the image's first instance
    while (first < bidx.size(0) && bidx[first] < b) ++first;
    for (int64_t a = 0; a < na; ++a) {
      if (!fg[b][a]) continue;
      const int64_t obj = first + gt_idx[b][a];
      const double x1 = boxes[b][a][0] / img_w, y1 = boxes[b][a][1] / img_h;
      const double x2 = boxes[b][a][2] / img_w, y2 = boxes[b][a][3] / img_h;
      const double area = (x2 - x1) * (y2 - y1);
      const double scale = gain / (double(n_fg) * double(mh * mw) * area);
      for (int64_t y = 0; y < mh; ++y) {
        for (int64_t x = 0; x < mw; ++x) {
          // A cell belongs to the box when its index lies in [x1, x2) in prototype cells.
          if (!(x >= x1 * mw && x < x2 * mw && y >= y1 * mh && y < y2 * mh)) continue;
          double logit = 0;
          for (int64_t k = 0; k < nm; ++k) logit += c[b][k][a] * p[b][k][y][x];
          const double t = m[obj][y][x];
          const double bce =
              std::max(logit, 0.0) - logit * t + std::log1p(std::exp(-std::abs(logit)));
          out.loss += scale * bce;
          const double dlogit = scale * (1.0 / (1.0 + std::exp(-logit)) - t);
          for (int64_t k = 0; k < nm; ++k) {
            out.d_coef[size_t((b * nm + k) * na + a)] += dlogit * p[b][k][y][x];
            out.d_proto[size_t(((b * nm + k) * mh + y) * mw + x)] += dlogit * c[b][k][a];
          }
        }
      }
    }
  }
  return out;
}

TEST(LossTest, MaskTermAndItsGradientsMatchAnObjectByObjectImplementation) {
  torch::manual_seed(3);
  YoloModel model(ModelSpec{'n', Task::segment, 2});
  Batch batch = toy_batch(true);
  // Random head outputs as leaves, so the gradients of the loss reach them directly.
  const int64_t bs = 2, nc = 2, no = 4 * kRegMax + nc;
  ModelOutput out;
  for (int64_t s : {8, 16, 32}) out.feats.push_back(torch::randn({bs, no, 64 / s, 64 / s}));
  const int64_t na = 8 * 8 + 4 * 4 + 2 * 2;
  out.mask_coef = torch::randn({bs, kNumMasks, na}).requires_grad_(true);
  out.proto = torch::randn({bs, kNumMasks, 16, 16}).requires_grad_(true);
  LossGains gains;
  auto loss = compute_loss(model, out, batch, gains);
  loss.total.backward();

  // The same assignment compute_loss makes, from the same predictions.
  std::vector<torch::Tensor> flat;
  for (const auto& f : out.feats) flat.push_back(f.view({bs, no, -1}));
  auto x = torch::cat(flat, 2).permute({0, 2, 1});
  auto [anchors, stride] = YoloModelImpl::make_anchors(out.feats);
  auto dist = x.slice(2, 0, 4 * kRegMax)
                  .reshape({bs, na, 4, kRegMax})
                  .softmax(3)
                  .matmul(torch::arange(kRegMax, x.options()));
  auto pred_boxes = dist_to_bbox(dist, anchors, false) * stride;
  auto gt_labels = torch::zeros({bs, 2, 1}), gt_boxes = torch::zeros({bs, 2, 4}),
       gt_mask = torch::zeros({bs, 2, 1});
  for (int64_t n = 0, slot = 0; n < batch.cls.size(0); ++n) {
    const int64_t b = batch.batch_idx[n].item<int64_t>();
    slot = n == 0 || batch.batch_idx[n - 1].item<int64_t>() != b ? 0 : slot + 1;
    auto xywh = batch.bboxes[n] * 64;
    gt_labels[b][slot][0] = batch.cls[n].item<int64_t>();
    gt_boxes[b][slot] = torch::stack({xywh[0] - xywh[2] / 2, xywh[1] - xywh[3] / 2,
                                      xywh[0] + xywh[2] / 2, xywh[1] + xywh[3] / 2});
    gt_mask[b][slot][0] = 1;
  }
  TaskAlignedAssigner assigner;
  assigner.num_classes = int(nc);
  auto assigned = assigner(x.slice(2, 4 * kRegMax).sigmoid(), pred_boxes, anchors * stride,
                           gt_labels, gt_boxes, gt_mask);
  ASSERT_GT(assigned.fg_mask.sum().item<int64_t>(), 3);

  auto check = mask_term_by_hand(out.mask_coef.detach(), out.proto.detach(), batch, assigned, 64,
                                 64, gains.box);
  EXPECT_NEAR(loss.items[1].item<double>(), check.loss, 1e-6 * std::max(1.0, check.loss));
  // d total / d item = batch size; only the mask term depends on coefficients and prototypes.
  auto gc = out.mask_coef.grad().to(torch::kDouble).contiguous().view({-1});
  auto gp = out.proto.grad().to(torch::kDouble).contiguous().view({-1});
  double worst = 0;
  for (int64_t i = 0; i < gc.numel(); ++i)
    worst = std::max(worst, std::abs(gc[i].item<double>() - bs * check.d_coef[size_t(i)]));
  for (int64_t i = 0; i < gp.numel(); ++i)
    worst = std::max(worst, std::abs(gp[i].item<double>() - bs * check.d_proto[size_t(i)]));
  EXPECT_LT(worst, 1e-6);
}

}  // namespace
}  // namespace orvane::engine
