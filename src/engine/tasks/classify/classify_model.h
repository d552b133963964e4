#pragma once
// Image classifiers of the YOLOv8 and YOLO11 families (`yolov8n-cls` ... `yolo11x-cls`), layer
// for layer as the ecosystem's `yolov8-cls.yaml` and `yolo11-cls.yaml` publish them: the
// detection backbone without its neck, then one Classify head.
//
//   YOLOv8-cls: Conv s2, Conv s2, C2f, Conv s2, C2f, Conv s2, C2f, Conv s2, C2f, Classify (9)
//               scales n 0.33/0.25, s 0.33/0.50, m 0.67/0.75, l 1.00/1.00, x 1.00/1.25, all with
//               1024 channels at most (the detection family caps m, l, x lower)
//   YOLO11-cls: Conv s2, Conv s2, C3k2, Conv s2, C3k2, Conv s2, C3k2, Conv s2, C3k2, C2PSA,
//               Classify (10); scales as YOLO11 detection
//   Classify:   1x1 Conv to 1280 channels, global average pooling, dropout, Linear to nc
//
// State-dict keys are the ecosystem's ("model.9.conv.conv.weight", "model.9.linear.bias"), so
// its files map one to one. forward() returns logits; probabilities() their softmax.

#include <torch/torch.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/layers.h"
#include "engine/model.h"

namespace orvane::engine::classify {

inline constexpr int kHeadChannels = 1280;  // the Classify head's hidden width

// A classifier's architecture: a ModelSpec whose task is classify ("yolov8n-cls").
using ClassifySpec = ModelSpec;

// "yolov8n-cls", "yolo11x-cls.pt", "runs/x/yolov8s-cls.yaml" (any folder, .pt/.yaml/.pth
// dropped), nc 1000; nullopt for anything else.
std::optional<ClassifySpec> parse_classify_name(const std::string& name);

class ClassifyHeadImpl : public torch::nn::Module {
 public:
  ClassifyHeadImpl(int64_t c1, int64_t nc);
  torch::Tensor forward(const torch::Tensor& x);  // [B, c1, h, w] -> logits [B, nc]
  void fuse();

  layers::Conv conv{nullptr};
  torch::nn::Linear linear{nullptr};
};
TORCH_MODULE(ClassifyHead);

class ClassifyModelImpl : public torch::nn::Module {
 public:
  // Fresh weights: the convolutions with LibTorch's defaults, the Linear layer as well. `names`
  // may be empty or short: the rest become "class<i>".
  explicit ClassifyModelImpl(const ClassifySpec& spec, std::vector<std::string> names = {});

  // images [B,3,H,W] float 0..1 RGB, H and W multiples of 32 -> logits [B, nc].
  torch::Tensor forward(const torch::Tensor& images);
  // Softmax over the classes of forward().
  torch::Tensor probabilities(const torch::Tensor& images);

  // Folds every BatchNorm into its convolution (inference only, irreversible).
  void fuse();
  bool is_fused() const { return fused_; }

  const ClassifySpec& spec() const { return spec_; }
  int nc() const { return spec_.nc; }
  int64_t parameter_count() const;
  // "YOLOv8n-cls summary: 2,719,288 parameters, 2,719,288 gradients"
  std::string summary() const;

  std::vector<std::string> names;

 private:
  ClassifySpec spec_;
  torch::nn::Sequential net_{nullptr};  // registered as "model": keys "model.<layer>..."
  std::vector<std::function<void()>> fusers_;
  bool fused_ = false;
};
TORCH_MODULE(ClassifyModel);

// Deep copy (weights, buffers, names), e.g. for a fused inference copy or the best weights.
ClassifyModel clone_classifier(const ClassifyModel& model);

// Loads named tensors (a state dict) after checking every key and shape, as load_named_tensors
// does for detection models. Throws EngineError before anything changes.
void load_classifier_tensors(ClassifyModelImpl& model,
                             const std::map<std::string, torch::Tensor>& tensors);

}  // namespace orvane::engine::classify
