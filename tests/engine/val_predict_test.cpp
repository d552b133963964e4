// The validator and the predictor on small fresh models: what they return, the files they
// write, and the mapping of boxes and mask outlines back onto the source image.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "engine/data/loader.h"
#include "engine/error.h"
#include "engine/model.h"
#include "engine/predictor.h"
#include "engine/validator.h"

namespace fs = std::filesystem;
using namespace orvane::engine;

namespace {

fs::path temp_dir(const std::string& name) {
  fs::path dir =
      fs::temp_directory_path() / ("orvane_valpred_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Four 64 px images (two of them wider than high) with one square and one triangle each.
fs::path make_val_set(const std::string& name) {
  const fs::path root = temp_dir(name);
  fs::create_directories(root / "val" / "images");
  fs::create_directories(root / "val" / "labels");
  for (int i = 0; i < 4; ++i) {
    const int w = 64, h = i < 2 ? 48 : 64;
    cv::Mat image(h, w, CV_8UC3, cv::Scalar(80, 80, 80));
    cv::rectangle(image, cv::Rect(4 + i, 4, 20, 20), cv::Scalar(0, 0, 255), cv::FILLED);
    std::vector<cv::Point> tri{{40, 10 + i}, {60, 40}, {30, 40}};
    cv::fillConvexPoly(image, tri, cv::Scalar(255, 0, 0));
    cv::imwrite((root / "val" / "images" / ("v" + std::to_string(i) + ".png")).string(), image);
    std::ofstream label(root / "val" / "labels" / ("v" + std::to_string(i) + ".txt"));
    label << "0 " << (14.0 + i) / w << " " << 14.0 / h << " " << 20.0 / w << " " << 20.0 / h
          << "\n";
    label << "1";
    for (const auto& p : tri) label << " " << double(p.x) / w << " " << double(p.y) / h;
    label << "\n";
  }
  std::ofstream(root / "data.yaml") << "path: " << root.string()
                                    << "\ntrain: val/images\nval: val/images\nnames: [square, "
                                       "triangle]\n";
  return root;
}

std::unique_ptr<DataLoader> val_loader(const fs::path& root, bool segment) {
  LoaderOptions opt;
  opt.imgsz = 64;
  opt.batch = 2;
  opt.workers = 2;
  opt.rect = true;
  opt.segment = segment;
  return build_loader(load_data_config(root / "data.yaml"), "val", opt);
}

}  // namespace

TEST(Validator, DetectionResultsFilesAndHooks) {
  torch::manual_seed(0);
  const fs::path root = make_val_set("det");
  YoloModel model(ModelSpec{'n', Task::detect, 2}, std::vector<std::string>{"square", "triangle"});
  model->train();
  auto loader = val_loader(root, false);
  ValOptions opt;
  opt.save_dir = root / "run";
  fs::create_directories(opt.save_dir);
  opt.compute_loss = true;
  opt.per_class = true;
  int hook_calls = 0;
  opt.render_plots = [&](const fs::path& dir) {
    ++hook_calls;
    EXPECT_EQ(dir, opt.save_dir);
  };
  const ValResult r = validate(model, *loader, opt);
  EXPECT_TRUE(model->is_training());  // the mode is restored
  EXPECT_EQ(r.images, 4);
  EXPECT_EQ(r.instances, 8);
  EXPECT_FALSE(r.mask.has_value());
  ASSERT_EQ(r.metrics().size(), 4u);
  EXPECT_EQ(r.metrics()[2].first, "metrics/mAP50(B)");
  EXPECT_GE(r.fitness, 0.0);
  EXPECT_LE(r.fitness, 1.0);
  EXPECT_EQ(r.box.classes, (std::vector<int>{0, 1}));
  ASSERT_EQ(r.losses.size(), 3u);
  for (float l : r.losses) EXPECT_TRUE(std::isfinite(l));
  EXPECT_EQ(hook_calls, 1);
  for (const char* f :
       {"val_batch0_labels.jpg", "val_batch0_pred.jpg", "curves.json", "confusion_matrix.json"})
    EXPECT_TRUE(fs::exists(opt.save_dir / f)) << f;
  EXPECT_FALSE(cv::imread((opt.save_dir / "val_batch0_labels.jpg").string()).empty());
  fs::remove_all(root);
}

TEST(Validator, SegmentationAddsMaskMetrics) {
  torch::manual_seed(0);
  const fs::path root = make_val_set("seg");
  YoloModel model(ModelSpec{'n', Task::segment, 2}, std::vector<std::string>{"square", "triangle"});
  auto loader = val_loader(root, true);
  ValOptions opt;
  opt.compute_loss = true;
  const ValResult r = validate(model, *loader, opt);
  ASSERT_TRUE(r.mask.has_value());
  ASSERT_EQ(r.metrics().size(), 8u);
  EXPECT_EQ(r.metrics()[7].first, "metrics/mAP50-95(M)");
  EXPECT_EQ(r.losses.size(), 4u);
  fs::remove_all(root);
}

// A failure in the middle of validation (here the loss of a segmentation model on batches
// without masks) still gives the model back its training mode: a trainer that catches the error
// goes on with batch statistics updating as before.
TEST(Validator, TheTrainingModeComesBackWhenValidationThrows) {
  torch::manual_seed(0);
  const fs::path root = make_val_set("throws");
  YoloModel model(ModelSpec{'n', Task::segment, 2}, std::vector<std::string>{"square", "triangle"});
  model->train();
  auto loader = val_loader(root, false);  // boxes only
  ValOptions opt;
  opt.compute_loss = true;
  EXPECT_THROW(validate(model, *loader, opt), EngineError);
  EXPECT_TRUE(model->is_training());
  fs::remove_all(root);
}

TEST(Predictor, BoxesAndOutlinesLandOnTheSourceImage) {
  torch::manual_seed(0);
  const fs::path dir = temp_dir("pred");
  cv::Mat image(60, 100, CV_8UC3, cv::Scalar(30, 120, 200));
  cv::circle(image, {50, 30}, 20, cv::Scalar(0, 255, 0), cv::FILLED);
  const std::string path = (dir / "wide.png").string();
  cv::imwrite(path, image);

  YoloModel model(ModelSpec{'n', Task::segment, 2}, std::vector<std::string>{"a", "b"});
  PredictOptions opt;
  opt.conf = 1e-4f;  // fresh weights score everything low; we want some detections
  opt.imgsz = 64;
  opt.max_det = 20;
  opt.verbose = false;
  auto results = predict(model, path, opt);
  ASSERT_EQ(results.size(), 1u);
  const Results& r = results[0];
  ASSERT_GT(r.boxes.size(), 0u);
  ASSERT_TRUE(r.masks.has_value());
  EXPECT_EQ(r.masks->xy.size(), r.boxes.size());
  EXPECT_EQ(r.masks->data.size(), r.boxes.size());
  auto b = r.boxes.xyxy;
  EXPECT_GE(b.min().item<float>(), 0.0f);
  EXPECT_LE(b.select(1, 2).max().item<float>(), 100.0f);
  EXPECT_LE(b.select(1, 3).max().item<float>(), 60.0f);
  for (std::size_t i = 0; i < r.boxes.size(); ++i) {
    EXPECT_FALSE(r.masks->xy[i].empty());
    for (const auto& p : r.masks->xy[i]) {
      EXPECT_GE(p.x, 0.0f);
      EXPECT_LE(p.x, 100.0f);
      EXPECT_GE(p.y, 0.0f);
      EXPECT_LE(p.y, 60.0f);
    }
    EXPECT_GT(cv::countNonZero(r.masks->data[i]), 0);  // empty masks were dropped
  }
  const cv::Mat plotted = r.plot();
  EXPECT_EQ(plotted.size(), image.size());
  EXPECT_EQ(plotted.type(), CV_8UC3);
  std::istringstream lines(r.to_label_text());
  std::string line;
  std::size_t count = 0;
  while (std::getline(lines, line)) ++count;
  EXPECT_EQ(count, r.boxes.size());

  // Files that are not images are a clear error, not a crash.
  std::ofstream(dir / "broken.jpg") << "\xff\xd8\xff garbage";
  EXPECT_THROW(predict(model, (dir / "broken.jpg").string(), opt), EngineError);
  EXPECT_THROW(predict(model, (dir / "missing.jpg").string(), opt), EngineError);
  EXPECT_THROW(predict(model, dir.string(), opt), EngineError);
  fs::remove_all(dir);
}
