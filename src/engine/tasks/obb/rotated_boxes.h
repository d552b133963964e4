#pragma once
// Oriented boxes: corners, exact overlap, the probabilistic overlap the training loss uses, and
// rotated non-maximum suppression.
//
//   a box is (cx, cy, w, h, r): centre, width along its own x axis, height, and r the angle in
//   radians from the image's x axis to the box's, clockwise on screen (y grows downwards)
//
// Exact IoU intersects the two rectangles as convex polygons (OpenCV's intersectConvexConvex).
// ProbIoU treats each box as a 2-d Gaussian (mean the centre, covariance of a uniform rectangle:
// w^2/12 and h^2/12 along its axes, rotated by r) and is 1 - the Hellinger distance of the two,
// from their Bhattacharyya distance
//   BD = 1/8 d' S^-1 d + 1/2 ln(det S / sqrt(det S1 det S2)),  S = (S1 + S2) / 2, d = c1 - c2.
// It is smooth, has a gradient everywhere (also where the boxes do not touch) and needs no
// polygon clipping, so it serves the loss; the metrics and NMS use the exact overlap.

#include <torch/torch.h>

#include <array>
#include <cstdint>
#include <vector>

namespace orvane::engine::obb {

struct RotatedBox {
  double cx = 0.0, cy = 0.0, w = 0.0, h = 0.0, r = 0.0;
};

// The four corners in order (x, y): (-w/2, -h/2), (w/2, -h/2), (w/2, h/2), (-w/2, h/2) of the
// box's own frame, rotated by r and moved to the centre.
std::array<double, 8> corners(const RotatedBox& box);

// The box four corners describe (a label line's x1 y1 ... x4 y4): the smallest-area rectangle
// around them (OpenCV's minAreaRect), with w along the first edge's direction when the corners
// are a rectangle already; r in [-pi/2, pi/2).
RotatedBox from_corners(const std::array<double, 8>& xy);

// Area of the intersection over the area of the union; 0 when either box is empty.
double rotated_iou(const RotatedBox& a, const RotatedBox& b);

// ProbIoU of boxes [N,5] and [N,5] pairwise by row -> [N] (differentiable). eps guards the
// divisions and logarithm of degenerate boxes.
torch::Tensor probiou(const torch::Tensor& a, const torch::Tensor& b, double eps = 1e-7);

// Indices of the boxes kept, best score first: greedy, a box is dropped when its exact IoU with a
// kept box of the same class exceeds `iou_threshold`. `classes` may be empty (one class).
std::vector<int64_t> rotated_nms(const std::vector<RotatedBox>& boxes,
                                 const std::vector<float>& scores, const std::vector<int>& classes,
                                 double iou_threshold);

}  // namespace orvane::engine::obb
