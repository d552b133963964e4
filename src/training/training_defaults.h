#pragma once
// The one table of training defaults and of the values each setting may take. The configuration
// form starts from it and takes its spin boxes' limits from it, `orvane train help` prints it and
// `orvane train` refuses what lies outside it, and the inference tab's image size follows it.
// Plain values with no library behind them, so the window, the command line and the engine's
// callers can all include it (the window without linking LibTorch).

#include <string_view>

namespace orvane::training {

struct TrainingDefaults {
  const char* model = "yolov8s.pt";
  const char* data = "data.yaml";
  const char* project = "runs/detect";
  const char* name = "tavrix_yolo_run";
  int epochs = 100;
  int imgsz = 640;
  int batch = 16;
  int workers = 4;
  const char* optimizer = "auto";
  double lr0 = 0.01;
  double lrf = 0.01;
  int close_mosaic = 10;
  const char* device = "cpu";
};

inline constexpr TrainingDefaults kTrainingDefaults{};

// The values a training setting may take: min..max, either end left open where the value itself
// means nothing (a learning rate of 0 trains nothing; Adam refuses a momentum of 1). `whole`:
// integers only. `special`: one more value outside the range that means something of its own
// (batch -1: the engine chooses).
struct ValueRange {
  std::string_view key;
  double min;
  double max;
  bool whole = false;
  bool min_open = false;
  bool max_open = false;
  bool has_special = false;
  double special = 0;
  std::string_view meaning = {};  // what the key is, for the refusal ("the initial learning rate")
  std::string_view special_meaning = {};

  constexpr bool contains(double v) const {
    if (has_special && v == special) return true;
    const bool above = min_open ? v > min : v >= min;
    const bool below = max_open ? v < max : v <= max;
    return above && below;
  }
};

inline constexpr double kUnbounded = 1e300;

// Every bounded training setting. The form's controls use the rows of their keys; the command
// line checks every row whose key a verb takes. Image sizes are rounded up to a multiple of 32
// (the largest stride), as the YOLO ecosystem does, and must also fit in memory for the batch
// (the command line estimates that before anything is read).
inline constexpr ValueRange kTrainingRanges[] = {
    {.key = "epochs", .min = 1, .max = 2000, .whole = true},
    {.key = "imgsz", .min = 32, .max = 4096, .whole = true, .meaning = "the image size"},
    {.key = "batch", .min = 1, .max = 256, .whole = true, .has_special = true, .special = -1,
     .meaning = "images per batch", .special_meaning = "to choose it (16 on the CPU)"},
    {.key = "workers", .min = 0, .max = 32, .whole = true, .meaning = "data loading threads"},
    {.key = "lr0", .min = 0, .max = 1, .min_open = true, .meaning = "the initial learning rate"},
    {.key = "lrf", .min = 0, .max = 1, .meaning = "the final learning rate as a fraction of lr0"},
    {.key = "close_mosaic", .min = 0, .max = 100, .whole = true},
    {.key = "momentum", .min = 0, .max = 1, .max_open = true,
     .meaning = "the momentum (SGD) or beta1 (Adam)"},
    {.key = "weight_decay", .min = 0, .max = 1},
    {.key = "warmup_epochs", .min = 0, .max = kUnbounded},
    {.key = "warmup_momentum", .min = 0, .max = 1, .max_open = true},
    {.key = "warmup_bias_lr", .min = 0, .max = 1},
    {.key = "nbs", .min = 1, .max = kUnbounded, .whole = true},
    {.key = "box", .min = 0, .max = kUnbounded},
    {.key = "cls", .min = 0, .max = kUnbounded},
    {.key = "dfl", .min = 0, .max = kUnbounded},
    {.key = "hsv_h", .min = 0, .max = 1},
    {.key = "hsv_s", .min = 0, .max = 1},
    {.key = "hsv_v", .min = 0, .max = 1},
    {.key = "degrees", .min = -180, .max = 180},
    {.key = "translate", .min = 0, .max = 1},
    {.key = "scale", .min = 0, .max = 1},
    {.key = "shear", .min = -180, .max = 180},
    {.key = "perspective", .min = 0, .max = 0.001},
    {.key = "flipud", .min = 0, .max = 1},
    {.key = "fliplr", .min = 0, .max = 1},
    {.key = "mosaic", .min = 0, .max = 1},
    {.key = "patience", .min = 0, .max = kUnbounded, .whole = true},
    {.key = "threads", .min = 0, .max = kUnbounded, .whole = true},
    {.key = "nproc", .min = 0, .max = kUnbounded, .whole = true},
    {.key = "dist_timeout", .min = 0, .max = kUnbounded, .min_open = true},
    {.key = "iterations", .min = 1, .max = kUnbounded, .whole = true},
    {.key = "conf", .min = 0, .max = 1, .meaning = "the confidence threshold"},
    {.key = "iou", .min = 0, .max = 1, .meaning = "the IoU threshold"},
};

// The optimizers training takes, in the order the form lists them.
inline constexpr const char* kOptimizers[] = {"auto", "AdamW", "SGD", "Adam"};

// The row of `key`; nullptr when the key has no bounds.
constexpr const ValueRange* training_range(std::string_view key) {
  for (const ValueRange& r : kTrainingRanges)
    if (r.key == key) return &r;
  return nullptr;
}

// The image size the engine trains with: rounded up to a multiple of the largest stride.
inline constexpr int kMaxStride = 32;
constexpr int stride_multiple(int imgsz) {
  return imgsz <= kMaxStride ? kMaxStride : (imgsz + kMaxStride - 1) / kMaxStride * kMaxStride;
}

}  // namespace orvane::training
