#include "engine/model.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

#include "engine/gemm.h"

namespace orvane::engine {

namespace nn = torch::nn;

namespace {

// Multiply-add counter, set only while info() runs a profiling forward pass.
thread_local double* g_macs = nullptr;

void count_conv(const torch::Tensor& out, int64_t cin, int64_t k, int64_t groups) {
  if (g_macs) *g_macs += double(out.numel() / out.size(0)) * double(cin / groups) * double(k * k);
}

// Conv2d (no bias) + BatchNorm2d + SiLU; after fuse() a single biased convolution + SiLU.
class ConvImpl : public nn::Module {
 public:
  ConvImpl(int64_t c1, int64_t c2, int64_t k = 1, int64_t s = 1, int64_t g = 1)
      : cin_(c1), k_(k), s_(s), g_(g) {
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
    y = torch::GradMode::is_enabled() ? torch::silu(y) : torch::silu_(y);
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
  torch::Tensor fused_w_, fused_b_;  // not parameters: a fused model is for inference only
};
TORCH_MODULE(Conv);

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

// Two 3x3 Convs and a biased 1x1 output convolution: one branch of the head at one level.
class BranchImpl : public nn::Module {
 public:
  BranchImpl(int64_t c1, int64_t c, int64_t out) : cin_(c) {
    a = register_module("0", Conv(c1, c, 3));
    b = register_module("1", Conv(c, c, 3));
    pred = register_module("2", nn::Conv2d(nn::Conv2dOptions(c, out, 1).bias(true)));
  }
  torch::Tensor forward(const torch::Tensor& x) {
    auto y = onednn_conv2d(b(a(x)), pred->weight, pred->bias);
    count_conv(y, cin_, 1, 1);
    return y;
  }
  void fuse() {
    a->fuse();
    b->fuse();
  }
  Conv a{nullptr}, b{nullptr};
  nn::Conv2d pred{nullptr};

 private:
  int64_t cin_;
};
TORCH_MODULE(Branch);

}  // namespace

torch::Tensor conv_transpose_2x2(const torch::Tensor& x, const torch::Tensor& weight,
                                 const torch::Tensor& bias) {
  const int64_t out = weight.size(1);
  // Output channel o, phase (i, j) becomes channel o*4 + i*2 + j, as pixel_shuffle reads it.
  auto w1 = weight.permute({1, 2, 3, 0}).reshape({out * 4, weight.size(0), 1, 1});
  auto b1 = bias.defined() ? bias.repeat_interleave(4) : torch::Tensor();
  return torch::pixel_shuffle(onednn_conv2d(x, w1, b1), 2);
}

torch::Tensor mask_logits(const torch::Tensor& coef, const torch::Tensor& proto) {
  const int64_t c = proto.size(0), h = proto.size(1), w = proto.size(2);
  return matmul_nt(coef, proto.reshape({c, h * w}).t()).view({-1, h, w});
}

namespace {

// Mask prototypes at stride 4 from the P3 features.
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
    auto y = upsample_2x(cv1(x));
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
  torch::Tensor upsample_2x(const torch::Tensor& x) {
    return conv_transpose_2x2(x, upsample->weight, upsample->bias);
  }
  int64_t c_;
};
TORCH_MODULE(Proto);

// The decoupled head: per level a box branch (DFL logits) and a class branch; for segmentation
// a coefficient branch per level and the prototype branch.
class HeadImpl : public nn::Module {
 public:
  HeadImpl(const std::array<int64_t, 3>& chs, int64_t nc, int64_t protos) : nc_(nc) {
    const int64_t c2 = std::max<int64_t>({16, chs[0] / 4, kRegMax * 4});
    const int64_t c3 = std::max<int64_t>(chs[0], std::min<int64_t>(nc, 100));
    auto l2 = register_module("cv2", nn::ModuleList());
    auto l3 = register_module("cv3", nn::ModuleList());
    for (int i = 0; i < 3; ++i) {
      box.push_back(Branch(chs[i], c2, 4 * kRegMax));
      cls.push_back(Branch(chs[i], c3, nc));
      l2->push_back(box.back());
      l3->push_back(cls.back());
    }
    // DFL projection: a fixed 1x1 convolution with weights 0..15, counted as a parameter as the
    // published figures count it, but never trained.
    auto dfl = register_module("dfl", std::make_shared<nn::Module>());
    dfl_weight = dfl->register_parameter(
        "weight", torch::arange(kRegMax, torch::kFloat).view({1, kRegMax, 1, 1}), false);
    if (protos > 0) {
      proto = register_module("proto", Proto(chs[0], protos, kNumMasks));
      const int64_t c4 = std::max<int64_t>(chs[0] / 4, kNumMasks);
      auto l4 = register_module("cv4", nn::ModuleList());
      for (int i = 0; i < 3; ++i) {
        coef.push_back(Branch(chs[i], c4, kNumMasks));
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
    for (int i = 0; i < 3; ++i) out.feats.push_back(torch::cat({box[i](x[i]), cls[i](x[i])}, 1));
    if (proto) {
      std::vector<torch::Tensor> mc;
      const auto b = x[0].size(0);
      for (int i = 0; i < 3; ++i) mc.push_back(coef[i](x[i]).view({b, kNumMasks, -1}));
      out.mask_coef = torch::cat(mc, 2);
      out.proto = proto(x[0]);
    }
    return out;
  }

  void fuse() {
    for (auto& b : box) b->fuse();
    for (auto& b : cls) b->fuse();
    for (auto& b : coef) b->fuse();
    if (proto) proto->fuse();
  }

  int64_t nc_;
  std::vector<Branch> box, cls, coef;
  Proto proto{nullptr};
  torch::Tensor dfl_weight;
};

struct ScaleFactors {
  double depth, width;
  int max_channels;
};

ScaleFactors scale_factors(char scale) {
  switch (scale) {
    case 'n':
      return {0.33, 0.25, 1024};
    case 's':
      return {0.33, 0.50, 1024};
    case 'm':
      return {0.67, 0.75, 768};
    case 'l':
      return {1.00, 1.00, 512};
    case 'x':
      return {1.00, 1.25, 512};
  }
  throw std::invalid_argument(std::string("unknown YOLOv8 scale '") + scale + "'");
}

}  // namespace

// The network proper, so that state-dict keys read "model.<layer>..." beneath YoloModel.
class YoloNetImpl : public nn::Module {
 public:
  YoloNetImpl(const ModelSpec& arch) : nc_(arch.nc), segment_(arch.task == Task::segment) {
    const auto f = scale_factors(arch.scale);
    auto ch = [&](int c) -> int64_t {
      const double v = std::min(c, f.max_channels) * f.width;
      return int64_t(std::ceil(v / 8.0) * 8);
    };
    auto depth = [&](int n) -> int64_t {
      return n > 1 ? std::max<int64_t>(std::llround(n * f.depth), 1) : n;
    };
    const auto c64 = ch(64), c128 = ch(128), c256 = ch(256), c512 = ch(512), c1024 = ch(1024);
    l0 = register_module("0", Conv(3, c64, 3, 2));
    l1 = register_module("1", Conv(c64, c128, 3, 2));
    l2 = register_module("2", C2f(c128, c128, depth(3), true));
    l3 = register_module("3", Conv(c128, c256, 3, 2));
    l4 = register_module("4", C2f(c256, c256, depth(6), true));
    l5 = register_module("5", Conv(c256, c512, 3, 2));
    l6 = register_module("6", C2f(c512, c512, depth(6), true));
    l7 = register_module("7", Conv(c512, c1024, 3, 2));
    l8 = register_module("8", C2f(c1024, c1024, depth(3), true));
    l9 = register_module("9", SPPF(c1024, c1024, 5));
    l12 = register_module("12", C2f(c1024 + c512, c512, depth(3), false));
    l15 = register_module("15", C2f(c512 + c256, c256, depth(3), false));
    l16 = register_module("16", Conv(c256, c256, 3, 2));
    l18 = register_module("18", C2f(c256 + c512, c512, depth(3), false));
    l19 = register_module("19", Conv(c512, c512, 3, 2));
    l21 = register_module("21", C2f(c512 + c1024, c1024, depth(3), false));

    head =
        register_module("22", std::make_shared<HeadImpl>(std::array<int64_t, 3>{c256, c512, c1024},
                                                         nc_, segment_ ? ch(256) : 0));
  }

  ModelOutput forward(const torch::Tensor& x) {
    auto up = [](const torch::Tensor& t) {
      return torch::upsample_nearest2d(t, {t.size(2) * 2, t.size(3) * 2});
    };
    auto y = l2(l1(l0(x)));
    auto p3 = l4(l3(y));
    auto p4 = l6(l5(p3));
    auto p5 = l9(l8(l7(p4)));
    auto h12 = l12(torch::cat({up(p5), p4}, 1));
    auto o3 = l15(torch::cat({up(h12), p3}, 1));
    auto o4 = l18(torch::cat({l16(o3), h12}, 1));
    auto o5 = l21(torch::cat({l19(o4), p5}, 1));
    return head->forward({o3, o4, o5});
  }

  void fuse() {
    for (auto* c : {&l0, &l1, &l3, &l5, &l7, &l16, &l19}) (*c)->fuse();
    for (auto* c : {&l2, &l4, &l6, &l8, &l12, &l15, &l18, &l21}) (*c)->fuse();
    l9->fuse();
    head->fuse();
  }

  int64_t nc_;
  bool segment_;
  Conv l0{nullptr}, l1{nullptr}, l3{nullptr}, l5{nullptr}, l7{nullptr}, l16{nullptr}, l19{nullptr};
  C2f l2{nullptr}, l4{nullptr}, l6{nullptr}, l8{nullptr}, l12{nullptr}, l15{nullptr}, l18{nullptr},
      l21{nullptr};
  SPPF l9{nullptr};
  std::shared_ptr<HeadImpl> head;
};

std::string ModelSpec::name() const {
  return std::string("yolov8") + scale + (task == Task::segment ? "-seg" : "");
}

std::optional<ModelSpec> parse_model_name(const std::string& name) {
  static const std::regex re(R"(^yolov8([nsmlx])(-seg)?(\.pt|\.yaml|\.pth)?$)", std::regex::icase);
  const auto stem = std::filesystem::path(name).filename().string();
  std::smatch m;
  if (!std::regex_match(stem, m, re)) return std::nullopt;
  ModelSpec arch;
  arch.scale = char(std::tolower(m[1].str()[0]));
  arch.task = m[2].matched ? Task::segment : Task::detect;
  return arch;
}

YoloModelImpl::YoloModelImpl(const ModelSpec& arch, std::vector<std::string> class_names)
    : names(std::move(class_names)), spec_(arch) {
  if (spec_.nc < 1) throw std::invalid_argument("a model needs at least one class");
  names.resize(spec_.nc);
  for (int i = 0; i < spec_.nc; ++i)
    if (names[i].empty()) names[i] = "class" + std::to_string(i);
  net_ = register_module("model", std::make_shared<YoloNetImpl>(spec_));
}

ModelOutput YoloModelImpl::forward(torch::Tensor images) {
  TORCH_CHECK(images.dim() == 4 && images.size(1) == 3, "images must be [B,3,H,W]");
  TORCH_CHECK(images.size(2) % 32 == 0 && images.size(3) % 32 == 0,
              "image height and width must be multiples of 32");
  return net_->forward(images);
}

std::pair<torch::Tensor, torch::Tensor> YoloModelImpl::make_anchors(
    const std::vector<torch::Tensor>& feats, double offset) {
  std::vector<torch::Tensor> points, strides;
  for (size_t i = 0; i < feats.size(); ++i) {
    const auto h = feats[i].size(2), w = feats[i].size(3);
    const auto opts = torch::TensorOptions().dtype(torch::kFloat).device(feats[i].device());
    auto sx = torch::arange(w, opts) + offset;
    auto sy = torch::arange(h, opts) + offset;
    auto grid = torch::meshgrid({sy, sx}, "ij");
    points.push_back(torch::stack({grid[1], grid[0]}, -1).view({-1, 2}));
    strides.push_back(torch::full({h * w, 1}, double(kStrides[i]), opts));
  }
  return {torch::cat(points), torch::cat(strides)};
}

torch::Tensor YoloModelImpl::decode(const ModelOutput& out) {
  const auto b = out.feats[0].size(0);
  const int64_t no = 4 * kRegMax + spec_.nc;
  std::vector<torch::Tensor> flat;
  for (const auto& f : out.feats) flat.push_back(f.view({b, no, -1}));
  auto x = torch::cat(flat, 2);
  auto parts = x.split_with_sizes({4 * kRegMax, spec_.nc}, 1);
  auto [anchors, strides] = make_anchors(out.feats);
  // DFL: expectation of each side's 16-bin softmax.
  const auto a = x.size(2);
  auto dist = parts[0].view({b, 4, kRegMax, a}).softmax(2);
  dist = (dist * net_->head->dfl_weight.view({1, 1, kRegMax, 1})).sum(2);  // [B,4,A]
  auto lt = dist.slice(1, 0, 2), rb = dist.slice(1, 2, 4);
  auto anc = anchors.t().unsqueeze(0);  // [1,2,A]
  auto x1y1 = anc - lt, x2y2 = anc + rb;
  auto st = strides.t().unsqueeze(0);  // [1,1,A]
  auto dbox = torch::cat({(x1y1 + x2y2) / 2, x2y2 - x1y1}, 1) * st;
  std::vector<torch::Tensor> rows{dbox, parts[1].sigmoid()};
  if (is_segment()) rows.push_back(out.mask_coef);
  return torch::cat(rows, 1);
}

void YoloModelImpl::fuse() {
  if (fused_) return;
  net_->fuse();
  fused_ = true;
}

bool YoloModelImpl::is_frozen(const std::string& param_name) const {
  return param_name.find("dfl") != std::string::npos;
}

ModelInfo YoloModelImpl::info() const {
  ModelInfo info;
  for (const auto& p : parameters()) {
    info.parameters += p.numel();
    if (p.requires_grad()) info.gradients += p.numel();
  }
  // Counted as the published summaries count modules, so the figure is the one users know
  // (yolov8n 225): ours plus the model and its layer list, the two upsamples, four concats, the
  // shared activation and the pooling that our forward() writes as plain functions; fused
  // layers no longer count their BatchNorm.
  int64_t batchnorms = 0;
  for (const auto& m : modules(/*include_self=*/false))
    if (dynamic_cast<const torch::nn::BatchNorm2dImpl*>(m.get())) ++batchnorms;
  constexpr int64_t kFunctionalModules = 2 + 2 + 4 + 1 + 1;
  info.layers = int64_t(modules(/*include_self=*/false).size()) + kFunctionalModules -
                (is_fused() ? batchnorms : 0);
  // Count multiply-adds on a small input and scale to 640x640, as is customary.
  double macs = 0;
  {
    torch::NoGradGuard no_grad;
    auto* self = const_cast<YoloModelImpl*>(this);
    const bool was_training = self->is_training();
    self->eval();
    g_macs = &macs;
    try {
      self->net_->forward(torch::zeros({1, 3, 64, 64}));
    } catch (...) {
      g_macs = nullptr;
      throw;
    }
    g_macs = nullptr;
    self->train(was_training);
  }
  info.gflops = 2.0 * macs * (640.0 / 64.0) * (640.0 / 64.0) / 1e9;
  return info;
}

namespace {
std::string thousands(int64_t v) {
  const auto digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}
}  // namespace

std::string YoloModelImpl::summary() const {
  const auto i = info();
  std::ostringstream out;
  out << "YOLOv8" << spec_.scale << (is_segment() ? "-seg" : "")
      << (fused_ ? " summary (fused): " : " summary: ") << i.layers << " layers, "
      << thousands(i.parameters) << " parameters, " << thousands(i.gradients) << " gradients, ";
  out.setf(std::ios::fixed);
  out.precision(1);
  out << i.gflops << " GFLOPs";
  return out.str();
}

YoloModel clone_model(const YoloModel& model) {
  YoloModel copy(model->arch(), model->names);
  torch::NoGradGuard no_grad;
  auto src_params = model->named_parameters(true);
  for (auto& p : copy->named_parameters(true)) p.value().copy_(src_params[p.key()]);
  auto src_buffers = model->named_buffers(true);
  for (auto& b : copy->named_buffers(true)) b.value().copy_(src_buffers[b.key()]);
  copy->train(model->is_training());
  if (model->is_fused()) copy->fuse();
  return copy;
}

// A fresh BatchNorm layer starts its running statistics at mean 0, variance 1. At the usual
// momentum of 0.03 that start takes some 150 batches to fade, and until then the evaluation-mode
// network (validation, best.pt, prediction) rescales every layer wrongly, the error compounding
// with depth: on a small set it scores nothing for half the run. Layers that have seen fewer than
// 1/momentum batches therefore average their batches cumulatively, which gives the exact mean
// from the first batch on; the configured momentum takes over as soon as it weighs more. Training
// itself (batch statistics) is unchanged. Returns false once no layer needs it any more.
bool warm_up_batchnorm(torch::nn::Module& model) {
  bool any = false;
  for (auto& m : model.modules(/*include_self=*/false)) {
    auto* bn = dynamic_cast<torch::nn::BatchNorm2dImpl*>(m.get());
    if (!bn || !bn->num_batches_tracked.defined()) continue;
    const double seen = double(bn->num_batches_tracked.item<int64_t>());
    const double cumulative = 1.0 / (seen + 1.0);
    bn->options.momentum(std::max(kBnMomentum, cumulative));
    any = any || cumulative > kBnMomentum;
  }
  return any;
}

}  // namespace orvane::engine
