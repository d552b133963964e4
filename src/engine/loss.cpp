#include "engine/loss.h"

#include <cmath>

#include "engine/data/batch.h"
#include "engine/stage_profile.h"

namespace orvane::engine {

using torch::indexing::Slice;

torch::Tensor bbox_iou(const torch::Tensor& a, const torch::Tensor& b, bool ciou, double eps) {
  auto ax1 = a.select(-1, 0), ay1 = a.select(-1, 1), ax2 = a.select(-1, 2), ay2 = a.select(-1, 3);
  auto bx1 = b.select(-1, 0), by1 = b.select(-1, 1), bx2 = b.select(-1, 2), by2 = b.select(-1, 3);
  auto w1 = ax2 - ax1, h1 = (ay2 - ay1).clamp_min(eps);
  auto w2 = bx2 - bx1, h2 = (by2 - by1).clamp_min(eps);
  auto inter = (torch::minimum(ax2, bx2) - torch::maximum(ax1, bx1)).clamp_min(0) *
               (torch::minimum(ay2, by2) - torch::maximum(ay1, by1)).clamp_min(0);
  auto uni = w1 * h1 + w2 * h2 - inter + eps;
  auto iou = inter / uni;
  if (!ciou) return iou;
  // Smallest enclosing box diagonal, centre distance, aspect-ratio consistency.
  auto cw = torch::maximum(ax2, bx2) - torch::minimum(ax1, bx1);
  auto ch = torch::maximum(ay2, by2) - torch::minimum(ay1, by1);
  auto c2 = cw.pow(2) + ch.pow(2) + eps;
  auto rho2 = ((bx1 + bx2 - ax1 - ax2).pow(2) + (by1 + by2 - ay1 - ay2).pow(2)) / 4;
  auto v = (4.0 / (M_PI * M_PI)) * (torch::atan(w2 / h2) - torch::atan(w1 / h1)).pow(2);
  torch::Tensor alpha;
  {
    // The trade-off weight is a constant for the gradient, as in the CIoU paper.
    torch::NoGradGuard no_grad;
    alpha = v / (v - iou + (1 + eps));
  }
  return iou - (rho2 / c2 + v * alpha);
}

torch::Tensor bbox_to_dist(const torch::Tensor& anchor_points, const torch::Tensor& bboxes,
                           int reg_max) {
  auto x1y1 = bboxes.slice(-1, 0, 2), x2y2 = bboxes.slice(-1, 2, 4);
  return torch::cat({anchor_points - x1y1, x2y2 - anchor_points}, -1)
      .clamp(0, reg_max - 1 - 0.01);
}

torch::Tensor dist_to_bbox(const torch::Tensor& distance, const torch::Tensor& anchor_points,
                           bool xywh) {
  auto lt = distance.slice(-1, 0, 2), rb = distance.slice(-1, 2, 4);
  auto x1y1 = anchor_points - lt, x2y2 = anchor_points + rb;
  if (xywh) return torch::cat({(x1y1 + x2y2) / 2, x2y2 - x1y1}, -1);
  return torch::cat({x1y1, x2y2}, -1);
}

torch::Tensor distribution_focal_loss(const torch::Tensor& logits, const torch::Tensor& target) {
  auto tl = target.to(torch::kLong);
  auto tr = tl + 1;
  auto wl = tr.to(target.scalar_type()) - target;
  auto wr = 1 - wl;
  auto logp = torch::log_softmax(logits, -1);
  return -(logp.gather(1, tl.unsqueeze(1)).squeeze(1) * wl +
           logp.gather(1, tr.unsqueeze(1)).squeeze(1) * wr);
}

torch::Tensor crop_mask(const torch::Tensor& masks, const torch::Tensor& boxes) {
  const auto h = masks.size(1), w = masks.size(2);
  auto b = boxes.unsqueeze(-1).unsqueeze(-1);  // [N,4,1,1]
  auto x1 = b.select(1, 0), y1 = b.select(1, 1), x2 = b.select(1, 2), y2 = b.select(1, 3);
  auto opts = torch::TensorOptions().dtype(boxes.scalar_type()).device(boxes.device());
  auto r = torch::arange(w, opts).view({1, 1, w});
  auto c = torch::arange(h, opts).view({1, h, 1});
  auto inside = (r >= x1).logical_and(r < x2).logical_and(c >= y1).logical_and(c < y2);
  return masks * inside;
}

AssignResult TaskAlignedAssigner::operator()(const torch::Tensor& pd_scores,
                                             const torch::Tensor& pd_bboxes,
                                             const torch::Tensor& anc_points,
                                             const torch::Tensor& gt_labels,
                                             const torch::Tensor& gt_bboxes,
                                             const torch::Tensor& mask_gt) const {
  torch::NoGradGuard no_grad;
  const auto bs = pd_scores.size(0), na = pd_scores.size(1), m = gt_bboxes.size(1);
  const auto fopts = pd_scores.options();
  const auto lopts = fopts.dtype(torch::kLong);
  if (m == 0) {
    return {torch::full({bs, na}, int64_t(num_classes), lopts), torch::zeros({bs, na, 4}, fopts),
            torch::zeros_like(pd_scores), torch::zeros({bs, na}, fopts.dtype(torch::kBool)),
            torch::zeros({bs, na}, lopts)};
  }
  // Anchor centres strictly inside each ground truth: [B,M,A].
  auto lt = gt_bboxes.slice(-1, 0, 2).unsqueeze(2), rb = gt_bboxes.slice(-1, 2, 4).unsqueeze(2);
  auto pts = anc_points.view({1, 1, na, 2});
  auto deltas = torch::cat({pts - lt, rb - pts}, -1);
  auto in_gts = std::get<0>(deltas.min(-1)).gt(eps);
  auto valid = in_gts.logical_and(mask_gt.to(torch::kBool));  // [B,M,A]

  // Alignment metric s^alpha * u^beta, with s the predicted score of the gt's class and u the
  // CIoU of the predicted box with the gt.
  auto labels = gt_labels.to(torch::kLong).clamp(0, num_classes - 1);  // [B,M,1]
  auto scores = pd_scores.permute({0, 2, 1}).gather(1, labels.expand({bs, m, na}));  // [B,M,A]
  auto overlaps = torch::zeros({bs, m, na}, fopts);
  {
    auto gt = gt_bboxes.unsqueeze(2).expand({bs, m, na, 4}).index({valid});
    auto pd = pd_bboxes.unsqueeze(1).expand({bs, m, na, 4}).index({valid});
    overlaps.index_put_({valid}, bbox_iou(gt, pd, true).clamp_min(0));
  }
  auto align = scores.pow(alpha) * overlaps.pow(beta) * valid;

  // Top-k anchors per ground truth by alignment, kept only inside the box.
  const auto k = std::min<int64_t>(topk, na);
  auto topk_idx = std::get<1>(align.topk(k, -1, true));
  auto in_topk = torch::zeros({bs, m, na}, fopts).scatter_(-1, topk_idx, 1.0);
  auto mask_pos = in_topk * valid;  // [B,M,A] float 0/1

  // An anchor claimed by several ground truths goes to the one it overlaps most.
  auto fg = mask_pos.sum(-2);  // [B,A]
  if (fg.max().item<float>() > 1) {
    auto multi = (fg.unsqueeze(1) > 1).expand({bs, m, na});
    auto max_idx = overlaps.argmax(1);  // [B,A]
    auto is_max = torch::zeros_like(mask_pos).scatter_(1, max_idx.unsqueeze(1), 1.0);
    mask_pos = torch::where(multi, is_max, mask_pos);
    fg = mask_pos.sum(-2);
  }
  auto target_gt_idx = mask_pos.argmax(-2);  // [B,A]
  auto fg_mask = fg.gt(0);

  // Targets of each anchor from its ground truth.
  auto flat_idx = target_gt_idx + torch::arange(bs, lopts).unsqueeze(1) * m;
  auto target_labels = labels.flatten().index({flat_idx});  // [B,A]
  auto target_bboxes = gt_bboxes.reshape({-1, 4}).index({flat_idx});  // [B,A,4]
  auto target_scores = torch::one_hot(target_labels, num_classes).to(fopts.dtype());
  target_scores = target_scores * fg_mask.unsqueeze(-1);

  // Soft targets: alignment normalised per ground truth so its best anchor gets its best IoU.
  align = align * mask_pos;
  auto pos_align = std::get<0>(align.max(-1, true));                  // [B,M,1]
  auto pos_overlaps = std::get<0>((overlaps * mask_pos).max(-1, true));  // [B,M,1]
  auto norm = std::get<0>((align * pos_overlaps / (pos_align + eps)).max(-2)).unsqueeze(-1);
  target_scores = target_scores * norm;
  return {target_labels, target_bboxes, target_scores, fg_mask, target_gt_idx};
}

namespace {

// Ground truths of the batch padded per image: labels [B,M,1], boxes [B,M,4] xyxy pixels,
// mask [B,M,1]; plus each image's first instance index.
struct PaddedTargets {
  torch::Tensor labels, bboxes, mask, starts;
};

PaddedTargets pad_targets(const Batch& batch, int64_t bs, double w, double h) {
  const auto fopts = torch::TensorOptions().dtype(torch::kFloat);
  const int64_t n = batch.cls.defined() ? batch.cls.numel() : 0;
  if (n == 0)
    return {torch::zeros({bs, 0, 1}, fopts), torch::zeros({bs, 0, 4}, fopts),
            torch::zeros({bs, 0, 1}, fopts), torch::zeros({bs}, torch::kLong)};
  auto bi = batch.batch_idx.to(torch::kLong).view({-1});
  auto counts = torch::bincount(bi, {}, bs);
  const auto m = counts.max().item<int64_t>();
  auto starts = counts.cumsum(0) - counts;
  auto pos = torch::arange(n, torch::kLong) - starts.index({bi});
  auto labels = torch::zeros({bs, m, 1}, fopts);
  labels.index_put_({bi, pos, 0}, batch.cls.view({-1}).to(torch::kFloat));
  auto xywh = batch.bboxes.to(torch::kFloat) * torch::tensor({w, h, w, h}, fopts);
  auto xy = xywh.slice(1, 0, 2), wh = xywh.slice(1, 2, 4) / 2;
  auto boxes = torch::zeros({bs, m, 4}, fopts);
  boxes.index_put_({bi, pos}, torch::cat({xy - wh, xy + wh}, 1));
  auto mask = (torch::arange(m, torch::kLong).unsqueeze(0) < counts.unsqueeze(1))
                  .unsqueeze(-1)
                  .to(torch::kFloat);
  return {labels, boxes, mask, starts};
}

}  // namespace

LossResult compute_loss(YoloModel& model, const ModelOutput& out, const Batch& batch,
                        const LossGains& gains) {
  // Target padding, box decoding and summing the terms; the named parts time themselves.
  StageTimer loss_timer("loss_other");
  const auto& feats = out.feats;
  const auto bs = feats[0].size(0);
  const int64_t nc = model->nc();
  const int64_t no = 4 * kRegMax + nc;
  const bool segment = model->is_segment();
  std::vector<torch::Tensor> flat;
  for (const auto& f : feats) flat.push_back(f.view({bs, no, -1}));
  auto x = torch::cat(flat, 2).permute({0, 2, 1});  // [B,A,no]
  auto pred_distri = x.slice(2, 0, 4 * kRegMax);     // [B,A,64]
  auto pred_scores = x.slice(2, 4 * kRegMax);        // [B,A,nc]
  const auto na = x.size(1);
  const double img_h = double(feats[0].size(2) * kStrides[0]);
  const double img_w = double(feats[0].size(3) * kStrides[0]);
  auto [anchors, stride_t] = YoloModelImpl::make_anchors(feats);

  auto targets = pad_targets(batch, bs, img_w, img_h);

  // Predicted boxes (grid units, xyxy) from the DFL expectation.
  auto proj = torch::arange(kRegMax, x.options());
  auto dist = pred_distri.reshape({bs, na, 4, kRegMax}).softmax(3).matmul(proj);
  auto pred_bboxes = dist_to_bbox(dist, anchors, false);

  StageTimer assigner_timer("assigner");
  TaskAlignedAssigner assigner;
  assigner.num_classes = int(nc);
  auto assigned = assigner(pred_scores.detach().sigmoid(), pred_bboxes.detach() * stride_t,
                           anchors * stride_t, targets.labels, targets.bboxes, targets.mask);
  assigner_timer.stop();
  auto tss = assigned.target_scores.sum().clamp_min(1.0);

  auto zero = torch::zeros({}, x.options());
  StageTimer cls_timer("loss_cls");
  auto loss_cls =
      torch::binary_cross_entropy_with_logits(pred_scores, assigned.target_scores, {}, {},
                                              at::Reduction::None)
          .sum() /
      tss;
  cls_timer.stop();
  auto loss_box = zero, loss_dfl = zero, loss_seg = zero;
  const auto& fg = assigned.fg_mask;
  const auto n_fg = fg.sum().item<int64_t>();
  if (n_fg > 0) {
    StageTimer box_timer("loss_box");
    auto weight = assigned.target_scores.sum(-1).index({fg}).unsqueeze(-1);  // [n,1]
    auto target_grid = assigned.target_bboxes / stride_t;
    auto iou = bbox_iou(pred_bboxes.index({fg}), target_grid.index({fg}), true).unsqueeze(-1);
    loss_box = ((1.0 - iou) * weight).sum() / tss;
    box_timer.stop();
    StageTimer dfl_timer("loss_dfl");
    auto target_ltrb = bbox_to_dist(anchors, target_grid, kRegMax);
    auto dfl = distribution_focal_loss(pred_distri.index({fg}).reshape({-1, kRegMax}),
                                       target_ltrb.index({fg}).reshape({-1}))
                   .view({-1, 4})
                   .mean(-1, true);
    loss_dfl = (dfl * weight).sum() / tss;
  }
  if (segment) {
    StageTimer mask_timer("loss_mask");
    TORCH_CHECK(batch.masks.defined(), "a segmentation model needs masks in the batch");
    const auto& proto = out.proto;  // [B,32,mh,mw]
    const auto mh = proto.size(2), mw = proto.size(3);
    auto masks = batch.masks.to(torch::kFloat);
    if (masks.numel() > 0 && (masks.size(1) != mh || masks.size(2) != mw))
      masks = torch::upsample_nearest2d(masks.unsqueeze(0), {mh, mw}).squeeze(0);
    auto coef = out.mask_coef.permute({0, 2, 1});  // [B,A,32]
    loss_seg = (proto * 0).sum() + (coef * 0).sum();  // keeps the graph when nothing is assigned
    if (n_fg > 0) {
      auto norm_boxes =
          assigned.target_bboxes / torch::tensor({img_w, img_h, img_w, img_h}, x.options());
      auto area = (norm_boxes.select(-1, 2) - norm_boxes.select(-1, 0)) *
                  (norm_boxes.select(-1, 3) - norm_boxes.select(-1, 1));  // [B,A]
      auto mxyxy = norm_boxes * torch::tensor({double(mw), double(mh), double(mw), double(mh)},
                                              x.options());
      auto starts = targets.starts;
      for (int64_t i = 0; i < bs; ++i) {
        auto fg_i = fg[i];
        if (!fg_i.any().item<bool>()) continue;
        auto gt_idx = assigned.target_gt_idx[i].index({fg_i}) + starts[i];
        auto gt_mask = masks.index({gt_idx});  // [n,mh,mw]
        auto pred = coef[i].index({fg_i});     // [n,32]
        auto pred_mask = mask_logits(pred, proto[i]);  // [n,mh,mw]
        auto l = torch::binary_cross_entropy_with_logits(pred_mask, gt_mask, {}, {},
                                                         at::Reduction::None);
        loss_seg = loss_seg +
                   (crop_mask(l, mxyxy[i].index({fg_i})).mean({1, 2}) / area[i].index({fg_i}))
                       .sum();
      }
      loss_seg = loss_seg / double(n_fg);
    }
  }
  std::vector<torch::Tensor> terms;
  if (segment)
    terms = {loss_box * gains.box, loss_seg * gains.box, loss_cls * gains.cls,
             loss_dfl * gains.dfl};
  else
    terms = {loss_box * gains.box, loss_cls * gains.cls, loss_dfl * gains.dfl};
  auto items = torch::stack(terms);
  return {items.sum() * double(bs), items.detach()};
}

}  // namespace orvane::engine
