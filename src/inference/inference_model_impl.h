#pragma once
// The engine side of InferenceModel, for inference_core's own sources only: the tab never
// includes this header.
#include "engine/predictor.h"
#include "engine/yolo.h"
#include "inference/inference_model.h"

namespace orvane::inference {

struct InferenceModel::Engine {
  engine::YOLO model;
  static engine::PredictOptions options(const PredictSettings& settings);
};

}  // namespace orvane::inference
