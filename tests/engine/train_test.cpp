// Training end to end on a generated, trivially learnable set: the model learns, a stop answers
// within a batch, the run folder is complete, bad input fails cleanly.

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <random>

#include "engine/checkpoint.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/logged_run_test.h"
#include "engine/yolo.h"
#include "engine/quick_train.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;

class TrainTest : public LoggedRunTest {
 protected:
  TrainTest() : LoggedRunTest("orvane_train_") {}

  // The shared quick recipe with light augmentation.
  TrainOptions quick(const fs::path& data, int epochs) {
    TrainOptions o = quick_train_options(data, dir / "runs", epochs);
    o.hyp.scale = 0.1f;
    // Validation pads these 64-px images to 96 px (half a stride of margin on each side), a grey
    // border that training without mosaic never shows. A generous translation puts such borders
    // into training; without it whether the detector copes is a matter of luck (one seed in three
    // scored mAP50 0.03 on one processor and passed on another, where the kernels round differently).
    o.hyp.translate = 0.25f;
    return o;
  }

};

TEST_F(TrainTest, DetectorLearnsAndLeavesACompleteRunFolder) {
  const auto data = make_dataset(dir / "det", false);
  YOLO model("yolov8n.yaml");
  int epoch_ends = 0;
  model.add_callback("on_fit_epoch_end", [&](Trainer& t) {
    EXPECT_EQ(t.epoch, epoch_ends);
    EXPECT_EQ(t.epochs, 40);
    ++epoch_ends;
  });
  auto options = quick(data, 40);
  options.plots = true;
  auto result = model.train(options);
  EXPECT_FALSE(result.stopped);
  EXPECT_EQ(result.epochs_completed, 40);
  EXPECT_EQ(epoch_ends, 40);
  ASSERT_TRUE(result.metrics);
  // Clearly learnt (an untrained model scores ~0). Validation adds half a stride of margin, so
  // these 64-px images are seen at 96 px with a grey border this mosaic-free training never
  // shows, which costs a little.
  EXPECT_GT(result.metrics->box.map50(), 0.4) << log;
  EXPECT_EQ(model.names(), (std::vector<std::string>{"square", "disc"}));

  const auto run = result.save_dir;
  EXPECT_EQ(run, dir / "runs" / "train");
  for (const char* f : {"weights/best.pt", "weights/last.pt", "args.yaml", "results.csv",
                        "labels.jpg", "train_batch0.jpg", "val_batch0_labels.jpg",
                        "val_batch0_pred.jpg"})
    EXPECT_TRUE(fs::exists(run / f)) << f;
  std::ifstream csv(run / "results.csv");
  std::string header, line;
  std::getline(csv, header);
  header.erase(std::remove(header.begin(), header.end(), ' '), header.end());
  EXPECT_EQ(header,
            "epoch,time,train/box_loss,train/cls_loss,train/dfl_loss,metrics/precision(B),"
            "metrics/recall(B),metrics/mAP50(B),metrics/mAP50-95(B),val/box_loss,val/cls_loss,"
            "val/dfl_loss,lr/pg0,lr/pg1,lr/pg2");
  int rows = 0;
  while (std::getline(csv, line)) ++rows;
  EXPECT_EQ(rows, 40);

  // The checkpoint carries what a later run or a viewer needs.
  auto best = load_checkpoint(run / "weights" / "best.pt");
  EXPECT_EQ(best.meta.names, (std::vector<std::string>{"square", "disc"}));
  EXPECT_EQ(best.meta.imgsz, 64);
  EXPECT_EQ(best.meta.train_args.at("epochs"), "40");
  EXPECT_TRUE(load_checkpoint(run / "weights" / "last.pt").has_optimizer);

  // A second run with exist_ok=false gets a fresh folder; predicting uses the trained weights.
  auto again = quick(data, 1);
  again.val = false;
  EXPECT_EQ(YOLO((run / "weights" / "best.pt").string()).train(again).save_dir,
            dir / "runs" / "train2");
  auto results = model.predict((dir / "det" / "images" / "train" / "img1.png").string(),
                               {.conf = 0.1f, .imgsz = 64, .slice = {}});
  ASSERT_EQ(results.size(), 1u);
  ASSERT_GE(results[0].boxes.size(), 1u);
  EXPECT_EQ(results[0].boxes.cls[0].item<float>(), 1.0f);  // img1 holds a disc
}

TEST_F(TrainTest, StopInTheFirstBatchEndsAfterThatBatchWithLastPtSaved) {
  const auto data = make_dataset(dir / "det", false);
  YOLO model("yolov8n.yaml");
  int batches_seen = 0, epoch_ends = 0;
  model.add_callback("on_train_batch_end", [&](Trainer& t) {
    ++batches_seen;
    t.stop = true;
  });
  model.add_callback("on_fit_epoch_end", [&](Trainer&) { ++epoch_ends; });
  auto result = model.train(quick(data, 5));
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(batches_seen, 1);
  EXPECT_LE(epoch_ends, 1);
  EXPECT_EQ(result.epochs_completed, 0);
  EXPECT_FALSE(result.metrics);
  auto last = load_checkpoint(result.save_dir / "weights" / "last.pt");
  EXPECT_EQ(last.meta.epoch, -1);  // no epoch finished: a resume starts from the first
  EXPECT_TRUE(last.has_optimizer);
}

TEST_F(TrainTest, AStoppedRunResumesFromLastPtWhereItEnded) {
  const auto data = make_dataset(dir / "det", false, 8);
  YOLO model("yolov8n.yaml");
  model.add_callback("on_fit_epoch_end", [](Trainer& t) { t.stop = true; });
  auto first = model.train(quick(data, 3));
  ASSERT_TRUE(first.stopped);
  EXPECT_EQ(first.epochs_completed, 1);
  const auto last = first.save_dir / "weights" / "last.pt";
  EXPECT_EQ(load_checkpoint(last).meta.epoch, 0);

  YOLO resumed(last.string());
  std::vector<int> epochs_seen;
  resumed.add_callback("on_fit_epoch_end", [&](Trainer& t) { epochs_seen.push_back(t.epoch); });
  TrainOptions o;
  o.resume = true;
  auto second = resumed.train(o);
  EXPECT_FALSE(second.stopped);
  EXPECT_EQ(second.save_dir, first.save_dir);
  EXPECT_EQ(epochs_seen, (std::vector<int>{1, 2}));
  std::ifstream csv(second.save_dir / "results.csv");
  int lines = 0;
  for (std::string l; std::getline(csv, l);) ++lines;
  EXPECT_EQ(lines, 1 + 3);  // header and one row per epoch of the whole run
  // A finished run has nothing left to resume: it says so and leaves the folder alone.
  const auto done = YOLO(last.string()).train(o);
  EXPECT_TRUE(done.already_finished);
  EXPECT_EQ(done.epochs_completed, 3);
  EXPECT_FALSE(done.metrics);
}

TEST_F(TrainTest, TheSameSeedRepeatsARun) {
  const auto data = make_dataset(dir / "det", false, 8);
  auto losses = [&](std::uint64_t seed, const std::string& name) {
    auto o = quick(data, 2);
    o.seed = seed;
    o.name = name;
    o.val = false;
    o.workers = 2;
    o.hyp.mosaic = 1.0f;  // the random parts too
    o.hyp.scale = 0.5f;
    YOLO model("yolov8n.yaml");
    auto run = model.train(o);
    std::ifstream csv(run.save_dir / "results.csv");
    std::string header, rows, line;
    std::getline(csv, header);
    while (std::getline(csv, line)) rows += line.substr(line.find(',', line.find(',') + 1)) + "\n";
    return rows;  // everything but epoch and time
  };
  const auto a = losses(5, "a"), b = losses(5, "b"), c = losses(6, "c");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST_F(TrainTest, SegmentationModelLearnsMasks) {
  // Prototypes are at a quarter of the input: 96 px gives masks enough pixels to be judged.
  const auto data = make_dataset(dir / "seg", true, 16, 96);
  YOLO model("yolov8n-seg.yaml");
  auto options = quick(data, 30);
  options.imgsz = 96;
  auto result = model.train(options);
  ASSERT_TRUE(result.metrics);
  ASSERT_TRUE(result.metrics->mask);
  EXPECT_GT(result.metrics->box.map50(), 0.4) << log;
  EXPECT_GT(result.metrics->mask->map50(), 0.2) << log;
  std::ifstream csv(result.save_dir / "results.csv");
  std::string header;
  std::getline(csv, header);
  EXPECT_NE(header.find("train/seg_loss"), std::string::npos);
  EXPECT_NE(header.find("metrics/mAP50-95(M)"), std::string::npos);

  // The best mask outline of each image covers its shape: IoU with the drawn shape > 0.5.
  int good = 0;
  for (int i = 0; i < 4; ++i) {
    const auto path = dir / "seg" / "images" / "train" / ("img" + std::to_string(i) + ".png");
    auto results = model.predict(path.string(), {.conf = 0.1f, .imgsz = 96, .slice = {}});
    ASSERT_TRUE(results[0].masks);
    EXPECT_EQ(results[0].masks->xy.size(), results[0].boxes.size());
    if (results[0].boxes.size() == 0) continue;
    cv::Mat pred = cv::Mat::zeros(96, 96, CV_8U), truth;
    std::vector<cv::Point> outline;
    for (const auto& p : results[0].masks->xy[0]) outline.emplace_back(cvRound(p.x), cvRound(p.y));
    if (outline.size() >= 3) cv::fillPoly(pred, std::vector<std::vector<cv::Point>>{outline}, 255);
    // The shape is the only bright thing in the picture.
    cv::cvtColor(cv::imread(path.string()), truth, cv::COLOR_BGR2GRAY);
    cv::threshold(truth, truth, 110, 255, cv::THRESH_BINARY);
    const double inter = cv::countNonZero(pred & truth), uni = cv::countNonZero(pred | truth);
    if (uni > 0 && inter / uni > 0.5) ++good;
  }
  EXPECT_GE(good, 3) << log;
}

// YOLO11 trains on the same recipe, checkpoints under its own name, and resumes from its file.
TEST_F(TrainTest, Yolo11DetectorAndSegmenterLearn) {
  {
    const auto data = make_dataset(dir / "det", false);
    YOLO model("yolo11n.yaml");
    auto result = model.train(quick(data, 40));
    ASSERT_TRUE(result.metrics);
    EXPECT_GT(result.metrics->box.map50(), 0.4) << log;
    auto best = load_checkpoint(result.save_dir / "weights" / "best.pt");
    EXPECT_EQ(best.meta.arch.name(), "yolo11n");
    EXPECT_EQ(best.model->arch().family, Family::yolo11);
    auto results = model.predict((dir / "det" / "images" / "train" / "img1.png").string(),
                                 {.conf = 0.1f, .imgsz = 64, .slice = {}});
    ASSERT_EQ(results.size(), 1u);
    ASSERT_GE(results[0].boxes.size(), 1u);
    EXPECT_EQ(results[0].boxes.cls[0].item<float>(), 1.0f);  // img1 holds a disc
  }
  const auto data = make_dataset(dir / "seg", true, 16, 96);
  YOLO model("yolo11n-seg.yaml");
  auto options = quick(data, 30);
  options.imgsz = 96;
  options.name = "seg11";
  auto result = model.train(options);
  ASSERT_TRUE(result.metrics);
  ASSERT_TRUE(result.metrics->mask);
  EXPECT_GT(result.metrics->box.map50(), 0.4) << log;
  EXPECT_GT(result.metrics->mask->map50(), 0.2) << log;
  EXPECT_EQ(load_checkpoint(result.save_dir / "weights" / "last.pt").meta.arch.name(),
            "yolo11n-seg");
}

TEST_F(TrainTest, BadInputFailsWithOneLineOrIsCorrectedWithAWarning) {
  const auto data = make_dataset(dir / "det", false, 4);
  YOLO model("yolov8n.yaml");
  auto o = quick(data, 1);
  o.data = (dir / "missing.yaml").string();
  EXPECT_THROW(model.train(o), EngineError);

  // An image size off the stride grid is rounded up; a batch larger than the set shrinks.
  o = quick(data, 1);
  o.imgsz = 70;
  o.batch = 64;
  o.val = false;
  auto result = model.train(o);
  EXPECT_NE(log.find("updating to 96"), std::string::npos) << log;
  EXPECT_NE(log.find("batch=4"), std::string::npos) << log;
  EXPECT_EQ(load_checkpoint(result.save_dir / "weights" / "last.pt").meta.imgsz, 96);

  // A run folder that cannot be created.
  o = quick(data, 1);
  std::ofstream(dir / "file") << "x";
  o.project = (dir / "file").string();
  try {
    model.train(o);
    ADD_FAILURE() << "trained into a file";
  } catch (const EngineError& e) {
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
  }
  EXPECT_THROW(YOLO((dir / "det" / "data.yaml").string()), EngineError);
  EXPECT_THROW(YOLO("runs/nowhere/best.pt"), EngineError);
  EXPECT_THROW(model.add_callback("on_banana", [](Trainer&) {}), EngineError);
}

}  // namespace
}  // namespace orvane::engine
