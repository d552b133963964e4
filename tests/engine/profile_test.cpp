// The stage profile of training: nested stages are charged their own time only, and with
// profile=true the stages of an epoch add up to its wall time and reach profile.csv.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/logged_run_test.h"
#include "engine/quick_train.h"
#include "engine/shapes_data.h"
#include "engine/stage_profile.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Busy for `ms` milliseconds (a sleep could oversleep by a scheduler tick on a loaded machine,
// which is the same for a spin, but a spin keeps the thread running like real work).
void spin(double ms) {
  const auto end = Clock::now() + std::chrono::duration<double, std::milli>(ms);
  while (Clock::now() < end) {
  }
}

TEST(StageProfileTest, NestedStagesAreChargedTheirOwnTimeOnly) {
  StageProfile profile;
  const auto t0 = Clock::now();
  {
    StageProfileScope scope(&profile);
    StageTimer outer("outer");
    spin(20);
    {
      StageTimer inner("inner");
      spin(30);
    }
    {
      // A leaf stage swallows the stages inside it.
      StageTimer leaf("leaf", true);
      StageTimer hidden("hidden");
      spin(10);
    }
    spin(5);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  ASSERT_EQ(profile.stages().size(), 3u);
  EXPECT_EQ(profile.stages()[0].first, "outer");
  EXPECT_EQ(profile.seconds("hidden"), 0.0);
  // Each stage got at least its own spinning (a busy machine may add to any of them) ...
  const double inner = profile.seconds("inner"), leaf = profile.seconds("leaf"),
               outer = profile.seconds("outer");
  EXPECT_GE(inner, 0.030);
  EXPECT_GE(leaf, 0.010);
  EXPECT_GE(outer, 0.025);
  // ... and nothing was counted twice or lost: had the outer stage kept running while the inner
  // ones did, the stages would add up to more than the wall time.
  EXPECT_LE(profile.total(), wall);
  EXPECT_NEAR(profile.total(), wall, 0.002);

  // Without a profile on the thread, timers record nothing.
  StageProfileScope none(nullptr);
  {
    StageTimer t("outer");
    spin(1);
  }
  EXPECT_EQ(profile.seconds("outer"), outer);
  EXPECT_EQ(profile.stages().size(), 3u);
}

class ProfileTrainTest : public LoggedRunTest {
 protected:
  ProfileTrainTest() : LoggedRunTest("orvane_profile_") {}
};

TEST_F(ProfileTrainTest, StagesOfAnEpochAddUpToItsWallTimeAndReachProfileCsv) {
  const auto data = make_dataset(dir / "seg", true, 8, 64);
  YOLO model("yolov8n-seg.yaml");
  TrainOptions o = quick_train_options(data, dir / "runs", 2);
  o.profile = true;
  o.plots = true;  // the charts stage too (train_batch pictures)
  Clock::time_point start;
  std::vector<double> walls, totals;
  model.add_callback("on_train_epoch_start", [&](Trainer&) { start = Clock::now(); });
  model.add_callback("on_fit_epoch_end", [&](Trainer& t) {
    walls.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    totals.push_back(t.epoch_profile.total());
  });
  auto result = model.train(o);
  ASSERT_EQ(walls.size(), 2u);
  for (size_t e = 0; e < walls.size(); ++e) {
    // The profile spans the whole epoch, callbacks included, so it is a little longer than what
    // the callbacks see; it must not count anything twice either.
    EXPECT_NEAR(totals[e], walls[e], 0.05 * walls[e]) << "epoch " << e;
  }

  std::ifstream csv(result.save_dir / "profile.csv");
  std::string header, line;
  ASSERT_TRUE(std::getline(csv, header));
  for (const char* stage :
       {"data", "forward", "assigner", "loss_box", "loss_dfl", "loss_cls", "loss_mask", "backward",
        "optimizer", "ema", "val_inference", "val_nms", "val_matching", "val_mask_metrics",
        "val_loss", "save", "charts", "other"})
    EXPECT_NE(header.find(std::string(",") + stage), std::string::npos)
        << stage << " in " << header;
  int rows = 0;
  while (std::getline(csv, line)) {
    std::stringstream ss(line);
    std::string cell;
    std::vector<double> v;
    while (std::getline(ss, cell, ',')) v.push_back(std::stod(cell));
    ASSERT_GE(v.size(), 4u);
    EXPECT_EQ(v[0], rows + 1);  // epoch
    EXPECT_EQ(v[1], 2);         // batches (8 images, batch 4)
    double sum = 0;
    for (size_t k = 3; k < v.size(); ++k) sum += v[k];
    EXPECT_NEAR(sum, v[2], 1e-4);
    EXPECT_NEAR(v[2], totals[rows], 1e-4);
    ++rows;
  }
  EXPECT_EQ(rows, 2);
  EXPECT_NE(log.find("profile epoch 2: "), std::string::npos) << log;
}

TEST_F(ProfileTrainTest, WithoutProfileNothingIsTimedOrWritten) {
  const auto data = make_dataset(dir / "det", false, 4, 64);
  YOLO model("yolov8n.yaml");
  TrainOptions o = quick_train_options(data, dir / "runs", 1);
  size_t stages = 99;
  model.add_callback("on_fit_epoch_end",
                     [&](Trainer& t) { stages = t.epoch_profile.stages().size(); });
  auto result = model.train(o);
  EXPECT_EQ(stages, 0u);
  EXPECT_FALSE(fs::exists(result.save_dir / "profile.csv"));
  EXPECT_EQ(log.find("profile epoch"), std::string::npos);
}

}  // namespace
}  // namespace orvane::engine
