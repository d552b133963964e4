#pragma once
// Validation of a model on a rectangular (non-augmented) loader: NMS, matching at IoU
// 0.50:0.05:0.95, AP per class, P/R/F1, confusion matrix, optional val losses, the printed
// table and the chart data files of the run folder.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/data/loader.h"
#include "engine/metrics/metrics.h"
#include "engine/model.h"

namespace orvane::engine {

// Validation letterboxes each rectangular batch to its shape plus this many strides of margin
// before rounding up (a 128-px square image is validated at 160 px), so figures compare with runs
// validated that way.
inline constexpr float kValidationRectPad = 0.5f;

struct ValSpeed {  // milliseconds per image
  double preprocess = 0, inference = 0, loss = 0, postprocess = 0;
};

struct ValOptions {
  float conf = 0.001f;  // NMS confidence (low, so the PR curves reach high recall)
  float iou = 0.7f;     // NMS IoU
  int max_det = 300;
  std::vector<std::string> names;  // empty = the model's names
  std::filesystem::path save_dir;  // empty = write nothing
  bool plots = true;               // with save_dir: val_batch0_*.jpg, curves.json,
                                   // confusion_matrix.json, then render_plots(save_dir)
  bool compute_loss = false;       // mean val losses through compute_loss (needs targets)
  bool per_class = false;          // print one table row per class after the "all" row
  bool amp = false;                // the forward pass in bfloat16 autocast (engine/precision.h)
  std::string prefix_batch_plots = "val_batch";  // file stem of the plotted batches
  // Draws the charts from the data files (set by tools that link the chart renderer).
  std::function<void(const std::filesystem::path& run_dir)> render_plots;
  ValSpeed speed;  // validate_scored: the caller's summed milliseconds over all images
};


struct ValResult {
  ApResult box;
  std::optional<ApResult> mask;  // segmentation models
  double fitness = 0;            // 0.1 * mAP50 + 0.9 * mAP50-95 (box + mask for segmentation)
  std::vector<float> losses;     // compute_loss items averaged over batches; empty if not asked
  ValSpeed speed;
  int images = 0;
  int instances = 0;
  // ("metrics/precision(B)", p), ("metrics/recall(B)", r), ("metrics/mAP50(B)", ...),
  // ("metrics/mAP50-95(B)", ...) and the (M) four for segmentation, in results.csv order.
  std::vector<std::pair<std::string, double>> metrics() const;
};

// Requires: a loader without augmentation (rect or square); the model in any mode (it is put
// in eval mode and restored afterwards). Prints the table through LOGGER.
ValResult validate(YoloModel& model, DataLoader& loader, const ValOptions& options);

// One image scored outside a loader (sliced validation predicts on the full images itself).
struct ScoredImage {
  torch::Tensor det;       // [K, 6] x1 y1 x2 y2 conf cls in source pixels, most confident first
  torch::Tensor gt_boxes;  // [N, 4] x1 y1 x2 y2 in source pixels
  torch::Tensor gt_cls;    // [N] int64
  torch::Tensor tp_mask;   // segmentation: [K, 10] bool, the masks matched at IoU 0.50:0.05:0.95
};

// The matching, figures, table and chart data of validate() over images `next` hands out one at
// a time until it returns nothing; nothing else of the images is kept.
ValResult validate_scored(const std::function<std::optional<ScoredImage>()>& next, int nc,
                          bool segment, const std::vector<std::string>& names,
                          const ValOptions& options);

}  // namespace orvane::engine
