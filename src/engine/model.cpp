#include "engine/model.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

#include "engine/error.h"
#include "engine/gemm.h"
#include "engine/layers.h"
#include "engine/yolo11.h"

namespace orvane::engine {

namespace nn = torch::nn;
using namespace layers;

namespace layers {
thread_local double* g_macs = nullptr;
}  // namespace layers

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

namespace layers {

Scaling yolov8_scaling(char scale) {
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
  throw EngineError(std::string("unknown YOLOv8 scale '") + scale + "'");
}

}  // namespace layers

namespace {

class YoloV8NetImpl : public YoloNetImpl {
 public:
  YoloV8NetImpl(const ModelSpec& arch) : nc_(arch.nc) {
    const auto f = yolov8_scaling(arch.scale);
    auto ch = [&](int c) { return f.channels(c); };
    auto depth = [&](int n) { return f.repeats(n); };
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

    head = register_module(
        "22", std::make_shared<HeadImpl>(std::array<int64_t, 3>{c256, c512, c1024}, nc_,
                                         arch.task == Task::segment ? ch(256) : 0, false,
                                         arch.extra_outputs()));
  }

  ModelOutput forward(const torch::Tensor& x) override {
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

  void fuse() override {
    for (auto* c : {&l0, &l1, &l3, &l5, &l7, &l16, &l19}) (*c)->fuse();
    for (auto* c : {&l2, &l4, &l6, &l8, &l12, &l15, &l18, &l21}) (*c)->fuse();
    l9->fuse();
    head->fuse();
  }

  // The model and its layer list, two upsamples, four concats, the shared activation and the
  // pooling.
  int64_t functional_modules() const override { return 2 + 2 + 4 + 1 + 1; }

  int64_t nc_;
  Conv l0{nullptr}, l1{nullptr}, l3{nullptr}, l5{nullptr}, l7{nullptr}, l16{nullptr}, l19{nullptr};
  C2f l2{nullptr}, l4{nullptr}, l6{nullptr}, l8{nullptr}, l12{nullptr}, l15{nullptr}, l18{nullptr},
      l21{nullptr};
  SPPF l9{nullptr};
};

}  // namespace

namespace {

const char* task_suffix(Task task) {
  switch (task) {
    case Task::classify:
      return "-cls";
    case Task::segment:
      return "-seg";
    case Task::obb:
      return "-obb";
    case Task::pose:
      return "-pose";
    case Task::detect:
      break;
  }
  return "";
}

}  // namespace

const char* task_name(Task task) {
  switch (task) {
    case Task::segment:
      return "segment";
    case Task::obb:
      return "obb";
    case Task::pose:
      return "pose";
    case Task::classify:
      return "classify";
    case Task::detect:
      break;
  }
  return "detect";
}

std::string ModelSpec::name() const {
  return std::string(family == Family::yolo11 ? "yolo11" : "yolov8") + scale + task_suffix(task);
}

int ModelSpec::extra_outputs() const {
  switch (task) {
    case Task::segment:
      return kNumMasks;
    case Task::obb:
      return 1;
    case Task::pose:
      return kpt_shape[0] * kpt_shape[1];
    case Task::detect:
    case Task::classify:
      break;
  }
  return 0;
}

std::optional<ModelSpec> parse_model_name(const std::string& name) {
  auto arch = parse_task_model_name(name);
  if (arch && arch->task != Task::detect && arch->task != Task::segment) return std::nullopt;
  return arch;
}

std::optional<ModelSpec> parse_task_model_name(const std::string& name) {
  // The ecosystem writes "yolo11n"; "yolov11n" is a common spelling of the same model.
  static const std::regex re(
      R"(^yolo(v8|v?11)([nsmlx])(-seg|-obb|-pose|-cls)?(\.pt|\.yaml|\.pth)?$)", std::regex::icase);
  const auto stem = std::filesystem::path(name).filename().string();
  std::smatch m;
  if (!std::regex_match(stem, m, re)) return std::nullopt;
  ModelSpec arch;
  arch.family =
      std::tolower(m[1].str()[0]) == 'v' && m[1].str()[1] == '8' ? Family::yolov8 : Family::yolo11;
  arch.scale = char(std::tolower(m[2].str()[0]));
  const std::string suffix = m[3].matched ? m[3].str() : "";
  auto lower = [](std::string t) {
    for (auto& c : t) c = char(std::tolower(c));
    return t;
  };
  const std::string task = lower(suffix);
  arch.task = task == "-seg"    ? Task::segment
              : task == "-obb"  ? Task::obb
              : task == "-pose" ? Task::pose
              : task == "-cls"  ? Task::classify
                                : Task::detect;
  // The model tables' own nc: YOLOv8's pose table says 1 (a person), YOLO11's keeps 80.
  if (arch.task == Task::pose && arch.family == Family::yolov8) arch.nc = 1;
  if (arch.task == Task::classify) arch.nc = 1000;
  return arch;
}

YoloModelImpl::YoloModelImpl(const ModelSpec& arch, std::vector<std::string> class_names)
    : names(std::move(class_names)), arch_(arch) {
  if (arch_.nc < 1) throw EngineError("a model needs at least one class");
  if (arch_.task == Task::classify)
    throw EngineError(arch_.name() + " is an image classifier, not a network with boxes");
  names.resize(arch_.nc);
  for (int i = 0; i < arch_.nc; ++i)
    if (names[i].empty()) names[i] = "class" + std::to_string(i);
  std::shared_ptr<YoloNetImpl> net;
  if (arch_.family == Family::yolo11)
    net = make_yolo11_net(arch_);
  else
    net = std::make_shared<YoloV8NetImpl>(arch_);
  net_ = register_module("model", net);
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
  const int64_t no = 4 * kRegMax + arch_.nc;
  std::vector<torch::Tensor> flat;
  for (const auto& f : out.feats) flat.push_back(f.view({b, no, -1}));
  auto x = torch::cat(flat, 2);
  auto parts = x.split_with_sizes({4 * kRegMax, arch_.nc}, 1);
  auto [anchors, strides] = make_anchors(out.feats);
  // DFL: expectation of each side's 16-bin softmax.
  const auto a = x.size(2);
  auto dist = parts[0].view({b, 4, kRegMax, a}).softmax(2);
  dist = (dist * net_->head->dfl_weight.view({1, 1, kRegMax, 1})).sum(2);  // [B,4,A]
  auto lt = dist.slice(1, 0, 2), rb = dist.slice(1, 2, 4);
  auto anc = anchors.t().unsqueeze(0);  // [1,2,A]
  auto x1y1 = anc - lt, x2y2 = anc + rb;
  auto st = strides.t().unsqueeze(0);  // [1,1,A]
  if (arch_.task == Task::obb) {
    // The distances are along the box's own axes: its centre lies (rb - lt) / 2 from the
    // anchor in that frame, turned by the angle into the image's.
    auto angle = (out.extra.sigmoid() - 0.25) * M_PI;  // [B,1,A]
    auto half = (rb - lt) / 2;
    auto cos = angle.cos(), sin = angle.sin();
    auto xf = half.slice(1, 0, 1), yf = half.slice(1, 1, 2);
    auto centre = torch::cat({xf * cos - yf * sin, xf * sin + yf * cos}, 1) + anc;
    auto rbox = torch::cat({centre, lt + rb}, 1) * st;
    return torch::cat({rbox, parts[1].sigmoid(), angle}, 1);
  }
  auto dbox = torch::cat({(x1y1 + x2y2) / 2, x2y2 - x1y1}, 1) * st;
  std::vector<torch::Tensor> rows{dbox, parts[1].sigmoid()};
  if (is_segment()) rows.push_back(out.mask_coef);
  if (arch_.task == Task::pose) rows.push_back(decode_keypoints(out.extra, anc, st));
  return torch::cat(rows, 1);
}

torch::Tensor YoloModelImpl::decode_keypoints(const torch::Tensor& raw,
                                              const torch::Tensor& anchors,
                                              const torch::Tensor& strides) const {
  // Each keypoint is an offset of up to about two cells from its anchor's cell corner, in cells.
  const int64_t b = raw.size(0), k = arch_.kpt_shape[0], d = arch_.kpt_shape[1], a = raw.size(2);
  auto kp = raw.view({b, k, d, a});
  auto xy = (kp.slice(2, 0, 2) * 2 + (anchors.unsqueeze(1) - 0.5)) * strides.unsqueeze(1);
  auto parts = d == 3 ? torch::cat({xy, kp.slice(2, 2, 3).sigmoid()}, 2) : xy;
  return parts.view({b, k * d, a});
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
  // (yolov8n 225): ours plus those our forward() writes as plain functions; fused layers no
  // longer count their BatchNorm.
  int64_t batchnorms = 0;
  for (const auto& m : modules(/*include_self=*/false))
    if (dynamic_cast<const torch::nn::BatchNorm2dImpl*>(m.get())) ++batchnorms;
  info.layers = int64_t(modules(/*include_self=*/false).size()) + net_->functional_modules() -
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

std::string thousands(int64_t v) {
  const auto digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string YoloModelImpl::summary() const {
  const auto i = info();
  std::ostringstream out;
  out << (arch_.family == Family::yolo11 ? "YOLO11" : "YOLOv8") << arch_.scale
      << task_suffix(arch_.task) << (fused_ ? " summary (fused): " : " summary: ") << i.layers
      << " layers, " << thousands(i.parameters) << " parameters, " << thousands(i.gradients)
      << " gradients, ";
  out.setf(std::ios::fixed);
  out.precision(1);
  out << i.gflops << " GFLOPs";
  return out.str();
}

void copy_module_state(const torch::nn::Module& from, torch::nn::Module& to) {
  torch::NoGradGuard no_grad;
  auto src_params = from.named_parameters(true);
  for (auto& p : to.named_parameters(true)) p.value().copy_(src_params[p.key()]);
  auto src_buffers = from.named_buffers(true);
  for (auto& b : to.named_buffers(true)) b.value().copy_(src_buffers[b.key()]);
  to.train(from.is_training());
}

YoloModel clone_model(const YoloModel& model) {
  YoloModel copy(model->arch(), model->names);
  copy_module_state(*model, *copy);
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

namespace orvane::engine {

void load_named_tensors(YoloModelImpl& model, const std::map<std::string, torch::Tensor>& tensors) {
  // A fused model computes with copies of the weights taken at fusing: loading would not reach
  // them.
  if (model.is_fused()) throw EngineError("cannot load weights into a fused model");
  load_module_tensors(model, model.arch().name(), tensors);
}

void load_module_tensors(torch::nn::Module& model, const std::string& arch_name,
                         const std::map<std::string, torch::Tensor>& tensors) {
  std::map<std::string, torch::Tensor> targets;
  for (const auto& p : model.named_parameters(true)) targets[p.key()] = p.value();
  for (const auto& b : model.named_buffers(true)) targets[b.key()] = b.value();
  // Messages built with a stream: GCC 12 warns falsely about long chains of string concatenation.
  auto shape_text = [](const torch::Tensor& t) {
    std::ostringstream s;
    s << "[";
    for (int64_t i = 0; i < t.dim(); ++i) s << (i ? ", " : "") << t.size(i);
    s << "]";
    return s.str();
  };
  auto optional = [](const std::string& key) {
    static const std::string counter = ".num_batches_tracked";
    return key.size() >= counter.size() &&
           key.compare(key.size() - counter.size(), counter.size(), counter) == 0;
  };
  // Every check before the first copy: a file that does not fit leaves the model as it was.
  std::ostringstream msg;
  msg << "weights do not fit " << arch_name << ":";
  size_t missing = 0, unexpected = 0;
  std::string first_missing, first_unexpected;
  for (const auto& [key, target] : targets) {
    auto it = tensors.find(key);
    if (it == tensors.end()) {
      if (!optional(key) && missing++ == 0) first_missing = key;
      continue;
    }
    if (!it->second.defined() || it->second.sizes() != target.sizes()) {
      msg << " " << key << " is "
          << (it->second.defined() ? shape_text(it->second) : std::string("empty"))
          << ", the model's " << shape_text(target);
      throw EngineError(msg.str());
    }
  }
  for (const auto& [key, value] : tensors)
    if (!targets.count(key) && unexpected++ == 0) first_unexpected = key;
  if (missing > 0 || unexpected > 0) {
    if (missing > 0) msg << " " << missing << " missing (first " << first_missing << ")";
    if (missing > 0 && unexpected > 0) msg << ",";
    if (unexpected > 0)
      msg << " " << unexpected << " unexpected (first " << first_unexpected << ")";
    throw EngineError(msg.str());
  }
  torch::NoGradGuard no_grad;
  for (auto& [key, target] : targets)
    if (auto it = tensors.find(key); it != tensors.end())
      target.copy_(it->second.to(target.scalar_type()));
}

}  // namespace orvane::engine
