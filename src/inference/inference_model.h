#pragma once
// A weights file loaded for the inference tab, and its predictions drawn as pictures. The engine
// stays behind this class: the tab holds it without seeing a LibTorch type, and engine failures
// come back as a Result with the engine's own reason.
#include <QString>
#include <memory>
#include <opencv2/core.hpp>

#include "files/result.h"

namespace orvane::inference {

struct PredictSettings {
  float conf = 0.25f;
  int imgsz = 640;
  int slice = 0;         // tile size of sliced prediction; 0: the whole image at imgsz
  float overlap = 0.2f;  // with slice: share of a tile shared with its neighbour
};

class InferenceModel {
 public:
  // The checkpoint, or an exported .onnx/.torchscript model; the reason when it does not load.
  static Result<std::unique_ptr<InferenceModel>> load(const QString& weights);
  ~InferenceModel();
  InferenceModel(const InferenceModel&) = delete;
  InferenceModel& operator=(const InferenceModel&) = delete;

  // The image file with its predictions drawn.
  Result<cv::Mat> annotate(const QString& image_path, const PredictSettings& settings);

 private:
  friend class VideoPlayer;  // predicts on decoded frames and hands the results to the tracker
  struct Engine;
  explicit InferenceModel(std::unique_ptr<Engine> engine);
  std::unique_ptr<Engine> engine_;
};

}  // namespace orvane::inference
