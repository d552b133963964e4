#pragma once
// Training, validation, prediction and checkpoints of the image classifiers (classify_model.h)
// on a folder-layout data set (classify_data.h).
//
// Training: cross-entropy on the logits (the forward pass under `amp` as detection's); optimizer as
// detection's (`optimizer=auto` is AdamW at lr 0.002 * 5 / (4 + nc) for short runs, SGD at 0.01
// beyond kAutoOptimizerSgdIterations), the learning rate linear from lr0 to lr0 * lrf after a
// linear warm-up of warmup_epochs; decay on weights only. Every epoch validates: top-1 and top-5
// accuracy and the validation loss; fitness is their mean (top-1 + top-5) / 2. The run folder
// (project, default runs/classify, and name) holds args.yaml, results.csv and weights/last.pt and
// best.pt.
//
// Checkpoints are our archive format (src/engine/README.md) with `task: classify` and an
// architecture such as `yolov8n-cls`.

#include <filesystem>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "engine/checkpoint.h"
#include "engine/tasks/classify/classify_data.h"
#include "engine/tasks/classify/classify_model.h"
#include "engine/train_options.h"

namespace orvane::engine {
class ExportedModel;
}  // namespace orvane::engine

namespace orvane::engine::classify {

struct ClassifyMetrics {
  double top1 = 0.0;  // share of images whose most likely class is right
  double top5 = 0.0;  // share whose right class is among the five most likely
  double loss = 0.0;  // mean cross-entropy
  int images = 0;
  double fitness() const { return (top1 + top5) / 2; }
};

// What each epoch reports (callbacks) and results.csv holds.
struct ClassifyEpoch {
  int epoch = 0;  // 0-based
  int epochs = 0;
  double train_loss = 0.0;
  ClassifyMetrics val;
  double lr = 0.0;
  double seconds = 0.0;
};

struct ClassifyCallbacks {
  std::function<void(const ClassifyEpoch&)> on_epoch_end;
  // Called after every batch with (epoch, batch, batches, mean loss so far this epoch).
  std::function<void(int, int, int, double)> on_batch_end;
  // Checked after every batch: true ends the run (last.pt stays that of the last whole epoch).
  std::function<bool()> stop_requested;
  // Told the run folder once it exists.
  std::function<void(const std::filesystem::path&, int epochs, int batches)> on_start;
};

struct ClassifyTrainResult {
  std::filesystem::path save_dir;
  ClassifyMetrics metrics;  // best.pt's on the validation split
  int epochs_completed = 0;
  bool stopped = false;
};

// Trains `model` in place; afterwards it holds best.pt's weights. Throws EngineError for bad
// data or an unwritable run folder.
ClassifyTrainResult train_classifier(ClassifyModel& model, TrainOptions options,
                                     const ClassifyCallbacks& callbacks = {});

// Top-1/top-5 accuracy and loss over `samples` (evaluation view at `imgsz`), in eval mode.
// `amp`: the forward pass under bfloat16 autocast (engine/precision.h), the loss in float32.
ClassifyMetrics validate_classifier(ClassifyModel& model, const std::vector<Sample>& samples,
                                    int imgsz, int batch = 16, bool amp = false);

// The `k` most likely classes of one BGR image, most likely first, with their probabilities.
std::vector<std::pair<int, float>> predict_classifier(ClassifyModel& model, const cv::Mat& bgr,
                                                      int imgsz, int k = 5, bool amp = false);

// The same through an exported classifier (best.onnx or best.torchscript of task classify), at
// the fixed size it was exported at. Throws EngineError for an export of another task.
std::vector<std::pair<int, float>> predict_classifier(ExportedModel& model, const cv::Mat& bgr,
                                                      int k = 5);

// Writes through a temporary and a rename. Throws EngineError when it cannot.
void save_classifier(const std::filesystem::path& path, ClassifyModel& model,
                     const CheckpointMeta& meta);

struct LoadedClassifier {
  ClassifyModel model{nullptr};  // in eval mode
  CheckpointMeta meta;           // arch.task is classify
};
// Throws EngineError with one line for a missing, foreign, newer or damaged file.
LoadedClassifier load_classifier(const std::filesystem::path& path);

// True when `model` names a classifier: a `-cls` model name, a checkpoint of ours whose task
// is classify, or an export of one (.onnx, .torchscript). Never throws.
bool is_classifier(const std::string& model);

// The classifier `model` names: a checkpoint, or "yolov8n-cls.yaml" (fresh weights for
// `names`). Throws EngineError for anything else, a pretrained name without its file included.
LoadedClassifier open_classifier(const std::string& model, const std::vector<std::string>& names);

}  // namespace orvane::engine::classify
