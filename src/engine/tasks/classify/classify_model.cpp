#include "engine/tasks/classify/classify_model.h"

#include <sstream>

#include "engine/error.h"
#include "engine/layers.h"
#include "engine/yolo11.h"

namespace orvane::engine::classify {

namespace nn = torch::nn;
using layers::Conv;

std::optional<ClassifySpec> parse_classify_name(const std::string& name) {
  auto parsed = parse_task_model_name(name);
  if (!parsed || parsed->task != Task::classify) return std::nullopt;
  return parsed;
}

ClassifyHeadImpl::ClassifyHeadImpl(int64_t c1, int64_t nc) {
  conv = register_module("conv", Conv(c1, kHeadChannels, 1));
  linear = register_module("linear", nn::Linear(kHeadChannels, nc));
}

torch::Tensor ClassifyHeadImpl::forward(const torch::Tensor& x) {
  // Dropout is 0 in the published head: nothing to apply.
  return linear(conv(x).mean({2, 3}));
}

void ClassifyHeadImpl::fuse() { conv->fuse(); }

namespace {

// Appends `module` as the next numbered layer and remembers how to fuse it.
template <typename M>
void add_layer(nn::Sequential& net, std::vector<std::function<void()>>& fusers, M module) {
  net->push_back(module);
  fusers.push_back([module]() mutable { module->fuse(); });
}

void build_yolov8(nn::Sequential& net, std::vector<std::function<void()>>& fusers,
                  const ClassifySpec& arch) {
  auto f = layers::yolov8_scaling(arch.scale);
  f.max_channels = 1024;  // the classifiers keep 1024 at every scale
  auto ch = [&](int c) { return f.channels(c); };
  const auto c64 = ch(64), c128 = ch(128), c256 = ch(256), c512 = ch(512), c1024 = ch(1024);
  add_layer(net, fusers, Conv(3, c64, 3, 2));
  add_layer(net, fusers, Conv(c64, c128, 3, 2));
  add_layer(net, fusers, layers::C2f(c128, c128, f.repeats(3), true));
  add_layer(net, fusers, Conv(c128, c256, 3, 2));
  add_layer(net, fusers, layers::C2f(c256, c256, f.repeats(6), true));
  add_layer(net, fusers, Conv(c256, c512, 3, 2));
  add_layer(net, fusers, layers::C2f(c512, c512, f.repeats(6), true));
  add_layer(net, fusers, Conv(c512, c1024, 3, 2));
  add_layer(net, fusers, layers::C2f(c1024, c1024, f.repeats(3), true));
  add_layer(net, fusers, ClassifyHead(c1024, arch.nc));
}

void build_yolo11(nn::Sequential& net, std::vector<std::function<void()>>& fusers,
                  const ClassifySpec& arch) {
  using yolo11::C2PSA;
  using yolo11::C3k2;
  const auto f = yolo11::scaling(arch.scale);
  auto ch = [&](int c) { return f.channels(c); };
  const int64_t n = f.repeats(2);
  // As in detection, the larger scales use C3k blocks in every C3k2.
  const bool big = arch.scale == 'm' || arch.scale == 'l' || arch.scale == 'x';
  const auto c64 = ch(64), c128 = ch(128), c256 = ch(256), c512 = ch(512), c1024 = ch(1024);
  add_layer(net, fusers, Conv(3, c64, 3, 2));
  add_layer(net, fusers, Conv(c64, c128, 3, 2));
  add_layer(net, fusers, C3k2(c128, c256, n, big, 0.25));
  add_layer(net, fusers, Conv(c256, c256, 3, 2));
  add_layer(net, fusers, C3k2(c256, c512, n, big, 0.25));
  add_layer(net, fusers, Conv(c512, c512, 3, 2));
  add_layer(net, fusers, C3k2(c512, c512, n, true));
  add_layer(net, fusers, Conv(c512, c1024, 3, 2));
  add_layer(net, fusers, C3k2(c1024, c1024, n, true));
  add_layer(net, fusers, C2PSA(c1024, c1024, n));
  add_layer(net, fusers, ClassifyHead(c1024, arch.nc));
}

}  // namespace

ClassifyModelImpl::ClassifyModelImpl(const ClassifySpec& arch, std::vector<std::string> class_names)
    : names(std::move(class_names)), spec_(arch) {
  if (spec_.nc < 1) throw EngineError("a model needs at least one class");
  spec_.task = Task::classify;
  names.resize(size_t(spec_.nc));
  for (int i = 0; i < spec_.nc; ++i)
    if (names[size_t(i)].empty()) names[size_t(i)] = "class" + std::to_string(i);
  net_ = nn::Sequential();
  if (spec_.family == Family::yolo11)
    build_yolo11(net_, fusers_, spec_);
  else
    build_yolov8(net_, fusers_, spec_);
  register_module("model", net_);
}

torch::Tensor ClassifyModelImpl::forward(const torch::Tensor& images) {
  TORCH_CHECK(images.dim() == 4 && images.size(1) == 3, "images must be [B,3,H,W]");
  TORCH_CHECK(images.size(2) % 32 == 0 && images.size(3) % 32 == 0,
              "image height and width must be multiples of 32");
  return net_->forward(images);
}

torch::Tensor ClassifyModelImpl::probabilities(const torch::Tensor& images) {
  return forward(images).softmax(1);
}

void ClassifyModelImpl::fuse() {
  if (fused_) return;
  for (auto& f : fusers_) f();
  fused_ = true;
}

int64_t ClassifyModelImpl::parameter_count() const {
  int64_t n = 0;
  for (const auto& p : parameters()) n += p.numel();
  return n;
}

std::string ClassifyModelImpl::summary() const {
  int64_t grads = 0;
  for (const auto& p : parameters())
    if (p.requires_grad()) grads += p.numel();
  std::ostringstream out;
  out << (spec_.family == Family::yolo11 ? "YOLO11" : "YOLOv8") << spec_.scale << "-cls"
      << (fused_ ? " summary (fused): " : " summary: ") << thousands(parameter_count())
      << " parameters, " << thousands(grads) << " gradients";
  return out.str();
}

ClassifyModel clone_classifier(const ClassifyModel& model) {
  ClassifyModel copy(model->spec(), model->names);
  copy_module_state(*model, *copy);
  if (model->is_fused()) copy->fuse();
  return copy;
}

void load_classifier_tensors(ClassifyModelImpl& model,
                             const std::map<std::string, torch::Tensor>& tensors) {
  if (model.is_fused()) throw EngineError("cannot load weights into a fused model");
  load_module_tensors(model, model.spec().name(), tensors);
}

}  // namespace orvane::engine::classify
