#pragma once
// Building blocks shared by the YOLOv8 and YOLO11 networks (model.cpp, yolo11.cpp): the Conv unit,
// bottlenecks, SPPF, the head's branches, the mask prototypes and the detection/segmentation head.
// Submodule names are the YOLO ecosystem's, so that state-dict keys read as in its files.

#include <torch/torch.h>

#include <array>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "engine/gemm.h"
#include "engine/model.h"

namespace orvane::engine {

namespace layers {

namespace nn = torch::nn;

// Multiply-add counter, set only while YoloModelImpl::info() runs a profiling forward pass.
extern thread_local double* g_macs;

inline void count_conv(const torch::Tensor& out, int64_t cin, int64_t k, int64_t groups) {
  if (g_macs) *g_macs += double(out.numel() / out.size(0)) * double(cin / groups) * double(k * k);
}

// Conv2d (no bias) + BatchNorm2d + SiLU (or no activation); after fuse() a single biased
// convolution (+ SiLU).
class ConvImpl : public nn::Module {
 public:
  ConvImpl(int64_t c1, int64_t c2, int64_t k = 1, int64_t s = 1, int64_t g = 1, bool act = true)
      : cin_(c1), k_(k), s_(s), g_(g), act_(act) {
    conv = register_module(
        "conv",
        nn::Conv2d(nn::Conv2dOptions(c1, c2, k).stride(s).padding(k / 2).groups(g).bias(false)));
    bn = register_module(
        "bn", nn::BatchNorm2d(nn::BatchNorm2dOptions(c2).eps(kBnEps).momentum(kBnMomentum)));
  }

  torch::Tensor forward(const torch::Tensor& x) {
    torch::Tensor y = fused_w_.defined()
                          ? onednn_conv2d(x, fused_w_, fused_b_, s_, k_ / 2, g_)
                          : bn->forward(onednn_conv2d(x, conv->weight, {}, s_, k_ / 2, g_));
    // Without autograd the activation can overwrite its fresh input: one buffer less per layer.
    if (act_) y = torch::GradMode::is_enabled() ? torch::silu(y) : torch::silu_(y);
    count_conv(y, cin_, k_, g_);
    return y;
  }

  void fuse() {
    if (fused_w_.defined()) return;
    torch::NoGradGuard no_grad;
    auto scale = bn->weight / torch::sqrt(bn->running_var + bn->options.eps());
    fused_w_ = (conv->weight * scale.view({-1, 1, 1, 1})).contiguous();
    fused_b_ = bn->bias - bn->running_mean * scale;
  }

  nn::Conv2d conv{nullptr};
  nn::BatchNorm2d bn{nullptr};

 private:
  int64_t cin_, k_, s_, g_;
  bool act_;
  torch::Tensor fused_w_, fused_b_;  // not parameters: a fused model is for inference only
};
TORCH_MODULE(Conv);

// A depthwise-style Conv (DWConv in the layer tables): groups = gcd(in, out).
inline Conv DWConv(int64_t c1, int64_t c2, int64_t k = 3, int64_t s = 1, bool act = true) {
  return Conv(c1, c2, k, s, std::gcd(c1, c2), act);
}

// Two 3x3 Convs, hidden width c2 * e, with the input added when the widths allow.
class BottleneckImpl : public nn::Module {
 public:
  BottleneckImpl(int64_t c1, int64_t c2, bool shortcut, double e = 1.0)
      : add_(shortcut && c1 == c2) {
    const auto c = int64_t(c2 * e);
    cv1 = register_module("cv1", Conv(c1, c, 3));
    cv2 = register_module("cv2", Conv(c, c2, 3));
  }
  torch::Tensor forward(const torch::Tensor& x) {
    auto y = cv2(cv1(x));
    return add_ ? x + y : y;
  }
  void fuse() {
    cv1->fuse();
    cv2->fuse();
  }
  Conv cv1{nullptr}, cv2{nullptr};

 private:
  bool add_;
};
TORCH_MODULE(Bottleneck);

class SPPFImpl : public nn::Module {
 public:
  SPPFImpl(int64_t c1, int64_t c2, int64_t k = 5) : k_(k) {
    const auto c = c1 / 2;
    cv1 = register_module("cv1", Conv(c1, c, 1));
    cv2 = register_module("cv2", Conv(c * 4, c2, 1));
  }
  torch::Tensor forward(const torch::Tensor& x) {
    auto a = cv1(x);
    auto pool = [this](const torch::Tensor& t) { return torch::max_pool2d(t, k_, 1, k_ / 2); };
    auto b = pool(a);
    auto c = pool(b);
    return cv2(torch::cat({a, b, c, pool(c)}, 1));
  }
  void fuse() {
    cv1->fuse();
    cv2->fuse();
  }
  Conv cv1{nullptr}, cv2{nullptr};

 private:
  int64_t k_;
};
TORCH_MODULE(SPPF);

// CSP bottleneck with two convolutions, every bottleneck's output kept for the final 1x1.
class C2fImpl : public nn::Module {
 public:
  C2fImpl(int64_t c1, int64_t c2, int64_t n, bool shortcut) : c_(int64_t(c2 * 0.5)) {
    cv1 = register_module("cv1", Conv(c1, 2 * c_, 1));
    cv2 = register_module("cv2", Conv((2 + n) * c_, c2, 1));
    auto list = register_module("m", nn::ModuleList());
    for (int64_t i = 0; i < n; ++i) {
      m.push_back(Bottleneck(c_, c_, shortcut, 1.0));
      list->push_back(m.back());
    }
  }
  torch::Tensor forward(const torch::Tensor& x) {
    auto y = cv1(x).chunk(2, 1);
    y.reserve(2 + m.size());
    for (auto& b : m) y.push_back(b(y.back()));
    return cv2(torch::cat(y, 1));
  }
  void fuse() {
    cv1->fuse();
    cv2->fuse();
    for (auto& b : m) b->fuse();
  }
  Conv cv1{nullptr}, cv2{nullptr};
  std::vector<Bottleneck> m;

 private:
  int64_t c_;
};
TORCH_MODULE(C2f);

// One branch of the head at one level: feature layers "0" and "1", then the biased 1x1 output
// convolution "2" (`pred`).
class HeadBranch : public nn::Module {
 public:
  virtual torch::Tensor forward(const torch::Tensor& x) = 0;
  virtual void fuse() = 0;
  nn::Conv2d pred{nullptr};

 protected:
  torch::Tensor predict(const torch::Tensor& features) {
    auto y = onednn_conv2d(features, pred->weight, pred->bias);
    count_conv(y, pred->weight.size(1), 1, 1);
    return y;
  }
};

// Two 3x3 Convs and the output convolution (YOLOv8's branches, YOLO11's box and mask branches).
class BranchImpl : public HeadBranch {
 public:
  BranchImpl(int64_t c1, int64_t c, int64_t out) {
    a = register_module("0", Conv(c1, c, 3));
    b = register_module("1", Conv(c, c, 3));
    pred = register_module("2", nn::Conv2d(nn::Conv2dOptions(c, out, 1).bias(true)));
  }
  torch::Tensor forward(const torch::Tensor& x) override { return predict(b(a(x))); }
  void fuse() override {
    a->fuse();
    b->fuse();
  }
  Conv a{nullptr}, b{nullptr};
};

// A depthwise 3x3 Conv ("0") then a 1x1 Conv ("1").
class DWPairImpl : public nn::Module {
 public:
  DWPairImpl(int64_t c1, int64_t c2) {
    dw = register_module("0", DWConv(c1, c1, 3));
    pw = register_module("1", Conv(c1, c2, 1));
  }
  torch::Tensor forward(const torch::Tensor& x) { return pw(dw(x)); }
  void fuse() {
    dw->fuse();
    pw->fuse();
  }
  Conv dw{nullptr}, pw{nullptr};
};
TORCH_MODULE(DWPair);

// YOLO11's class branch: two (depthwise 3x3, 1x1) pairs, then the output convolution. Far fewer
// weights than two full 3x3 Convs for the same receptive field.
class LightBranchImpl : public HeadBranch {
 public:
  LightBranchImpl(int64_t c1, int64_t c, int64_t out) {
    a = register_module("0", DWPair(c1, c));
    b = register_module("1", DWPair(c, c));
    pred = register_module("2", nn::Conv2d(nn::Conv2dOptions(c, out, 1).bias(true)));
  }
  torch::Tensor forward(const torch::Tensor& x) override { return predict(b(a(x))); }
  void fuse() override {
    a->fuse();
    b->fuse();
  }
  DWPair a{nullptr}, b{nullptr};
};

// A transposed 2x2 convolution of stride 2 computed as conv_transpose_2x2 does (model.h).
class ProtoImpl : public nn::Module {
 public:
  ProtoImpl(int64_t c1, int64_t c, int64_t c2) : c_(c) {
    cv1 = register_module("cv1", Conv(c1, c, 3));
    upsample = register_module(
        "upsample", nn::ConvTranspose2d(nn::ConvTranspose2dOptions(c, c, 2).stride(2).bias(true)));
    cv2 = register_module("cv2", Conv(c, c, 3));
    cv3 = register_module("cv3", Conv(c, c2, 1));
  }
  torch::Tensor forward(const torch::Tensor& x) {
    auto y = conv_transpose_2x2(cv1(x), upsample->weight, upsample->bias);
    // Counted per output pixel over the whole 2x2 kernel, as the profiler behind the published
    // figures counts transposed convolutions.
    if (g_macs) *g_macs += double(y.numel() / y.size(0)) * double(c_) * 4.0;
    return cv3(cv2(y));
  }
  void fuse() {
    cv1->fuse();
    cv2->fuse();
    cv3->fuse();
  }
  Conv cv1{nullptr}, cv2{nullptr}, cv3{nullptr};
  nn::ConvTranspose2d upsample{nullptr};

 private:
  int64_t c_;
};
TORCH_MODULE(Proto);

// The decoupled head: per level a box branch (DFL logits) and a class branch; a fourth branch
// per level ("cv4") with `extra` outputs for segmentation (32 mask coefficients, with the
// prototype branch), oriented boxes (1 angle) and pose (k * d keypoint numbers), its width
// max(chs[0] / 4, extra). YOLO11 differs only in its class
// branch (LightBranch) and in where the DFL projection sits ("dfl.conv.weight", as in the
// ecosystem's files; YOLOv8 checkpoints of ours keep "dfl.weight").
class HeadImpl : public nn::Module {
 public:
  HeadImpl(const std::array<int64_t, 3>& chs, int64_t nc, int64_t protos, bool yolo11,
           int64_t extra = 0)
      : nc_(nc) {
    const int64_t c2 = std::max<int64_t>({16, chs[0] / 4, kRegMax * 4});
    const int64_t c3 = std::max<int64_t>(chs[0], std::min<int64_t>(nc, 100));
    auto l2 = register_module("cv2", nn::ModuleList());
    auto l3 = register_module("cv3", nn::ModuleList());
    for (int i = 0; i < 3; ++i) {
      box.push_back(std::make_shared<BranchImpl>(chs[i], c2, 4 * kRegMax));
      if (yolo11)
        cls.push_back(std::make_shared<LightBranchImpl>(chs[i], c3, nc));
      else
        cls.push_back(std::make_shared<BranchImpl>(chs[i], c3, nc));
      l2->push_back(box.back());
      l3->push_back(cls.back());
    }
    // DFL projection: a fixed 1x1 convolution with weights 0..15, counted as a parameter as the
    // published figures count it, but never trained.
    auto dfl = register_module("dfl", std::make_shared<nn::Module>());
    auto* owner = dfl.get();
    if (yolo11) owner = dfl->register_module("conv", std::make_shared<nn::Module>()).get();
    dfl_weight = owner->register_parameter(
        "weight", torch::arange(kRegMax, torch::kFloat).view({1, kRegMax, 1, 1}), false);
    if (protos > 0) proto = register_module("proto", Proto(chs[0], protos, kNumMasks));
    if (extra > 0) {
      const int64_t c4 = std::max<int64_t>(chs[0] / 4, extra);
      auto l4 = register_module("cv4", nn::ModuleList());
      for (int i = 0; i < 3; ++i) {
        coef.push_back(std::make_shared<BranchImpl>(chs[i], c4, extra));
        l4->push_back(coef.back());
      }
    }
    init_biases();
  }

  // Box bias 1.0; class bias so that the prior is about 5 objects per 640x640 image.
  void init_biases() {
    torch::NoGradGuard no_grad;
    for (int i = 0; i < 3; ++i) {
      box[i]->pred->bias.fill_(1.0);
      cls[i]->pred->bias.fill_(std::log(5.0 / double(nc_) / std::pow(640.0 / kStrides[i], 2)));
    }
  }

  ModelOutput forward(const std::array<torch::Tensor, 3>& x) {
    ModelOutput out;
    for (int i = 0; i < 3; ++i)
      out.feats.push_back(torch::cat({box[i]->forward(x[i]), cls[i]->forward(x[i])}, 1));
    if (!coef.empty()) {
      std::vector<torch::Tensor> mc;
      for (int i = 0; i < 3; ++i) mc.push_back(coef[i]->forward(x[i]).flatten(2));
      (proto ? out.mask_coef : out.extra) = torch::cat(mc, 2);
    }
    if (proto) out.proto = proto(x[0]);
    return out;
  }

  void fuse() {
    for (auto& b : box) b->fuse();
    for (auto& b : cls) b->fuse();
    for (auto& b : coef) b->fuse();
    if (proto) proto->fuse();
  }

  int64_t nc_;
  std::vector<std::shared_ptr<HeadBranch>> box, cls, coef;
  Proto proto{nullptr};
  torch::Tensor dfl_weight;
};

// Channel width and depth of a scale: min(c, max) * width rounded up to a multiple of 8, and
// repeats n * depth rounded (at least 1).
struct Scaling {
  double depth, width;
  int max_channels;

  int64_t channels(int c) const {
    const double v = std::min(c, max_channels) * width;
    return int64_t(std::ceil(v / 8.0) * 8);
  }
  int64_t repeats(int n) const { return n > 1 ? std::max<int64_t>(std::llround(n * depth), 1) : n; }
};

// Scale factors of the YOLOv8 detection and segmentation family. Throws EngineError for an
// unknown letter.
Scaling yolov8_scaling(char scale);

}  // namespace layers

// The network proper, so that state-dict keys read "model.<layer>..." beneath YoloModel. One
// subclass per family; `head` is also registered by the subclass under its layer index.
class YoloNetImpl : public torch::nn::Module {
 public:
  virtual ModelOutput forward(const torch::Tensor& x) = 0;
  virtual void fuse() = 0;
  // Modules the published summaries count that our forward() writes as plain functions
  // (upsamples, concats, the shared activation, pooling, activation-free placeholders).
  virtual int64_t functional_modules() const = 0;

  std::shared_ptr<layers::HeadImpl> head;
};

}  // namespace orvane::engine
