#include "engine/model.h"

#include <gtest/gtest.h>
#include <torch/csrc/autograd/profiler_legacy.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/gemm.h"

namespace orvane::engine {
namespace {

// The published parameter counts with 80 classes, DFL projection included.
TEST(ModelTest, ParameterCountsMatchThePublishedArchitectures) {
  const std::vector<std::pair<std::string, int64_t>> expected{
      {"yolov8n.pt", 3157200},  {"yolov8s.pt", 11166560}, {"yolov8m.pt", 25902640},
      {"yolov8l.pt", 43691520}, {"yolov8x.pt", 68229648}, {"yolov8n-seg.pt", 3409968}};
  for (const auto& [name, count] : expected) {
    auto arch = parse_model_name(name);
    ASSERT_TRUE(arch) << name;
    YoloModel model(*arch);
    int64_t n = 0;
    for (const auto& p : model->parameters()) n += p.numel();
    EXPECT_EQ(n, count) << name;
  }
}

}  // namespace
}  // namespace orvane::engine

namespace orvane::engine {
namespace {

TEST(ModelTest, ParsesModelNamesAndRejectsOthers) {
  auto s = parse_model_name("yolov8s-seg.pt");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->scale, 's');
  EXPECT_EQ(s->task, Task::segment);
  EXPECT_EQ(parse_model_name("models/YOLOv8X.yaml")->scale, 'x');
  EXPECT_EQ(parse_model_name("yolov8m")->task, Task::detect);
  EXPECT_EQ(parse_model_name("yolov8n.pt")->name(), "yolov8n");
  for (const char* bad : {"yolov5s.pt", "yolov8q.pt", "best.pt", "yolov8n.onnx", ""})
    EXPECT_FALSE(parse_model_name(bad)) << bad;
}

TEST(ModelTest, SummaryReportsLayersParametersAndPublishedGflops) {
  YoloModel det(*parse_model_name("yolov8n.pt"));
  const auto info = det->info();
  EXPECT_EQ(info.parameters, 3157200);
  EXPECT_EQ(info.gradients, 3157200 - 16);  // the DFL projection is fixed
  EXPECT_NEAR(info.gflops, 8.7, 0.3);
  EXPECT_EQ(info.layers, 225);  // the figures users know from the published summaries
  EXPECT_NE(det->summary().find("3,157,200 parameters"), std::string::npos) << det->summary();
  YoloModel seg(*parse_model_name("yolov8n-seg.pt"));
  EXPECT_NEAR(seg->info().gflops, 12.6, 0.5);
  EXPECT_EQ(seg->info().layers, 261);
  det->fuse();
  EXPECT_EQ(det->info().layers, 168);
  seg->fuse();
  EXPECT_EQ(seg->info().layers, 195);
}

TEST(ModelTest, HeadBiasesStartAtTheUsualPriors) {
  YoloModel model(ModelSpec{'n', Task::detect, 80});
  auto params = model->named_parameters(true);
  EXPECT_FLOAT_EQ(params["model.22.cv2.0.2.bias"][0].item<float>(), 1.0f);
  EXPECT_NEAR(params["model.22.cv3.0.2.bias"][0].item<float>(),
              std::log(5.0 / 80 / std::pow(640.0 / 8, 2)), 1e-5);
  EXPECT_NEAR(params["model.22.cv3.2.2.bias"][0].item<float>(),
              std::log(5.0 / 80 / std::pow(640.0 / 32, 2)), 1e-5);
}

// Fresh running statistics must describe the data after the first batch, not mean 0 / var 1.
TEST(ModelTest, BatchNormWarmUpAveragesEarlyBatchesExactly) {
  torch::manual_seed(3);
  torch::nn::Sequential net(
      torch::nn::BatchNorm2d(torch::nn::BatchNorm2dOptions(3).eps(kBnEps).momentum(kBnMomentum)));
  auto bn = net[0]->as<torch::nn::BatchNorm2d>();
  net->train();
  auto x1 = torch::randn({4, 3, 5, 5}) * 2 + 1, x2 = torch::randn({4, 3, 5, 5}) * 0.5 - 3;
  auto channel_mean = [](const torch::Tensor& x) { return x.mean({0, 2, 3}); };
  auto channel_var = [](const torch::Tensor& x) { return x.transpose(0, 1).flatten(1).var(1); };
  EXPECT_TRUE(warm_up_batchnorm(*net));
  net->forward(x1);
  EXPECT_TRUE(torch::allclose(bn->running_mean, channel_mean(x1), 1e-5, 1e-5));
  EXPECT_TRUE(torch::allclose(bn->running_var, channel_var(x1), 1e-4, 1e-4));
  EXPECT_TRUE(warm_up_batchnorm(*net));
  net->forward(x2);
  EXPECT_TRUE(
      torch::allclose(bn->running_mean, (channel_mean(x1) + channel_mean(x2)) / 2, 1e-5, 1e-5));
  // Once a batch weighs less than the momentum, the momentum is back.
  for (int i = 0; i < 40; ++i) {
    warm_up_batchnorm(*net);
    net->forward(x1);
  }
  EXPECT_FALSE(warm_up_batchnorm(*net));
  EXPECT_DOUBLE_EQ(*bn->options.momentum(), kBnMomentum);
}

TEST(ModelTest, DecodeGivesCentreSizeScoresAndCoefficientsPerAnchor) {
  YoloModel model(ModelSpec{'n', Task::segment, 3});
  model->eval();
  torch::NoGradGuard no_grad;
  auto out = model->forward(torch::rand({2, 3, 64, 96}));
  ASSERT_EQ(out.feats.size(), 3u);
  EXPECT_EQ(out.feats[0].sizes(), (std::vector<int64_t>{2, 64 + 3, 8, 12}));
  EXPECT_EQ(out.proto.sizes(), (std::vector<int64_t>{2, 32, 16, 24}));
  const int64_t anchors = 8 * 12 + 4 * 6 + 2 * 3;
  EXPECT_EQ(out.mask_coef.sizes(), (std::vector<int64_t>{2, 32, anchors}));
  EXPECT_EQ(model->decode(out).sizes(), (std::vector<int64_t>{2, 4 + 3 + 32, anchors}));

  // All-zero logits: every side distance is the mean bin 7.5, so a box is 15 strides wide,
  // centred on its anchor; scores are sigmoid(0).
  for (auto& f : out.feats) f.zero_();
  auto y = model->decode(out);
  EXPECT_NEAR(y[0][0][0].item<float>(), 4.0f, 1e-4);       // x of anchor (0.5, 0.5) at s8
  EXPECT_NEAR(y[0][1][13].item<float>(), 12.0f, 1e-4);     // y of anchor row 1
  EXPECT_NEAR(y[0][2][0].item<float>(), 15 * 8.0f, 1e-3);  // width at stride 8
  EXPECT_NEAR(y[0][3][anchors - 1].item<float>(), 15 * 32.0f, 1e-3);  // height at stride 32
  EXPECT_NEAR(y[1][5][7].item<float>(), 0.5f, 1e-6);
}

TEST(ModelTest, FusedModelComputesTheSameAsTheOriginal) {
  torch::manual_seed(1);
  YoloModel model(ModelSpec{'n', Task::detect, 4});
  // Non-trivial BatchNorm statistics, as after training.
  {
    torch::NoGradGuard no_grad;
    for (auto& b : model->named_buffers(true)) {
      if (b.key().find("running_mean") != std::string::npos) b.value().uniform_(-0.5, 0.5);
      if (b.key().find("running_var") != std::string::npos) b.value().uniform_(0.5, 2.0);
    }
  }
  model->eval();
  auto fused = clone_model(model);
  fused->fuse();
  EXPECT_TRUE(fused->is_fused());
  torch::NoGradGuard no_grad;
  auto x = torch::rand({1, 3, 64, 64});
  auto a = model->decode(model->forward(x));
  auto b = fused->decode(fused->forward(x));
  EXPECT_TRUE(torch::allclose(a, b, 1e-3, 1e-3)) << (a - b).abs().max();
}

TEST(ModelTest, PrototypeUpsamplingEqualsTheTransposedConvolutionWithItsGradients) {
  torch::manual_seed(5);
  for (bool with_bias : {true, false}) {
    auto x = torch::randn({2, 6, 5, 7}, torch::kDouble).requires_grad_(true);
    auto w = torch::randn({6, 4, 2, 2}, torch::kDouble).requires_grad_(true);
    auto b = with_bias ? torch::randn({4}, torch::kDouble).requires_grad_(true) : torch::Tensor();
    auto ours = conv_transpose_2x2(x, w, b);
    auto reference = torch::conv_transpose2d(x, w, b, 2);
    ASSERT_EQ(ours.sizes(), reference.sizes());
    EXPECT_LT((ours - reference).abs().max().item<double>(), 1e-12);
    // A weighting that differs per output pixel, so a mixed-up phase shows in the gradients.
    auto g = torch::randn_like(reference);
    auto gx = torch::autograd::grad({(ours * g).sum()}, {x, w});
    auto rx = torch::autograd::grad({(reference * g).sum()}, {x, w});
    EXPECT_LT((gx[0] - rx[0]).abs().max().item<double>(), 1e-12);
    EXPECT_LT((gx[1] - rx[1]).abs().max().item<double>(), 1e-12);
  }
}

// With one compute thread (threads=1, or one rank of a data-parallel run) LibTorch would run a
// small batch's 1x1 convolutions through the system BLAS, many times slower; ours stay on oneDNN
// and give the same sums and gradients as a plain convolution.
TEST(ModelTest, OneByOneConvolutionsStayOnOneDnnWithOneThreadAndKeepTheirSums) {
  const int threads = torch::get_num_threads();
  torch::set_num_threads(1);
  torch::manual_seed(8);
  const auto trace = std::filesystem::temp_directory_path() /
                     ("orvane_conv_trace_" + std::to_string(::getpid()) + ".json");
  struct Case {
    torch::Tensor x, w, b, out, g;
    std::vector<torch::Tensor> grads;
  };
  std::vector<Case> cases;
  {
    torch::autograd::profiler::RecordProfile guard(trace.string());
    for (int64_t k : {1, 3}) {
      Case c;
      c.x = torch::randn({4, 16, 9, 7}).requires_grad_(true);
      c.w = torch::randn({24, 16, k, k}).requires_grad_(true);
      c.b = torch::randn({24}).requires_grad_(true);
      c.out = onednn_conv2d(c.x, c.w, c.b, 1, k / 2);
      c.g = torch::randn_like(c.out);
      c.grads = torch::autograd::grad({(c.out * c.g).sum()}, {c.x, c.w, c.b});
      cases.push_back(c);
    }
  }
  torch::set_num_threads(threads);
  std::ifstream in(trace);
  const std::string ops((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(trace);
  EXPECT_NE(ops.find("mkldnn_convolution"), std::string::npos);
  EXPECT_EQ(ops.find("slow_conv"), std::string::npos);

  for (const auto& c : cases) {
    auto xd = c.x.detach().to(torch::kDouble).requires_grad_(true);
    auto wd = c.w.detach().to(torch::kDouble).requires_grad_(true);
    auto bd = c.b.detach().to(torch::kDouble).requires_grad_(true);
    auto reference = torch::conv2d(xd, wd, bd, 1, c.w.size(-1) / 2);
    ASSERT_EQ(c.out.sizes(), reference.sizes());
    EXPECT_LT((c.out.to(torch::kDouble) - reference).abs().max().item<double>(), 1e-4);
    auto want = torch::autograd::grad({(reference * c.g.to(torch::kDouble)).sum()}, {xd, wd, bd});
    for (int i = 0; i < 3; ++i)
      EXPECT_LT((c.grads[i].to(torch::kDouble) - want[i]).abs().max().item<double>(), 1e-3)
          << "gradient " << i << ", kernel " << c.w.size(-1);
  }
}

TEST(ModelTest, MaskLogitsAreTheCoefficientPrototypeProductWithItsGradients) {
  torch::manual_seed(6);
  // One object (the convolution's slow path) and several (oneDNN), in float as training runs,
  // on a grid that is not square so a transposed cell order would show.
  for (int64_t n : {1, 9}) {
    auto coef = torch::randn({n, 32}).requires_grad_(true);
    auto proto = torch::randn({32, 6, 10}).requires_grad_(true);
    auto ours = mask_logits(coef, proto);
    auto reference = coef.to(torch::kDouble).matmul(proto.to(torch::kDouble).view({32, -1}));
    ASSERT_EQ(ours.sizes(), (std::vector<int64_t>{n, 6, 10}));
    EXPECT_LT((ours.to(torch::kDouble).view({n, -1}) - reference).abs().max().item<double>(), 1e-4);
    auto g = torch::randn_like(ours);
    auto grads = torch::autograd::grad({(ours * g).sum()}, {coef, proto});
    auto gd = g.to(torch::kDouble).view({n, -1});
    auto g_coef = gd.matmul(proto.to(torch::kDouble).view({32, -1}).t());
    auto g_proto = coef.to(torch::kDouble).t().matmul(gd).view({32, 6, 10});
    EXPECT_LT((grads[0].to(torch::kDouble) - g_coef).abs().max().item<double>(), 1e-4);
    EXPECT_LT((grads[1].to(torch::kDouble) - g_proto).abs().max().item<double>(), 1e-4);
  }
}

}  // namespace
}  // namespace orvane::engine
