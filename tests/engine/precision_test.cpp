// bfloat16 autocast: what amp= resolves to, that a mixed-precision step keeps float32 master
// weights and a float32 loss close to the float32 step's, and that a run trained with it writes
// float32 checkpoints.

#include "engine/precision.h"

#include <gtest/gtest.h>

#include <ATen/autocast_mode.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/checkpoint.h"
#include "engine/data/batch.h"
#include "engine/error.h"
#include "engine/logged_run_test.h"
#include "engine/loss.h"
#include "engine/quick_train.h"
#include "engine/shapes_data.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

// Sets ORVANE_NATIVE_BF16 for one scope and puts back what was there.
class NativeBf16Override {
 public:
  explicit NativeBf16Override(const char* value) {
    if (const char* old = std::getenv(kName)) old_ = old;
    ::setenv(kName, value, 1);
  }
  ~NativeBf16Override() {
    if (old_) ::setenv(kName, old_->c_str(), 1);
    else ::unsetenv(kName);
  }

 private:
  static constexpr const char* kName = "ORVANE_NATIVE_BF16";
  std::optional<std::string> old_;
};

TEST(PrecisionTest, AmpKeyResolvesPerProcessorAndUse) {
  for (AmpUse use : {AmpUse::train, AmpUse::predict}) {
    // A processor without native bfloat16 always computes in float32 under auto.
    EXPECT_FALSE(resolve_amp("auto", use, false));
    // true and false are obeyed on any processor.
    for (bool native : {false, true}) {
      EXPECT_TRUE(resolve_amp("true", use, native));
      EXPECT_TRUE(resolve_amp("True", use, native));
      EXPECT_FALSE(resolve_amp("false", use, native));
      EXPECT_FALSE(resolve_amp("0", use, native));
    }
  }
  for (const char* bad : {"", "yes", "bf16", "auto "})
    EXPECT_THROW(resolve_amp(bad, AmpUse::train, true), EngineError) << bad;
}

TEST(PrecisionTest, OverrideDecidesWhatAutoSeesOfTheProcessor) {
  {
    NativeBf16Override no("0");
    EXPECT_FALSE(native_bf16());
    EXPECT_FALSE(resolve_amp("auto", AmpUse::train));
  }
  {
    NativeBf16Override yes("1");
    EXPECT_TRUE(native_bf16());
    EXPECT_TRUE(resolve_amp("true", AmpUse::train));
  }
}

TEST(PrecisionTest, GuardTurnsAutocastOnForItsScopeOnly) {
  auto x = torch::rand({1, 8, 8, 8});
  auto w = torch::rand({4, 8, 3, 3});
  {
    AutocastGuard off(false);
    EXPECT_EQ(torch::conv2d(x, w).scalar_type(), torch::kFloat32);
  }
  {
    AutocastGuard on(true);
    EXPECT_EQ(torch::conv2d(x, w).scalar_type(), torch::kBFloat16);
    {
      AutocastGuard nested(true);
      EXPECT_EQ(torch::conv2d(x, w).scalar_type(), torch::kBFloat16);
    }
    // The inner guard's end leaves the outer one's autocast on.
    EXPECT_EQ(torch::conv2d(x, w).scalar_type(), torch::kBFloat16);
  }
  EXPECT_FALSE(at::autocast::is_cpu_enabled());
  EXPECT_EQ(torch::conv2d(x, w).scalar_type(), torch::kFloat32);
}

// A batch of random images with two boxes (and masks) each.
Batch random_batch(int images, int size, bool masks) {
  Batch b;
  b.images = torch::rand({images, 3, size, size});
  std::vector<int64_t> idx;
  for (int i = 0; i < images; ++i) idx.insert(idx.end(), {i, i});
  const auto n = int64_t(idx.size());
  b.batch_idx = torch::tensor(idx, torch::kLong);
  b.cls = torch::randint(0, 2, {n}, torch::kLong);
  b.bboxes = torch::cat({torch::rand({n, 2}) * 0.5 + 0.25, torch::rand({n, 2}) * 0.3 + 0.1}, 1);
  if (masks) b.masks = (torch::rand({n, size / 4, size / 4}) > 0.5).to(torch::kFloat);
  return b;
}

// One step in each precision from the same weights: the bfloat16 step's loss is float32 and
// within a few percent of the float32 step's (bfloat16 keeps 8 bits of mantissa), its
// gradients reach the float32 weights, and an optimizer step changes them in float32.
TEST(PrecisionTest, Bfloat16StepKeepsFloat32WeightsAndLossCloseToFloat32) {
  for (Task task : {Task::detect, Task::segment}) {
    torch::manual_seed(0);
    YoloModel model(ModelSpec{'n', task, 2});
    model->train();
    const Batch batch = random_batch(2, 64, task == Task::segment);

    const auto step_loss = [&](bool amp) {
      model->zero_grad();
      ModelOutput out;
      {
        AutocastGuard autocast(amp);
        out = to_float32(model->forward(batch.images));
      }
      for (const auto& f : out.feats) EXPECT_EQ(f.scalar_type(), torch::kFloat32);
      auto loss = compute_loss(model, out, batch);
      EXPECT_EQ(loss.total.scalar_type(), torch::kFloat32);
      loss.total.backward();
      return loss.total.item<double>();
    };
    // BatchNorm's running statistics move with every training forward pass; the weights do not.
    const double full = step_loss(false);
    const double mixed = step_loss(true);
    ASSERT_TRUE(std::isfinite(mixed));
    // The assigner's choices are discrete, so a rounding can move a target to another anchor:
    // a few percent, not more.
    EXPECT_NEAR(mixed, full, 0.05 * std::abs(full)) << (task == Task::segment ? "segment" : "detect");

    std::vector<torch::Tensor> before;
    for (const auto& p : model->parameters()) {
      EXPECT_EQ(p.scalar_type(), torch::kFloat32);
      if (p.requires_grad()) {
        ASSERT_TRUE(p.grad().defined());
        EXPECT_EQ(p.grad().scalar_type(), torch::kFloat32);
      }
      before.push_back(p.detach().clone());
    }
    torch::optim::SGD sgd(model->parameters(), torch::optim::SGDOptions(0.01));
    sgd.step();
    int changed = 0, index = 0;
    for (const auto& p : model->parameters()) {
      EXPECT_EQ(p.scalar_type(), torch::kFloat32);
      changed += !torch::equal(p.detach(), before[index++]);
    }
    // Nearly every tensor moved in float32 (a few get no gradient from a random batch, and the
    // DFL projection is fixed); weights that stayed bfloat16 copies or lost their gradient would
    // not move at all.
    EXPECT_GE(changed, int(0.9 * before.size()));
  }
}

class PrecisionTrainTest : public LoggedRunTest {
 protected:
  PrecisionTrainTest() : LoggedRunTest("orvane_precision_") {}
};

TEST_F(PrecisionTrainTest, AmpRunSaysSoAndWritesFloat32Weights) {
  const auto data = make_dataset(dir / "det", false, 8, 64);
  YOLO model("yolov8n.yaml");
  TrainOptions o = quick_train_options(data, dir / "runs", 1);
  o.amp = "true";
  const auto result = model.train(o);
  EXPECT_NE(log.find("AMP: bfloat16 convolutions for training and validation (amp=true)"),
            std::string::npos)
      << log;
  auto loaded = load_checkpoint(result.save_dir / "weights" / "last.pt");
  for (const auto& p : loaded.model->parameters()) ASSERT_EQ(p.scalar_type(), torch::kFloat32);
  ASSERT_TRUE(result.metrics);
  EXPECT_TRUE(std::isfinite(result.metrics->fitness));

  // amp=false (and auto on a processor without bfloat16) says nothing.
  log.clear();
  NativeBf16Override no("0");
  o.amp = "auto";
  o.name = "auto";
  model.train(o);
  EXPECT_EQ(log.find("AMP:"), std::string::npos) << log;
}

}  // namespace
}  // namespace orvane::engine
