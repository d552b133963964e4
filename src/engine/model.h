#pragma once
// YOLOv8 and YOLO11 detection and segmentation networks, layer for layer as published (scales
// n/s/m/l/x). YOLOv8 below; YOLO11 (yolo11.h) has the same outputs, strides and head layout with
// C3k2 blocks, an attention block after SPPF and a lighter class branch.
//
//   images [B,3,H,W] float 0..1 RGB, H and W multiples of 32
//     backbone: Conv s2 -> Conv s2 -> C2f -> Conv s2 -> C2f (P3/8) -> Conv s2 -> C2f (P4/16)
//               -> Conv s2 -> C2f -> SPPF (P5/32)
//     neck (PAN): up + cat P4 -> C2f -> up + cat P3 -> C2f (out P3)
//               -> Conv s2 + cat -> C2f (out P4) -> Conv s2 + cat -> C2f (out P5)
//     head: per level a box branch (4 x reg_max DFL logits) and a class branch (nc logits);
//           segmentation adds a coefficient branch (32 per anchor) and prototypes at stride 4.
//
// Every Conv is Conv2d (no bias) + BatchNorm2d (eps 1e-3, momentum 0.03) + SiLU.

#include <torch/torch.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane::engine {

inline constexpr int kRegMax = 16;    // DFL bins per box side
inline constexpr int kNumMasks = 32;  // prototypes / coefficients per box
inline constexpr std::array<int, 3> kStrides{8, 16, 32};
inline constexpr double kBnMomentum = 0.03;  // BatchNorm running-statistics momentum
inline constexpr double kBnEps = 1e-3;

// What the network returns in training and in evaluation alike (decode separately).
struct ModelOutput {
  std::vector<torch::Tensor> feats;  // per level (strides 8,16,32): [B, 4*16 + nc, H/s, W/s]
  torch::Tensor mask_coef;           // segmentation only: [B, 32, A]  (A = total anchors)
  torch::Tensor proto;               // segmentation only: [B, 32, H/4, W/4]
  // Oriented boxes: [B, 1, A] angle logits. Pose: [B, k * d, A] raw keypoints (k keypoints of
  // d numbers, kpt_shape), in grid units before decode.
  torch::Tensor extra;
};

enum class Task { detect, segment, obb, pose, classify };

// "detect", "segment", "obb", "pose", "classify": the ecosystem's task names.
const char* task_name(Task task);
enum class Family { yolov8, yolo11 };

// One architecture: the family, the scale letter and the task. Parsed from names such as
// "yolov8n.pt", "yolov8s-seg.pt", "yolov8m.yaml", "yolo11x-seg" or "yolo11n.pt".
struct ModelSpec {
  char scale = 'n';  // n s m l x
  Task task = Task::detect;
  int nc = 80;
  Family family = Family::yolov8;
  std::array<int, 2> kpt_shape{17, 3};  // pose only: keypoints per object, numbers per keypoint

  // "yolov8n" / "yolov8n-seg" / "yolov8n-obb" / "yolov8n-pose" / "yolov8n-cls" / "yolo11n" ...
  std::string name() const;
  // Outputs of the head's fourth branch per anchor: 32 mask coefficients, 1 angle, k * d
  // keypoint numbers; 0 for detection.
  int extra_outputs() const;
};

// Parses a model name (any folder and extension dropped). nullopt when it is not a YOLOv8 or
// YOLO11 detection or segmentation name.
std::optional<ModelSpec> parse_model_name(const std::string& name);

// The same for every task, "-obb", "-pose" and "-cls" included, with the nc of the ecosystem's
// model tables: pose kpt_shape [17, 3] and nc 1 for YOLOv8 but 80 for YOLO11, oriented boxes 80,
// classifiers 1000.
// YoloModel trains, validates and predicts only what parse_model_name takes; oriented-box and
// pose networks are built for their layers and weights; classifiers are
// tasks/classify/classify_model.h's.
std::optional<ModelSpec> parse_task_model_name(const std::string& name);

// Parameter count, layer count and GFLOPs at 640x640 (multiply-adds x 2, as usually reported).
struct ModelInfo {
  int64_t layers = 0;
  int64_t parameters = 0;
  int64_t gradients = 0;
  double gflops = 0.0;
};

class YoloNetImpl;  // the layers (layers.h), one subclass per family

class YoloModelImpl : public torch::nn::Module {
 public:
  // Builds fresh weights with the head biases initialised for `arch.nc` classes
  // (box 1.0, class log(5 / nc / (640 / stride)^2)). `names` may be empty: then "class0"...
  explicit YoloModelImpl(const ModelSpec& arch, std::vector<std::string> names = {});

  // images [B,3,H,W], H % 32 == 0 and W % 32 == 0. Train mode keeps BN statistics updating.
  ModelOutput forward(torch::Tensor images);

  // [B, 4 + nc (+ extra), A]: rows 0-3 are box centre x, y, width, height in input pixels
  // (DFL expectation over 16 bins, times the level's stride), then the nc class probabilities
  // (sigmoid), then for segmentation the 32 mask coefficients, for oriented boxes the angle in
  // radians (in [-pi/4, 3pi/4); the box's centre turned with it, width and height along its
  // axes), for pose the keypoints (x, y in input pixels, visibility as a probability when
  // kpt_shape[1] is 3). Anchors run level by level, row-major inside a level.
  torch::Tensor decode(const ModelOutput& out);

  // Pose: raw keypoints [B, k*d, A] to input pixels (see decode); anchors [1,2,A] in cells,
  // strides [1,1,A].
  torch::Tensor decode_keypoints(const torch::Tensor& raw, const torch::Tensor& anchors,
                                 const torch::Tensor& strides) const;

  // Anchor centres [A,2] (x, y in grid cells + 0.5) and strides [A,1] for the given feature maps.
  static std::pair<torch::Tensor, torch::Tensor> make_anchors(
      const std::vector<torch::Tensor>& feats, double offset = 0.5);

  // Folds every BatchNorm into the preceding convolution for inference. Irreversible: do it on a
  // copy you will not train. Idempotent.
  void fuse();
  bool is_fused() const { return fused_; }

  int nc() const { return arch_.nc; }
  bool is_segment() const { return arch_.task == Task::segment; }
  const ModelSpec& arch() const { return arch_; }
  ModelInfo info() const;
  // "YOLOv8n summary: 225 layers, 3,157,200 parameters, 3,157,184 gradients, 8.9 GFLOPs"
  // ("YOLO11n summary: ..." for YOLO11)
  std::string summary() const;

  std::vector<std::string> names;  // class id -> class name, size nc

  // The DFL projection has no gradient (fixed 0..15); optimizer groups skip it.
  bool is_frozen(const std::string& param_name) const;

 private:
  std::shared_ptr<YoloNetImpl> net_;  // the layers; registered as submodule "model"
  ModelSpec arch_;
  bool fused_ = false;
};
TORCH_MODULE(YoloModel);

// 3157200 -> "3,157,200", as the model summaries print counts.
std::string thousands(int64_t v);

// Copies every parameter and buffer of `from` into the same-named ones of `to` (same
// architecture) and its train/eval mode.
void copy_module_state(const torch::nn::Module& from, torch::nn::Module& to);

// Deep copy of a model (weights, buffers, names), e.g. for EMA or a fused inference copy.
YoloModel clone_model(const YoloModel& model);

// Call before each training forward pass. BatchNorm layers of `model` that have seen fewer than
// 1/kBnMomentum batches average their running statistics cumulatively (exact from the first
// batch) instead of starting from mean 0 / variance 1; the others keep kBnMomentum. Returns
// whether any layer still needs it (callers may stop calling once it returns false).
bool warm_up_batchnorm(torch::nn::Module& model);

// A transposed convolution with kernel 2 and stride 2 (weight [in, out, 2, 2]) computed as a 1x1
// convolution to the four output phases of every input pixel, interleaved by pixel_shuffle: the
// same sums. LibTorch runs transposed convolutions, forward and backward, through the plain BLAS
// (on Debian the unoptimised reference one), a 1x1 convolution through oneDNN.
torch::Tensor conv_transpose_2x2(const torch::Tensor& x, const torch::Tensor& weight,
                                 const torch::Tensor& bias);

// Mask logits from per-object coefficients and the prototypes, coef . proto for every grid cell:
//   coef [n, c] . proto [c, h, w] -> [n, h, w]
// Through matmul_nt (oneDNN), not the system BLAS.
torch::Tensor mask_logits(const torch::Tensor& coef, const torch::Tensor& proto);

// Loads named weights (parameters and buffers, e.g. a reader's state dict of the ecosystem's
// files) into `model`: every key the model has must be present with the same shape, and no other
// key may be (a BatchNorm's "num_batches_tracked" may be missing: it only counts batches).
// Values are converted to float32. Throws EngineError naming the first missing, unexpected or
// mis-shaped key and the counts, before anything is changed.
void load_named_tensors(YoloModelImpl& model, const std::map<std::string, torch::Tensor>& tensors);
// The same checks and copy for any module (`arch_name` names it in the messages); the caller
// refuses a fused model first.
void load_module_tensors(torch::nn::Module& model, const std::string& arch_name,
                         const std::map<std::string, torch::Tensor>& tensors);

}  // namespace orvane::engine
