#pragma once
// Sliced prediction for small objects in large images: the image is cut into overlapping tiles
// of the model's own size, the tiles go through the network in batches, their boxes and masks
// are mapped back to the image and the pieces of objects cut by tile borders are merged
// (SliceMerge). An optional whole-image pass adds large objects.
//
//   image 250 x 180, tile 96, overlap 0.2 (step 77):
//     x: 0, 77, 154 (= 250 - 96: the last column ends at the edge)
//     y: 0, 77, 84  (= 180 - 96)
//
// PredictOptions::slice switches predict_image() here, so every caller of the predictor
// (predict, val, autolabel, review, the studio) slices the same way.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "engine/predictor.h"

namespace orvane::engine {

// The tiles covering an image: tile-sized rectangles (a dimension larger than the image is
// clipped to it), stepping by tile * (1 - overlap) rounded, the last row and column placed
// against the image's far edge (never past it). Row-major. Throws EngineError for a tile size
// below 1 or an overlap outside [0, 1).
std::vector<cv::Rect> slice_grid(cv::Size image, cv::Size tile, float overlap);

// "96" (square) or "128x96" (width x height). Throws EngineError naming the text otherwise.
cv::Size parse_slice_size(const std::string& text);

// One object in source-image pixels, as the merge sees it.
struct SlicedObject {
  cv::Rect2f box;  // x, y, width, height
  float conf = 0;
  int cls = 0;
  cv::Mat mask;    // segmentation: CV_8U 0/1 covering mask_rect at source resolution
  cv::Rect mask_rect;
  bool cut = false;  // the box reaches a border between tiles: it may be part of an object
};

// Merges the objects of all tiles (SliceMerge). The result is sorted by confidence. A group
// grows by union only with a box that is at least half as confident as its first and where one
// of the two is cut by a tile border; any other matching box is absorbed without changing the
// group's box: at a validation's confidence of 0.001, a faint box around several objects would
// otherwise swallow them.
std::vector<SlicedObject> merge_sliced_objects(std::vector<SlicedObject> objects,
                                               SliceMerge merge, float threshold);

// Where the time of one sliced image went.
struct SliceTiming {
  int tiles = 0;
  int batches = 0;
  double total_ms = 0;    // the whole call
  double forward_ms = 0;  // inside the network's forward on the tiles
  double full_ms = 0;     // the whole-image pass (slice_full), all of it
};

// Requires options.slice.enabled(). Masks come back with Masks::source_pixels set: each covers
// its roi of the source image at full resolution (a whole-image mask per object would not fit
// for a large picture). `timing`, when given, receives the split of the time.
Results predict_sliced(const Network& network, const cv::Mat& bgr, const std::string& path,
                       const PredictOptions& options, SliceTiming* timing = nullptr);

}  // namespace orvane::engine
