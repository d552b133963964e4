#pragma once
// The YOLOv8 training loss: task-aligned assignment, CIoU + distribution focal loss for boxes,
// BCE for classes, and for segmentation a per-instance mask loss on the prototypes.

#include <torch/torch.h>

#include "engine/model.h"

namespace orvane::engine {

struct Batch;

// Gains of the three (four) loss terms, as the YOLOv8 recipe sets them.
struct LossGains {
  double box = 7.5;
  double cls = 0.5;
  double dfl = 1.5;
};

struct LossResult {
  torch::Tensor total;  // scalar: sum of the gained terms times the batch size (backward this)
  torch::Tensor items;  // detached, per image: [3] box, cls, dfl or [4] box, seg, cls, dfl
};

// Requires: `out` = model->forward(batch.images); batch.masks defined for a segmentation model.
LossResult compute_loss(YoloModel& model, const ModelOutput& out, const Batch& batch,
                        const LossGains& gains = {});

// ---- pieces, exposed for tests and for the validator ----

// IoU of boxes a [...,4] and b [...,4] (xyxy), elementwise with broadcasting -> [...].
// ciou adds the centre-distance and aspect-ratio penalties.
torch::Tensor bbox_iou(const torch::Tensor& a, const torch::Tensor& b, bool ciou = false,
                       double eps = 1e-7);

// Distances (left, top, right, bottom) from anchor points [A,2] to boxes [...,A,4] (xyxy, in
// grid units), clamped to [0, reg_max - 1 - 0.01]: the DFL targets.
torch::Tensor bbox_to_dist(const torch::Tensor& anchor_points, const torch::Tensor& bboxes,
                           int reg_max = kRegMax);

// Inverse: distances [...,4] (ltrb) around anchor points -> xyxy (or xywh).
torch::Tensor dist_to_bbox(const torch::Tensor& distance, const torch::Tensor& anchor_points,
                           bool xywh);

// Distribution focal loss of logits [N, reg_max] against continuous targets [N] in
// [0, reg_max - 1): cross entropy with the two neighbouring bins, weighted linearly -> [N].
torch::Tensor distribution_focal_loss(const torch::Tensor& logits, const torch::Tensor& target);

// Task-aligned assigner (top-k 10, alpha 0.5, beta 6).
struct AssignResult {
  torch::Tensor target_labels;  // [B,A] int64
  torch::Tensor target_bboxes;  // [B,A,4] xyxy pixels
  torch::Tensor target_scores;  // [B,A,nc] aligned soft targets
  torch::Tensor fg_mask;        // [B,A] bool
  torch::Tensor target_gt_idx;  // [B,A] int64 index into the image's ground truths
};
struct TaskAlignedAssigner {
  int topk = 10;
  int num_classes = 80;
  double alpha = 0.5;
  double beta = 6.0;
  double eps = 1e-9;

  // pd_scores [B,A,nc] sigmoid scores, pd_bboxes [B,A,4] xyxy pixels, anc_points [A,2] pixels,
  // gt_labels [B,M,1], gt_bboxes [B,M,4] xyxy pixels, mask_gt [B,M,1] (1 for a real box;
  // ground truths are padded to M per image).
  AssignResult operator()(const torch::Tensor& pd_scores, const torch::Tensor& pd_bboxes,
                          const torch::Tensor& anc_points, const torch::Tensor& gt_labels,
                          const torch::Tensor& gt_bboxes, const torch::Tensor& mask_gt) const;
};

// Zeroes everything of masks [N,H,W] outside boxes [N,4] (xyxy in mask pixels).
torch::Tensor crop_mask(const torch::Tensor& masks, const torch::Tensor& boxes);

}  // namespace orvane::engine
