#pragma once
// Running an exported model: best.onnx through OpenCV's DNN module, best.torchscript through
// LibTorch's JIT. Either yields a Network for the shared post-processing of predictor.h, so the
// detections (NMS, masks, plot) are those of the checkpoint the file came from.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/predictor.h"

namespace orvane::engine {

class ExportedModel {
 public:
  virtual ~ExportedModel() = default;

  // True for the file names this class loads (".onnx", ".torchscript", any case).
  static bool is_exported_path(const std::filesystem::path& path);
  // Throws EngineError with one line when the file is missing, damaged or not a YOLO export
  // (no class names in its metadata).
  static std::unique_ptr<ExportedModel> load(const std::filesystem::path& path);

  const std::string& format() const { return format_; }  // "onnx" | "torchscript"
  const std::vector<std::string>& names() const { return names_; }
  bool is_segment() const { return segment_; }
  // "detect", "segment" or "classify" (an image classifier: output0 is [1, nc] probabilities,
  // not boxes, so it must not reach the box post-processing).
  const std::string& task() const { return task_; }
  int height() const { return height_; }
  int width() const { return width_; }

  // images [1,3,height,width] float 0..1 RGB.
  virtual NetworkOutput forward(const torch::Tensor& images) = 0;
  // A Network (referring to this object) for predict_image.
  Network network();

 protected:
  std::string format_;
  std::vector<std::string> names_;
  bool segment_ = false;
  std::string task_;
  int height_ = 0, width_ = 0;
};

}  // namespace orvane::engine
