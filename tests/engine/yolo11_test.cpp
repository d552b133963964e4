// YOLO11: the published sizes, each block's shapes, the attention against a plain double
// implementation, and state-dict names and shapes equal to the ecosystem's own files.

#include "engine/yolo11.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "engine/error.h"
#include "engine/gemm.h"
#include "engine/model.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;
using Shape = std::vector<int64_t>;

int64_t parameter_count(const YoloModel& model) {
  int64_t n = 0;
  for (const auto& p : model->parameters()) n += p.numel();
  return n;
}

// The published parameter counts with 80 classes, DFL projection included.
TEST(Yolo11Test, ParameterCountsMatchThePublishedArchitectures) {
  const std::vector<std::pair<std::string, int64_t>> expected{
      {"yolo11n.pt", 2624080},      {"yolo11s.pt", 9458752},      {"yolo11m.pt", 20114688},
      {"yolo11l.pt", 25372160},     {"yolo11x.pt", 56966176},     {"yolo11n-seg.pt", 2876848},
      {"yolo11s-seg.pt", 10113248}, {"yolo11m-seg.pt", 22420896}, {"yolo11l-seg.pt", 27678368},
      {"yolo11x-seg.pt", 62142656}};
  for (const auto& [name, count] : expected) {
    auto arch = parse_model_name(name);
    ASSERT_TRUE(arch) << name;
    EXPECT_EQ(arch->family, Family::yolo11) << name;
    EXPECT_EQ(parameter_count(YoloModel(*arch)), count) << name;
  }
}

TEST(Yolo11Test, NamesParseAndRoundTrip) {
  auto a = parse_model_name("weights/YOLO11x-seg.pt");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->scale, 'x');
  EXPECT_EQ(a->task, Task::segment);
  EXPECT_EQ(a->name(), "yolo11x-seg");
  EXPECT_EQ(parse_model_name("yolov11s.yaml")->name(), "yolo11s");
  EXPECT_EQ(parse_model_name("yolov8n.pt")->family, Family::yolov8);
  EXPECT_EQ(parse_model_name(parse_model_name("yolo11m")->name())->family, Family::yolo11);
  for (const char* bad : {"yolo11q.pt", "yolo12n.pt", "yolo1n.pt", "yolov11n.onnx", "yolo11"})
    EXPECT_FALSE(parse_model_name(bad)) << bad;
}

TEST(Yolo11Test, SummaryNamesTheFamilyAndCountsTheFlops) {
  YoloModel model(*parse_model_name("yolo11n.pt"));
  const auto info = model->info();
  EXPECT_EQ(info.gradients, 2624080 - 16);  // the DFL projection is fixed
  EXPECT_NEAR(info.gflops, 6.5, 0.3);
  EXPECT_EQ(model->summary().rfind("YOLO11n summary: ", 0), 0u) << model->summary();
  EXPECT_NE(model->summary().find("2,624,080 parameters"), std::string::npos);
}

// Each block alone: output shapes, the split widths of C3k2 and C2PSA, the heads of the attention.
TEST(Yolo11Test, BlocksGiveThePublishedShapes) {
  torch::manual_seed(0);
  auto x = torch::rand({2, 32, 12, 8});
  yolo11::C3k2 plain(32, 64, 1, false, 0.25);
  EXPECT_EQ(plain->forward(x).sizes(), (Shape{2, 64, 12, 8}));
  EXPECT_EQ(plain->cv1->conv->weight.sizes(), (Shape{32, 32, 1, 1}));  // 2c, c = 64 * 0.25
  EXPECT_EQ(plain->cv2->conv->weight.sizes(), (Shape{64, 48, 1, 1}));  // (2 + n) c
  ASSERT_EQ(plain->bottlenecks.size(), 1u);
  EXPECT_EQ(plain->bottlenecks[0]->cv1->conv->weight.sizes(), (Shape{8, 16, 3, 3}));  // c/2

  yolo11::C3k2 deep(32, 48, 2, true);
  EXPECT_EQ(deep->forward(x).sizes(), (Shape{2, 48, 12, 8}));
  ASSERT_EQ(deep->c3k_blocks.size(), 2u);
  EXPECT_EQ(deep->cv2->conv->weight.sizes(), (Shape{48, 96, 1, 1}));
  auto c3k = deep->c3k_blocks[0];
  EXPECT_EQ(c3k->m.size(), 2u);
  EXPECT_EQ(c3k->cv1->conv->weight.sizes(), (Shape{12, 24, 1, 1}));
  EXPECT_EQ(c3k->m[0]->cv1->conv->weight.sizes(), (Shape{12, 12, 3, 3}));  // no reduction
  EXPECT_EQ(c3k->forward(torch::rand({1, 24, 5, 7})).sizes(), (Shape{1, 24, 5, 7}));

  yolo11::C2PSA psa(256, 256, 2);
  auto y = torch::rand({1, 256, 3, 5});
  EXPECT_EQ(psa->forward(y).sizes(), (Shape{1, 256, 3, 5}));
  ASSERT_EQ(psa->m.size(), 2u);
  const auto& attn = psa->m[0]->attn;
  EXPECT_EQ(attn->heads(), 2);  // 128 / 64
  EXPECT_EQ(attn->head_dim(), 64);
  EXPECT_EQ(attn->key_dim(), 32);
  EXPECT_EQ(attn->qkv->conv->weight.sizes(), (Shape{256, 128, 1, 1}));  // dim + 2 k heads
  EXPECT_EQ(attn->pe->conv->weight.sizes(), (Shape{128, 1, 3, 3}));     // depthwise
  EXPECT_EQ(psa->m[0]->ffn0->conv->weight.sizes(), (Shape{256, 128, 1, 1}));
  EXPECT_THROW(yolo11::Attention(100, 3), EngineError);
}

TEST(Yolo11Test, NetworksGiveTheHeadOutputsOfEveryTask) {
  for (auto task : {Task::detect, Task::segment}) {
    YoloModel model(ModelSpec{'n', task, 3, Family::yolo11});
    model->eval();
    torch::NoGradGuard no_grad;
    auto out = model->forward(torch::rand({2, 3, 64, 96}));
    ASSERT_EQ(out.feats.size(), 3u);
    EXPECT_EQ(out.feats[0].sizes(), (Shape{2, 64 + 3, 8, 12}));
    EXPECT_EQ(out.feats[2].sizes(), (Shape{2, 64 + 3, 2, 3}));
    const int64_t anchors = 8 * 12 + 4 * 6 + 2 * 3;
    const int64_t rows = 4 + 3 + (task == Task::segment ? 32 : 0);
    EXPECT_EQ(model->decode(out).sizes(), (Shape{2, rows, anchors}));
    if (task == Task::segment) {
      EXPECT_EQ(out.proto.sizes(), (Shape{2, 32, 16, 24}));
      EXPECT_EQ(out.mask_coef.sizes(), (Shape{2, 32, anchors}));
    }
    // Fusing the BatchNorms changes no output beyond float rounding.
    auto before = model->decode(out);
    auto fused = clone_model(model);
    fused->fuse();
    auto x = torch::rand({1, 3, 64, 64});
    auto a = model->decode(model->forward(x)), b = fused->decode(fused->forward(x));
    EXPECT_LT(((a - b).abs() / (1 + a.abs())).max().item<double>(), 1e-4);
  }
}

// The attention in plain double arithmetic from its weights: BatchNorm in evaluation form, the
// products and the softmax as explicit sums over positions.
torch::Tensor plain_attention(yolo11::AttentionImpl& m, const torch::Tensor& x) {
  auto conv_bn = [](layers::ConvImpl& c, const torch::Tensor& in, int64_t groups) {
    auto y = torch::conv2d(in, c.conv->weight, {}, 1, c.conv->weight.size(2) / 2, 1, groups);
    auto& bn = *c.bn;
    auto view = [](const torch::Tensor& t) { return t.view({1, -1, 1, 1}); };
    return (y - view(bn.running_mean)) / torch::sqrt(view(bn.running_var) + kBnEps) *
               view(bn.weight) +
           view(bn.bias);
  };
  const int64_t c = x.size(1), h = x.size(2), w = x.size(3), n = h * w;
  const int64_t heads = m.heads(), kd = m.key_dim(), hd = m.head_dim();
  auto qkv = conv_bn(*m.qkv, x, 1).view({heads, 2 * kd + hd, n});
  auto out = torch::zeros({heads, hd, n}, x.options());
  for (int64_t g = 0; g < heads; ++g) {
    for (int64_t i = 0; i < n; ++i) {
      std::vector<torch::Tensor> scores;
      for (int64_t j = 0; j < n; ++j) {
        auto s = torch::zeros({}, x.options());
        for (int64_t d = 0; d < kd; ++d) s = s + qkv[g][d][i] * qkv[g][kd + d][j];
        scores.push_back(s / std::sqrt(double(kd)));
      }
      auto top = scores[0];
      for (auto& s : scores) top = torch::maximum(top, s);
      auto total = torch::zeros({}, x.options());
      for (auto& s : scores) total = total + torch::exp(s - top);
      for (int64_t j = 0; j < n; ++j)
        out.select(0, g).select(1, i).add_(qkv[g].slice(0, 2 * kd, 2 * kd + hd).select(1, j) *
                                           (torch::exp(scores[j] - top) / total));
    }
  }
  auto v = qkv.slice(1, 2 * kd, 2 * kd + hd).reshape({1, c, h, w});
  auto sum = out.reshape({1, c, h, w}) + conv_bn(*m.pe, v, c);
  return conv_bn(*m.proj, sum, 1);
}

// A module in evaluation mode with BatchNorm statistics and affine terms far from the defaults.
yolo11::Attention double_attention(int64_t dim, int64_t heads) {
  torch::manual_seed(7);
  yolo11::Attention m(dim, heads);
  m->to(torch::kDouble);
  torch::NoGradGuard no_grad;
  for (auto& sub : m->modules(false))
    if (auto* bn = dynamic_cast<torch::nn::BatchNorm2dImpl*>(sub.get())) {
      bn->running_mean.normal_(0.0, 0.3);
      bn->running_var.uniform_(0.5, 2.0);
      bn->weight.normal_(1.0, 0.3);
      bn->bias.normal_(0.0, 0.3);
    }
  m->eval();
  return m;
}

TEST(Yolo11Test, AttentionMatchesAPlainDoubleImplementation) {
  auto m = double_attention(32, 2);
  auto x = torch::randn({1, 32, 3, 4}, torch::kDouble);
  torch::NoGradGuard no_grad;
  auto got = m->forward(x), want = plain_attention(*m, x);
  ASSERT_EQ(got.sizes(), want.sizes());
  EXPECT_LT((got - want).abs().max().item<double>(), 1e-10);
}

// Central finite differences against autograd, for a scalar function of one tensor, on a sample
// of its elements.
void expect_gradient_matches(const std::function<torch::Tensor()>& f, torch::Tensor x,
                             int64_t samples) {
  x.mutable_grad() = torch::Tensor();
  f().backward();
  auto analytic = x.grad().clone().view({-1});
  auto flat = x.data().view({-1});
  const double h = 1e-6;
  const int64_t step = std::max<int64_t>(flat.numel() / samples, 1);
  for (int64_t i = 0; i < flat.numel(); i += step) {
    const double keep = flat[i].item<double>();
    torch::NoGradGuard no_grad;
    flat[i] = keep + h;
    const double plus = f().item<double>();
    flat[i] = keep - h;
    const double minus = f().item<double>();
    flat[i] = keep;
    EXPECT_NEAR(analytic[i].item<double>(), (plus - minus) / (2 * h), 1e-6) << "element " << i;
  }
}

TEST(Yolo11Test, AttentionGradientsMatchFiniteDifferences) {
  auto m = double_attention(16, 2);
  auto x = torch::randn({2, 16, 2, 3}, torch::kDouble).set_requires_grad(true);
  auto r = torch::randn({2, 16, 2, 3}, torch::kDouble);
  auto loss = [&] { return (m->forward(x) * r).sum(); };
  expect_gradient_matches(loss, x, 40);
  // Through both products to the weights that make the queries, keys and values.
  expect_gradient_matches(loss, m->qkv->conv->weight, 40);
  expect_gradient_matches(loss, m->pe->conv->weight, 20);
}

TEST(Yolo11Test, OneDnnBatchedProductEqualsBmmWithGradients) {
  torch::manual_seed(3);
  for (auto [g, mm, k, n] : std::vector<std::array<int64_t, 4>>{{2, 5, 3, 7}, {4, 1, 8, 1}}) {
    auto a = torch::randn({g, mm, k}).set_requires_grad(true);
    auto b = torch::randn({g, k, n}).set_requires_grad(true);
    auto got = bmm_onednn(a, b);
    auto want = torch::bmm(a, b);
    EXPECT_TRUE(torch::allclose(got, want, 1e-5, 1e-5));
    auto r = torch::randn({g, mm, n});
    auto ga = torch::autograd::grad({(got * r).sum()}, {a, b});
    auto gb = torch::autograd::grad({(want * r).sum()}, {a, b});
    EXPECT_TRUE(torch::allclose(ga[0], gb[0], 1e-5, 1e-5));
    EXPECT_TRUE(torch::allclose(ga[1], gb[1], 1e-5, 1e-5));
  }
  // Non-contiguous operands (transposed views, as the attention passes them).
  auto a = torch::randn({3, 6, 4}), b = torch::randn({3, 5, 6});
  EXPECT_TRUE(torch::allclose(bmm_onednn(a.transpose(1, 2), b.transpose(1, 2)),
                              torch::bmm(a.transpose(1, 2), b.transpose(1, 2)), 1e-5, 1e-5));
}

// "key d0,d1,..." lines, as scripts/list_pt_keys.py lists an ecosystem file.
std::map<std::string, Shape> read_keys(const fs::path& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::map<std::string, Shape> keys;
  for (std::string line; std::getline(in, line);) {
    std::istringstream s(line);
    std::string key, dims;
    s >> key >> dims;
    Shape shape;
    std::istringstream d(dims);
    for (std::string v; std::getline(d, v, ',');) shape.push_back(std::stoll(v));
    keys[key] = shape;
  }
  return keys;
}

std::map<std::string, torch::Tensor> state_of(YoloModelImpl& model) {
  std::map<std::string, torch::Tensor> state;
  for (const auto& p : model.named_parameters(true)) state[p.key()] = p.value();
  for (const auto& b : model.named_buffers(true)) state[b.key()] = b.value();
  return state;
}

// The keys and shapes of the ecosystem's yolo11n(-seg) trained on the two-class shapes set.
TEST(Yolo11Test, StateDictEqualsTheEcosystemFiles) {
  const char* source = std::getenv("ORVANE_SOURCE_DIR");
  ASSERT_TRUE(source) << "ORVANE_SOURCE_DIR is set by CTest";
  const fs::path data = fs::path(source) / "tests" / "data";
  for (auto [file, task, params] : std::vector<std::tuple<const char*, Task, int64_t>>{
           {"yolo11n-shapes.keys", Task::detect, 2590230},
           {"yolo11n-seg-shapes.keys", Task::segment, 2842998}}) {
    SCOPED_TRACE(file);
    YoloModel model(ModelSpec{'n', task, 2, Family::yolo11});
    EXPECT_EQ(parameter_count(model), params);  // the figure the ecosystem printed for the file
    const auto theirs = read_keys(data / file);
    ASSERT_FALSE(theirs.empty());
    std::map<std::string, Shape> ours;
    for (const auto& [key, t] : state_of(*model)) ours[key] = t.sizes().vec();
    for (const auto& [key, shape] : theirs) {
      auto it = ours.find(key);
      if (it == ours.end()) {
        ADD_FAILURE() << "missing " << key;
        continue;
      }
      EXPECT_EQ(it->second, shape) << key;
    }
    for (const auto& [key, shape] : ours) EXPECT_TRUE(theirs.count(key)) << "extra " << key;
  }
}

TEST(Yolo11Test, LoadingNamedTensorsChecksEveryNameAndShapeFirst) {
  torch::manual_seed(1);
  YoloModel source(ModelSpec{'n', Task::segment, 2, Family::yolo11});
  YoloModel target(ModelSpec{'n', Task::segment, 2, Family::yolo11});
  source->eval();
  target->eval();
  // As a reader of the ecosystem's files hands them over: float16, without batch counters.
  std::map<std::string, torch::Tensor> half;
  for (const auto& [key, t] : state_of(*source))
    if (key.find("num_batches_tracked") == std::string::npos)
      half[key] = t.detach().to(torch::kHalf);
  {
    torch::NoGradGuard no_grad;
    for (auto& [key, t] : state_of(*source))
      if (t.is_floating_point()) t.copy_(t.to(torch::kHalf).to(torch::kFloat));
  }
  auto x = torch::rand({1, 3, 64, 64});
  auto expect_fails = [&](std::map<std::string, torch::Tensor> bad, const std::string& words) {
    const auto before = target->named_parameters()["model.0.conv.weight"].clone();
    try {
      load_named_tensors(*target, bad);
      ADD_FAILURE() << "accepted: " << words;
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
    EXPECT_TRUE(torch::equal(before, target->named_parameters()["model.0.conv.weight"]))
        << "changed before failing";
  };
  auto missing = half;
  missing.erase("model.23.cv3.1.0.0.conv.weight");
  expect_fails(missing, "1 missing (first model.23.cv3.1.0.0.conv.weight)");
  auto extra = half;
  extra["model.24.weight"] = torch::zeros({1});
  expect_fails(extra, "1 unexpected (first model.24.weight)");
  auto wrong = half;
  wrong["model.10.m.0.attn.pe.conv.weight"] = torch::zeros({128, 2, 3, 3});
  expect_fails(wrong,
               "model.10.m.0.attn.pe.conv.weight is [128, 2, 3, 3], the model's [128, 1, 3, 3]");
  // A YOLOv8 state dict does not fit a YOLO11 model.
  YoloModel v8(ModelSpec{'n', Task::segment, 2});
  expect_fails(state_of(*v8), "weights do not fit yolo11n-seg");

  load_named_tensors(*target, half);
  torch::NoGradGuard no_grad;
  auto a = source->forward(x), b = target->forward(x);
  EXPECT_TRUE(torch::equal(source->decode(a), target->decode(b)));
  EXPECT_TRUE(torch::equal(a.proto, b.proto));
  target->fuse();
  EXPECT_THROW(load_named_tensors(*target, half), EngineError);
}

}  // namespace
}  // namespace orvane::engine
