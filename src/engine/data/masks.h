#pragma once
// Ground-truth masks of a training sample: each object's polygon (or box) rasterised on the grid
// of the segmentation head's prototypes, 1/4 of the image in each direction.

#include <opencv2/core.hpp>
#include <vector>

#include "engine/data/augment.h"

namespace orvane::engine {

// One CV_8U mask of (image.rows / 4, image.cols / 4) per object of `sample`, 1 inside, in the
// order of sample.cls: an object with a polygon of 3 or more points is rasterised by the YOLO
// ecosystem's convention (masks.cpp), one without is its box. Where objects overlap, the smaller
// keeps the shared cells. A mask may be empty (an object that covers no cell at this scale).
// Never throws on degenerate geometry: collinear or repeated points, zero area, points outside
// the image.
std::vector<cv::Mat> sample_masks(const Sample& sample);

}  // namespace orvane::engine
