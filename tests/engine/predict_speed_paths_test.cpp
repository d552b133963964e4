// The fast paths of prediction must compute what the plain ones compute: the compiled network
// the eager model's outputs, the per-box masks the whole-grid masks bit for bit.

#include <gtest/gtest.h>

#include "engine/export/compiled_network.h"
#include "engine/model.h"
#include "engine/predictor.h"

namespace orvane::engine {
namespace {

YoloModel fused_model(Task task) {
  torch::manual_seed(3);
  ModelSpec arch;
  arch.task = task;
  arch.nc = 3;
  YoloModel model(arch, std::vector<std::string>{"a", "b", "c"});
  {
    torch::NoGradGuard no_grad;
    for (auto& m : model->modules(false))
      if (auto* bn = dynamic_cast<torch::nn::BatchNorm2dImpl*>(m.get())) {
        bn->running_mean.normal_(0.0, 0.2);
        bn->running_var.uniform_(0.5, 2.0);
      }
  }
  model->eval();
  model->fuse();
  return model;
}

TEST(CompiledNetwork, ReproducesTheEagerModelAtEverySizeItIsGiven) {
  torch::set_num_threads(1);
  for (Task task : {Task::detect, Task::segment}) {
    YoloModel model = fused_model(task);
    CompiledNetwork compiled(model, CompiledNetwork::Compile::before_answering);
    // More sizes than are kept, and the first again: an evicted size compiles anew.
    const std::vector<std::pair<int64_t, int64_t>> sizes{{64, 96},  {96, 64},  {64, 64},
                                                         {32, 128}, {128, 32}, {64, 96}};
    for (const auto& [h, w] : sizes) {
      SCOPED_TRACE(std::to_string(h) + "x" + std::to_string(w));
      torch::NoGradGuard no_grad;
      auto x = torch::rand({1, 3, h, w});
      ModelOutput eager = model->forward(x);
      auto want = model->decode(eager);
      NetworkOutput got = compiled.forward(x);
      ASSERT_EQ(got.pred.sizes(), want.sizes());
      EXPECT_LT((got.pred - want).abs().max().item<float>(), 1e-3f);
      if (task == Task::segment) {
        ASSERT_EQ(got.proto.sizes(), eager.proto.sizes());
        EXPECT_LT((got.proto - eager.proto).abs().max().item<float>(), 1e-4f);
      }
    }
  }
}

TEST(CompiledNetwork, AnswersWithTheEagerModelUntilTheBackgroundCompilationIsDone) {
  torch::set_num_threads(1);
  YoloModel model = fused_model(Task::detect);
  CompiledNetwork compiled(model);
  torch::NoGradGuard no_grad;
  auto x = torch::rand({1, 3, 64, 64});
  auto want = model->decode(model->forward(x));
  EXPECT_FALSE(compiled.is_compiled(64, 64));
  auto first = compiled.forward(x).pred;  // starts the compilation, answers eagerly
  compiled.wait_for_compilation();
  EXPECT_TRUE(compiled.is_compiled(64, 64));
  EXPECT_FALSE(compiled.is_compiled(64, 96));
  auto second = compiled.forward(x).pred;
  EXPECT_TRUE(torch::equal(first, want));
  EXPECT_LT((second - want).abs().max().item<float>(), 1e-3f);
}

TEST(BoxMasks, EqualTheWholeGridMasksBitForBit) {
  torch::manual_seed(5);
  const int H = 96, W = 128;  // the 4x prototype grid of a YOLO head: 24 x 32
  auto proto = torch::randn({32, H / 4, W / 4});
  auto coef = torch::randn({7, 32});
  // Boxes at the corners, across the edges, tiny, covering everything, and with fractional
  // coordinates on the grid, where an off-by-one crop would show.
  auto boxes =
      torch::tensor({0.0f,  0.0f,   30.5f, 21.2f, 97.3f, 70.9f, 128.0f, 96.0f, -5.0f,  40.0f,
                     20.0f, 140.0f, 50.2f, 50.2f, 51.0f, 51.1f, 0.0f,   0.0f,  128.0f, 96.0f,
                     33.1f, 2.9f,   90.7f, 60.3f, 63.9f, 47.9f, 64.1f,  48.1f})
          .view({7, 4});
  auto whole = process_mask(proto, coef, boxes, H, W, true).to(torch::kUInt8);
  auto parts = box_masks(proto, coef, boxes, H, W);
  ASSERT_EQ(parts.size(), 7u);
  for (int64_t k = 0; k < 7; ++k) {
    SCOPED_TRACE("box " + std::to_string(k));
    cv::Mat expected(H, W, CV_8U, whole[k].contiguous().data_ptr<uint8_t>());
    cv::Mat rebuilt = cv::Mat::zeros(H, W, CV_8U);
    const auto& part = parts[static_cast<size_t>(k)];
    ASSERT_TRUE((part.window & cv::Rect(0, 0, W, H)) == part.window);
    if (!part.window.empty()) part.mask.copyTo(rebuilt(part.window));
    EXPECT_EQ(cv::countNonZero(rebuilt != expected), 0);
  }
  EXPECT_GT(cv::countNonZero(cv::Mat(H, W, CV_8U, whole[4].contiguous().data_ptr<uint8_t>())), 0);
}

}  // namespace
}  // namespace orvane::engine
