#include "engine/yolo11.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "engine/error.h"
#include "engine/gemm.h"

namespace orvane::engine {

namespace nn = torch::nn;
using layers::Bottleneck;
using layers::Conv;

namespace yolo11 {

C3kImpl::C3kImpl(int64_t c1, int64_t c2, int64_t n, bool shortcut) {
  const auto c = int64_t(c2 * 0.5);
  cv1 = register_module("cv1", Conv(c1, c, 1));
  cv2 = register_module("cv2", Conv(c1, c, 1));
  cv3 = register_module("cv3", Conv(2 * c, c2, 1));
  auto list = register_module("m", nn::ModuleList());
  for (int64_t i = 0; i < n; ++i) {
    m.push_back(Bottleneck(c, c, shortcut, 1.0));
    list->push_back(m.back());
  }
}

torch::Tensor C3kImpl::forward(const torch::Tensor& x) {
  auto y = cv1(x);
  for (auto& b : m) y = b(y);
  return cv3(torch::cat({y, cv2(x)}, 1));
}

void C3kImpl::fuse() {
  cv1->fuse();
  cv2->fuse();
  cv3->fuse();
  for (auto& b : m) b->fuse();
}

C3k2Impl::C3k2Impl(int64_t c1, int64_t c2, int64_t n, bool c3k, double e, bool shortcut)
    : c_(int64_t(c2 * e)) {
  cv1 = register_module("cv1", Conv(c1, 2 * c_, 1));
  cv2 = register_module("cv2", Conv((2 + n) * c_, c2, 1));
  auto list = register_module("m", nn::ModuleList());
  for (int64_t i = 0; i < n; ++i) {
    if (c3k) {
      c3k_blocks.push_back(C3k(c_, c_, 2, shortcut));
      list->push_back(c3k_blocks.back());
    } else {
      bottlenecks.push_back(Bottleneck(c_, c_, shortcut, 0.5));
      list->push_back(bottlenecks.back());
    }
  }
}

torch::Tensor C3k2Impl::forward(const torch::Tensor& x) {
  auto y = cv1(x).chunk(2, 1);
  y.reserve(2 + c3k_blocks.size() + bottlenecks.size());
  for (auto& b : c3k_blocks) y.push_back(b(y.back()));
  for (auto& b : bottlenecks) y.push_back(b(y.back()));
  return cv2(torch::cat(y, 1));
}

void C3k2Impl::fuse() {
  cv1->fuse();
  cv2->fuse();
  for (auto& b : c3k_blocks) b->fuse();
  for (auto& b : bottlenecks) b->fuse();
}

AttentionImpl::AttentionImpl(int64_t dim, int64_t num_heads, double attn_ratio)
    : heads_(num_heads), head_dim_(dim / num_heads) {
  if (num_heads < 1 || dim % num_heads != 0)
    throw EngineError("attention width " + std::to_string(dim) + " does not split into " +
                      std::to_string(num_heads) + " heads");
  key_dim_ = int64_t(double(head_dim_) * attn_ratio);
  scale_ = 1.0 / std::sqrt(double(key_dim_));
  qkv = register_module("qkv", Conv(dim, dim + 2 * key_dim_ * heads_, 1, 1, 1, false));
  proj = register_module("proj", Conv(dim, dim, 1, 1, 1, false));
  pe = register_module("pe", layers::DWConv(dim, dim, 3, 1, false));
}

torch::Tensor AttentionImpl::forward(const torch::Tensor& x) {
  const int64_t b = x.size(0), c = x.size(1), h = x.size(2), w = x.size(3), n = h * w;
  const int64_t g = b * heads_;
  // Per head the channels read q (key_dim), k (key_dim), v (head_dim).
  auto parts = qkv(x)
                   .reshape({g, 2 * key_dim_ + head_dim_, n})
                   .split_with_sizes({key_dim_, key_dim_, head_dim_}, 1);
  const auto& q = parts[0];  // [g, key_dim, n]
  const auto& k = parts[1];
  const auto& v = parts[2];  // [g, head_dim, n]
  // Both products through oneDNN: torch::bmm would run them on the system BLAS, which at 640 px
  // made this one block the slowest layer of a training step.
  auto attn = (bmm_onednn(q.transpose(1, 2), k) * scale_).softmax(-1);  // [g, n(query), n(key)]
  auto out = bmm_onednn(v, attn.transpose(1, 2)).view({b, c, h, w});    // [g, head_dim, n]
  return proj(out + pe(v.reshape({b, c, h, w})));
}

void AttentionImpl::fuse() {
  qkv->fuse();
  proj->fuse();
  pe->fuse();
}

PSABlockImpl::PSABlockImpl(int64_t c, double attn_ratio, int64_t num_heads) {
  attn = register_module("attn", Attention(c, num_heads, attn_ratio));
  auto ffn = register_module("ffn", nn::ModuleList());
  ffn0 = Conv(c, 2 * c, 1);
  ffn1 = Conv(2 * c, c, 1, 1, 1, false);
  ffn->push_back(ffn0);
  ffn->push_back(ffn1);
}

torch::Tensor PSABlockImpl::forward(const torch::Tensor& x) {
  auto y = x + attn(x);
  return y + ffn1(ffn0(y));
}

void PSABlockImpl::fuse() {
  attn->fuse();
  ffn0->fuse();
  ffn1->fuse();
}

C2PSAImpl::C2PSAImpl(int64_t c1, int64_t c2, int64_t n, double e) : c_(int64_t(c1 * e)) {
  if (c1 != c2)
    throw EngineError("C2PSA keeps its width (" + std::to_string(c1) + " in, " +
                      std::to_string(c2) + " out)");
  cv1 = register_module("cv1", Conv(c1, 2 * c_, 1));
  cv2 = register_module("cv2", Conv(2 * c_, c1, 1));
  auto list = register_module("m", nn::ModuleList());
  for (int64_t i = 0; i < n; ++i) {
    m.push_back(PSABlock(c_, 0.5, std::max<int64_t>(c_ / 64, 1)));
    list->push_back(m.back());
  }
}

torch::Tensor C2PSAImpl::forward(const torch::Tensor& x) {
  auto halves = cv1(x).split(c_, 1);
  auto y = halves[1];
  for (auto& block : m) y = block(y);
  return cv2(torch::cat({halves[0], y}, 1));
}

void C2PSAImpl::fuse() {
  cv1->fuse();
  cv2->fuse();
  for (auto& block : m) block->fuse();
}

layers::Scaling scaling(char scale) {
  switch (scale) {
    case 'n':
      return {0.50, 0.25, 1024};
    case 's':
      return {0.50, 0.50, 1024};
    case 'm':
      return {0.50, 1.00, 512};
    case 'l':
      return {1.00, 1.00, 512};
    case 'x':
      return {1.00, 1.50, 512};
  }
  throw EngineError(std::string("unknown YOLO11 scale '") + scale + "'");
}

}  // namespace yolo11

namespace {

using namespace yolo11;

class Yolo11NetImpl : public YoloNetImpl {
 public:
  explicit Yolo11NetImpl(const ModelSpec& arch) {
    const auto f = scaling(arch.scale);
    auto ch = [&](int c) { return f.channels(c); };
    const int64_t n = f.repeats(2);
    // The larger scales use C3k blocks in every C3k2, whatever the layer table says.
    const bool big = arch.scale == 'm' || arch.scale == 'l' || arch.scale == 'x';
    const auto c64 = ch(64), c128 = ch(128), c256 = ch(256), c512 = ch(512), c1024 = ch(1024);
    l0 = register_module("0", Conv(3, c64, 3, 2));
    l1 = register_module("1", Conv(c64, c128, 3, 2));
    l2 = register_module("2", C3k2(c128, c256, n, big, 0.25));
    l3 = register_module("3", Conv(c256, c256, 3, 2));
    l4 = register_module("4", C3k2(c256, c512, n, big, 0.25));
    l5 = register_module("5", Conv(c512, c512, 3, 2));
    l6 = register_module("6", C3k2(c512, c512, n, true));
    l7 = register_module("7", Conv(c512, c1024, 3, 2));
    l8 = register_module("8", C3k2(c1024, c1024, n, true));
    l9 = register_module("9", layers::SPPF(c1024, c1024, 5));
    l10 = register_module("10", C2PSA(c1024, c1024, n));
    l13 = register_module("13", C3k2(c1024 + c512, c512, n, big));
    l16 = register_module("16", C3k2(c512 + c512, c256, n, big));
    l17 = register_module("17", Conv(c256, c256, 3, 2));
    l19 = register_module("19", C3k2(c256 + c512, c512, n, big));
    l20 = register_module("20", Conv(c512, c512, 3, 2));
    l22 = register_module("22", C3k2(c512 + c1024, c1024, n, true));
    head = register_module(
        "23", std::make_shared<layers::HeadImpl>(std::array<int64_t, 3>{c256, c512, c1024}, arch.nc,
                                                 arch.task == Task::segment ? ch(256) : 0, true,
                                                 arch.extra_outputs()));
  }

  ModelOutput forward(const torch::Tensor& x) override {
    auto up = [](const torch::Tensor& t) {
      return torch::upsample_nearest2d(t, {t.size(2) * 2, t.size(3) * 2});
    };
    auto p3 = l4(l3(l2(l1(l0(x)))));
    auto p4 = l6(l5(p3));
    auto p5 = l10(l9(l8(l7(p4))));
    auto h13 = l13(torch::cat({up(p5), p4}, 1));
    auto o3 = l16(torch::cat({up(h13), p3}, 1));
    auto o4 = l19(torch::cat({l17(o3), h13}, 1));
    auto o5 = l22(torch::cat({l20(o4), p5}, 1));
    return head->forward({o3, o4, o5});
  }

  void fuse() override {
    for (auto* c : {&l0, &l1, &l3, &l5, &l7, &l17, &l20}) (*c)->fuse();
    for (auto* c : {&l2, &l4, &l6, &l8, &l13, &l16, &l19, &l22}) (*c)->fuse();
    l9->fuse();
    l10->fuse();
    head->fuse();
  }

  // As YOLOv8's (the model and its layer list, two upsamples, four concats, the shared
  // activation, the pooling), plus the placeholder that stands for "no activation" in each
  // activation-free Conv of the attention blocks (qkv, proj, pe and the FFN's second).
  int64_t functional_modules() const override {
    return 2 + 2 + 4 + 1 + 1 + 4 * int64_t(l10->m.size());
  }

  Conv l0{nullptr}, l1{nullptr}, l3{nullptr}, l5{nullptr}, l7{nullptr}, l17{nullptr}, l20{nullptr};
  C3k2 l2{nullptr}, l4{nullptr}, l6{nullptr}, l8{nullptr}, l13{nullptr}, l16{nullptr}, l19{nullptr},
      l22{nullptr};
  layers::SPPF l9{nullptr};
  C2PSA l10{nullptr};
};

}  // namespace

std::shared_ptr<YoloNetImpl> make_yolo11_net(const ModelSpec& arch) {
  return std::make_shared<Yolo11NetImpl>(arch);
}

}  // namespace orvane::engine
