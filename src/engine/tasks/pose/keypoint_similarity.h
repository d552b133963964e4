#pragma once
// Object keypoint similarity (OKS), the overlap measure of keypoints as COCO defines it: for each
// labelled keypoint i (visibility > 0) at distance d_i from its prediction,
//   exp(-d_i^2 / (2 * area * (2 sigma_i)^2)),
// averaged over the labelled keypoints. `area` is the object's area in the same units squared
// (COCO takes the segment's; with boxes only, 0.53 of the box area is the usual stand-in); sigma_i
// is how precisely people place keypoint i, as a fraction of the object's size.

#include <vector>

#include "files/label_format.h"

namespace orvane::engine::pose {

// COCO's 17 person keypoints (nose, eyes, ears, shoulders, elbows, wrists, hips, knees, ankles).
const std::vector<double>& coco_person_sigmas();

// The sigmas a data set of `count` keypoints uses: COCO's for 17, else 1/count each.
std::vector<double> default_sigmas(int count);

// OKS of `predicted` against `truth` (same count; the prediction's visibility is ignored). 0 when
// the truth has no labelled keypoint.
double oks(const std::vector<files::Keypoint>& truth, const std::vector<files::Keypoint>& predicted,
           double area, const std::vector<double>& sigmas);

}  // namespace orvane::engine::pose
