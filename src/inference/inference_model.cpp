#include "inference/inference_model.h"

#include <exception>

#include "inference/inference_model_impl.h"

namespace orvane::inference {

engine::PredictOptions InferenceModel::Engine::options(const PredictSettings& settings) {
  engine::PredictOptions options;
  options.conf = settings.conf;
  options.imgsz = settings.imgsz;
  options.verbose = false;
  options.slice.width = options.slice.height = settings.slice;
  options.slice.overlap = settings.overlap;
  return options;
}

InferenceModel::InferenceModel(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}
InferenceModel::~InferenceModel() = default;

Result<std::unique_ptr<InferenceModel>> InferenceModel::load(const QString& weights) {
  try {
    std::unique_ptr<Engine> engine(new Engine{engine::YOLO(weights.toStdString())});
    return std::unique_ptr<InferenceModel>(new InferenceModel(std::move(engine)));
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
}

Result<cv::Mat> InferenceModel::annotate(const QString& image_path, const PredictSettings& settings) {
  try {
    const auto results = engine_->model.predict(image_path.toStdString(), Engine::options(settings));
    return results.at(0).plot();
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
}

}  // namespace orvane::inference
