#pragma once
// Prediction on single images: letterbox with minimal padding, NMS, boxes (and mask outlines)
// mapped back to the source image, and the annotated picture.

#include <torch/torch.h>

#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/model.h"
#include "engine/slice_options.h"
#include "training/training_defaults.h"

namespace orvane::engine {

struct PredictOptions {
  float conf = 0.25f;
  float iou = 0.7f;
  int imgsz = training::kTrainingDefaults.imgsz;  // rounded up to a multiple of 32
  int max_det = 300;
  bool verbose = true;  // print "image 1/1 path: 640x480 2 persons, 1 dog, 12.3ms"
  std::string amp = "auto";  // true | false | auto: bfloat16 convolutions (engine/precision.h)
  // slice.enabled(): predict on overlapping tiles and merge (sliced_predictor.h); imgsz then
  // only sizes the optional whole-image pass.
  SliceOptions slice;
};

struct Boxes {
  torch::Tensor xyxy;  // [K,4] float32 source-image pixels, clipped to the image
  torch::Tensor conf;  // [K] float32
  torch::Tensor cls;   // [K] float32 class ids
  std::size_t size() const { return xyxy.defined() ? static_cast<std::size_t>(xyxy.size(0)) : 0; }
};

struct Masks {
  std::vector<std::vector<cv::Point2f>> xy;  // one outline per box, source-image pixels
  // Per box: CV_8U 0/1 mask at network-input resolution covering exactly the source image (the
  // letterbox padding removed); resize to orig_img's size to overlay. Kept small on purpose:
  // 300 masks of a 12-megapixel photo would not fit in memory.
  std::vector<cv::Mat> data;
  // Per box: the part of data[i] outside which it is zero (it may be zero inside too).
  std::vector<cv::Rect> roi;
  // Sliced prediction: data[i] covers exactly roi[i] of the source image at source resolution
  // (and nothing else), instead of the whole image at network resolution.
  bool source_pixels = false;
};

struct Results {
  cv::Mat orig_img;  // BGR uint8 as decoded
  std::string path;
  std::vector<std::string> names;
  Boxes boxes;
  std::optional<Masks> masks;  // segmentation models only
  double inference_ms = 0;

  // Boxes, "name 0.87" labels and translucent masks on a copy of orig_img.
  cv::Mat plot(bool show_conf = true) const;
  // YOLO label text: "cls cx cy w h" per box, or "cls x1 y1 ..." polygons for segmentation,
  // normalised to the image size, one line each (LF).
  std::string to_label_text() const;
  // "2 persons, 1 dog" (or "(no detections)").
  std::string summary() const;
};

// A network as the post-processing sees it: a checkpoint's model or an exported file.
struct NetworkOutput {
  torch::Tensor pred;   // [B, 4 + nc (+32), A] as YoloModelImpl::decode returns it
  torch::Tensor proto;  // segmentation: [B, 32, H/4, W/4]
};
struct Network {
  std::function<NetworkOutput(const torch::Tensor& images)> forward;  // [B,3,H,W] 0..1 RGB
  int max_batch = 1;  // images one forward takes (exported networks take one)
  std::vector<std::string> names;
  bool segment = false;
  // Exported networks take one input size: the image is letterboxed to exactly that size (and
  // PredictOptions::imgsz is ignored). 0: any multiple of 32, minimal padding.
  int fixed_height = 0, fixed_width = 0;
};

// The model as a Network (any batch; put in eval mode for each forward and restored after).
// The model must outlive the Network.
Network network_of(YoloModel& model, const std::string& amp = "auto");

// The same post-processing (NMS, masks, outlines) for every kind of network.
Results predict_image(const Network& network, const cv::Mat& bgr, const std::string& path,
                      const PredictOptions& options = {});
std::vector<Results> predict(const Network& network, const std::string& image_path,
                             const PredictOptions& options = {});

// Throws EngineError when the image does not decode. Returns a list of one Results (the
// interface's shape for a batch of sources), so callers take element 0.
std::vector<Results> predict(YoloModel& model, const std::string& image_path,
                             const PredictOptions& options = {});
// The same on an already decoded BGR image.
Results predict_image(YoloModel& model, const cv::Mat& bgr, const std::string& path,
                      const PredictOptions& options = {});

// Instance masks from prototypes: proto [32, mh, mw], coef [K, 32], boxes [K, 4] xyxy in input
// pixels of an input of (height, width). Returns [K, mh, mw] (or [K, height, width] when
// upsample) float 0/1: sigmoid(coef . proto) > 0.5 inside each box.
torch::Tensor process_mask(const torch::Tensor& proto, const torch::Tensor& coef,
                           const torch::Tensor& boxes, int height, int width, bool upsample);

// The same masks as process_mask(..., upsample=true), each computed only in a window of the input
// around its box: mask is CV_8U 0/1 of window's size, the mask is zero outside the window (which
// may reach beyond the box by a few pixels, and lies inside the input).
struct BoxMask {
  cv::Mat mask;
  cv::Rect window;
};
std::vector<BoxMask> box_masks(const torch::Tensor& proto, const torch::Tensor& coef,
                               const torch::Tensor& boxes, int height, int width);

}  // namespace orvane::engine
