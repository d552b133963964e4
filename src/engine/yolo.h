#pragma once
// The engine's public face, shaped like the YOLO ecosystem's model class:
//
//   YOLO model("runs/detect/train/weights/best.pt");   // or "yolov8n.pt" (pretrained),
//                                                       // "yolov8n.yaml" (fresh weights)
//   model.add_callback("on_train_batch_end", [&](Trainer& t) { if (cancel) t.stop = true; });
//   auto run = model.train({.data = "data.yaml", .epochs = 50, .imgsz = 640});
//   auto metrics = model.val({.data = "data.yaml"});
//   auto results = model.predict("image.jpg", {.conf = 0.25f});
//   cv::Mat annotated = results[0].plot();
//
// Every failure a user can cause (missing file, foreign weights, bad data.yaml ...) is an
// EngineError with a one-line message.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/checkpoint.h"
#include "engine/model.h"
#include "engine/predictor.h"
#include "engine/trainer.h"
#include "engine/tuner.h"
#include "engine/validator.h"
#include "engine/weights_zoo.h"
#include "training/training_defaults.h"

namespace orvane::engine {

class ExportedModel;

struct ValArgs {
  std::string data;        // data.yaml (required)
  int imgsz = training::kTrainingDefaults.imgsz;  // rounded up to a multiple of 32 with a warning
  int batch = training::kTrainingDefaults.batch;
  int workers = training::kTrainingDefaults.workers;
  std::string device = training::kTrainingDefaults.device;
  std::string split = "val";  // val or test
  float conf = 0.001f;
  float iou = 0.7f;
  std::filesystem::path save_dir;  // empty: write nothing
  bool plots = true;               // with save_dir
  int threads = 0;                 // 0 = every core
  std::string amp = "auto";        // true | false | auto (engine/precision.h)
  std::function<void(const std::filesystem::path&)> render_plots;
  // slice.enabled(): predict each full image on tiles (sliced_validator.h); imgsz then sizes
  // only the whole-image pass of slice.full.
  SliceOptions slice;
};

// The options a resume of the run saved in `meta` (its last.pt at `path`) trains with: the saved
// ones, the caller's only for the keys in kResumeMayChange. Throws EngineError naming the key when
// one of `given.given_keys` would change the run, or a saved value no longer parses.
TrainOptions resumed_options(const CheckpointMeta& meta, const TrainOptions& given,
                             const std::filesystem::path& path);

class YOLO {
 public:
  // `model`: a checkpoint file (ours or the YOLO ecosystem's .pt); a zoo name ("yolov8n.pt",
  // "yolov8s-seg.pt"): the ecosystem's pretrained weights, found or downloaded as weights_zoo.h
  // says (`zoo` sets the folder, the address and the progress callback); or a model yaml name
  // ("yolov8n.yaml"): that architecture with fresh weights. Training
  // logs the summary of the model it trains, val and predict that of the fused model. An
  // exported file (best.onnx, best.torchscript) predicts only: train, val, tune and export
  // then throw. Throws EngineError for anything else.
  explicit YOLO(const std::string& model, const ZooOptions& zoo = {});

  // Class id -> class name.
  const std::vector<std::string>& names() const;
  std::string task() const;
  // Loaded from an exported file (no trainable model behind it: model() is null).
  bool is_exported() const { return exported_ != nullptr; }
  YoloModel& model() { return model_; }
  // The checkpoint the model came from; empty for a fresh model.
  const std::optional<CheckpointMeta>& checkpoint() const { return meta_; }

  // Events as Trainer::add_callback lists them; applied to every later train().
  void add_callback(const std::string& event, Trainer::Callback callback);

  // Trains (see TrainOptions). Afterwards this object holds the trained weights (best.pt, or
  // last.pt when stopped). resume=true continues the run of the last.pt this object was loaded
  // from, with that run's options.
  TrainResult train(TrainOptions options);

  ValResult val(const ValArgs& args);

  // Genetic hyperparameter search (see tuner.h): every iteration trains a copy of this model's
  // weights with mutated hyperparameters; the callbacks apply to each iteration's training.
  // This object's weights are left as they were.
  TuneResult tune(TuneOptions options);

  // Writes best.onnx / best.torchscript beside the checkpoint this object was loaded from
  // (see exporter.h) and returns its path.
  std::filesystem::path export_to(const std::string& format, int imgsz = 0);

  // Element 0 is the image's result. Throws EngineError when the image does not decode.
  std::vector<Results> predict(const std::string& image_path, const PredictOptions& options = {});
  // The same on an image already decoded (BGR uint8); `path` only names it in the result. Lets a
  // caller decode the next image while this one predicts.
  Results predict_image(const cv::Mat& bgr, const std::string& path,
                        const PredictOptions& options = {});

 private:
  YoloModel model_{nullptr};
  YoloModel fused_{nullptr};  // inference copy with BatchNorm folded in, made on first predict
  std::shared_ptr<ExportedModel> exported_;  // set for best.onnx / best.torchscript
  std::optional<CheckpointMeta> meta_;       // set when the weights came from a checkpoint
  std::filesystem::path path_;
  bool foreign_ = false;  // the weights came from the YOLO ecosystem's checkpoint
  bool has_optimizer_ = false;  // the checkpoint holds optimizer state (a last.pt)
  std::vector<std::pair<std::string, Trainer::Callback>> callbacks_;
  void ensure_fused();
};

}  // namespace orvane::engine
