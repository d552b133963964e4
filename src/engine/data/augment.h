#pragma once
// Geometry and photometric augmentation of one training sample, plus the letterbox shared with
// validation and prediction. Everything random draws from the std::mt19937 passed in.

#include <opencv2/core.hpp>
#include <random>
#include <string>
#include <vector>

#include "engine/data/batch.h"

namespace orvane::engine {

// Training-time augmentation strengths (the YOLOv8 defaults).
struct AugmentHyp {
  float hsv_h = 0.015f;      // hue jitter, fraction of the hue circle
  float hsv_s = 0.7f;        // saturation gain range 1 +- s
  float hsv_v = 0.4f;        // value gain range 1 +- v
  float degrees = 0.0f;      // rotation +- degrees
  float translate = 0.1f;    // translation +- fraction of the output size
  float scale = 0.5f;        // scale gain range 1 +- scale
  float shear = 0.0f;        // shear +- degrees
  float perspective = 0.0f;  // perspective coefficient +- value
  float flipud = 0.0f;       // probability of a vertical flip
  float fliplr = 0.5f;       // probability of a horizontal flip
  float mosaic = 1.0f;       // probability of a 4-image mosaic while mosaic is on
};

// One image with its objects in pixel coordinates of `image`.
struct Sample {
  cv::Mat image;                                   // BGR uint8
  std::vector<int> cls;                            // per object
  std::vector<cv::Rect2f> boxes;                   // per object, pixels (x, y, w, h)
  std::vector<std::vector<cv::Point2f>> polygons;  // per object, pixels; empty when none
  LetterboxInfo letterbox;                         // source -> image mapping (non-augmented)
};

// Resizes (keeping the aspect ratio) and pads `image` into `shape` (h, w) with grey 114.
//   auto_pad: pad only up to the next multiple of `stride` instead of the full shape
//             (minimal padding, used for prediction);
//   scaleup:  allow enlarging (false keeps small images at their size);
// The image is centred. Returns the placement: out = in * gain + pad.
LetterboxInfo letterbox(const cv::Mat& image, cv::Mat& out, cv::Size2i shape, bool auto_pad,
                        bool scaleup, int stride = 32);

// Applies letterbox() to a sample and moves its objects with the image (composing placements).
void letterbox_sample(Sample& sample, cv::Size2i shape, bool auto_pad, bool scaleup,
                      int stride = 32);

// Inverse of a placement: input-pixel coordinates back to source pixels, clipped to the source
// image of size (w, h).
cv::Rect2f unletterbox_box(const cv::Rect2f& box, const LetterboxInfo& lb, cv::Size2i source);
// The same for boxes as a tensor: [K,4+] with xyxy in columns 0..3 (other columns untouched);
// returns a copy.
torch::Tensor unletterbox_boxes(const torch::Tensor& boxes, const LetterboxInfo& lb,
                                cv::Size2i source);
std::vector<cv::Point2f> unletterbox_points(const std::vector<cv::Point2f>& points,
                                            const LetterboxInfo& lb, cv::Size2i source);

// Four samples (the first is the anchor) on a 2s x 2s grey canvas around a random centre.
// Objects keep their pixel coordinates on the canvas; random_perspective with border -s/2
// then cuts the s x s training image out of it.
Sample mosaic4(const std::vector<Sample>& four, int s, std::mt19937& rng);

// Random rotation/scale/shear/translation/perspective into an output of `out_size` (the input
// size minus 2*border each way; border = -s/2 after a mosaic, 0 otherwise). Objects are moved
// with the image: polygons point by point (their box is recomputed from the polygon clipped to
// the image), plain boxes by their four corners. Objects that end up smaller than 2 px, with an
// aspect ratio beyond 100, or keeping less than 10 % of their scaled area are dropped.
void random_perspective(Sample& sample, const AugmentHyp& hyp, cv::Size2i out_size, int border,
                        std::mt19937& rng);

// HSV gains in place (lookup tables, so it is cheap).
void augment_hsv(cv::Mat& image, const AugmentHyp& hyp, std::mt19937& rng);

// Flips with probabilities hyp.fliplr / hyp.flipud, objects included.
void random_flip(Sample& sample, const AugmentHyp& hyp, std::mt19937& rng);

// The part of a polygon inside [0,w]x[0,h] (Sutherland-Hodgman; concave and joined outlines
// keep their area, possibly with zero-width edges along the border).
std::vector<cv::Point2f> clip_polygon(const std::vector<cv::Point2f>& polygon, cv::Size2f size);

// Bounding box of a polygon clipped to [0,w]x[0,h]; empty rect when nothing is inside.
cv::Rect2f clipped_polygon_box(const std::vector<cv::Point2f>& polygon, cv::Size2f size);

}  // namespace orvane::engine
