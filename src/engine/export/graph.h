#pragma once
// The inference network of a YOLO model written out operator by operator, for the exporters.
//
// emit_inference_graph() walks a model's weights (BatchNorm folded into each convolution) and
// calls a GraphEmitter once per operator, in execution order, for a fixed input size. The ONNX
// and the TorchScript writer are two emitters of the same walk, so both files compute exactly
// what YoloModel::forward followed by YoloModel::decode computes:
//   output0 [1, 4 + nc (+32), A]  box centre/size in input pixels, class scores (sigmoid),
//                                 segmentation: the 32 mask coefficients
//   output1 [1, 32, H/4, W/4]     segmentation only: the mask prototypes
// Every operator is one that OpenCV 4.6's DNN importer understands (no SiLU, Split or Einsum).
// YOLOv8 and YOLO11 models alike; YOLO11's attention adds batched MatMul.

#include <torch/torch.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/model.h"

namespace orvane::engine::exporting {

// Values are named by strings the emitter returns; names of weights are the model's keys.
class GraphEmitter {
 public:
  virtual ~GraphEmitter() = default;
  virtual std::string input(const std::string& name, const std::vector<int64_t>& shape) = 0;
  // A named float32 tensor (weights, anchors ...) usable as an operand.
  virtual std::string constant(const std::string& name, const torch::Tensor& value) = 0;
  // bias may be empty. groups > 1: a grouped (depthwise) convolution.
  virtual std::string conv(const std::string& x, const std::string& weight, const std::string& bias,
                           int64_t kernel, int64_t stride, int64_t pad, int64_t groups = 1) = 0;
  virtual std::string conv_transpose(const std::string& x, const std::string& weight,
                                     const std::string& bias, int64_t kernel, int64_t stride) = 0;
  virtual std::string sigmoid(const std::string& x) = 0;
  virtual std::string silu(const std::string& x) = 0;
  virtual std::string add(const std::string& a, const std::string& b) = 0;
  virtual std::string sub(const std::string& a, const std::string& b) = 0;
  virtual std::string mul(const std::string& a, const std::string& b) = 0;
  virtual std::string concat(const std::vector<std::string>& xs, int64_t axis) = 0;
  virtual std::string slice(const std::string& x, int64_t axis, int64_t start, int64_t end) = 0;
  virtual std::string max_pool(const std::string& x, int64_t kernel, int64_t pad) = 0;
  // Nearest-neighbour upsampling by 2 to (height, width).
  virtual std::string upsample2x(const std::string& x, int64_t height, int64_t width) = 0;
  virtual std::string reshape(const std::string& x, const std::vector<int64_t>& shape) = 0;
  virtual std::string transpose(const std::string& x, const std::vector<int64_t>& perm) = 0;
  virtual std::string softmax(const std::string& x, int64_t axis) = 0;
  // Batched matrix product of two 3-d values, [g, m, k] x [g, k, n] -> [g, m, n].
  virtual std::string matmul(const std::string& a, const std::string& b) = 0;
  virtual void output(const std::string& x, const std::string& name) = 0;
};

// Emits the whole network for a [1, 3, height, width] input (multiples of 32). The model is only
// read. Throws EngineError when the size is not a multiple of 32.
void emit_inference_graph(YoloModelImpl& model, int64_t height, int64_t width,
                          GraphEmitter& emitter);

// An image classifier's network (tasks/classify: the weights of `model`, YOLOv8-cls or
// YOLO11-cls by `family`), for a [1, 3, height, width] input:
//   output0 [1, nc]  class probabilities (softmax)
void emit_classifier_graph(torch::nn::Module& model, Family family, int64_t height, int64_t width,
                           GraphEmitter& emitter);

}  // namespace orvane::engine::exporting
