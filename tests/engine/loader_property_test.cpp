// The training loader on thousands of random samples: random label sets full of degenerate
// outlines (collinear, repeated points, zero area, at and past the edges, tiny, overlapping,
// nested, box lines among polygons) through mosaic, random perspective, HSV and flips, at image
// sizes that are and are not multiples of 32. Every sample must come out, with masks of the
// right size and boxes inside the image; and a sample that does fail is left out of its batch
// without ending the run, until so many fail that something must be systematically wrong.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/data/data_config.h"
#include "engine/data/loader.h"
#include "engine/data/masks.h"
#include "engine/error.h"
#include "engine/logger.h"

namespace fs = std::filesystem;
using namespace orvane::engine;

namespace {

fs::path temp_dir(const std::string& name) {
  fs::path dir = fs::temp_directory_path() /
                 ("orvane_loader_property_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// One random object as a label line, normalised; a good share of them degenerate.
std::string random_object(std::mt19937& rng) {
  auto u = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto clamp = [](double v) { return std::clamp(v, 0.0, 1.0); };
  std::ostringstream line;
  line << std::uniform_int_distribution<int>(0, 2)(rng);
  std::vector<std::pair<double, double>> pts;
  const double cx = u(0, 1), cy = u(0, 1);
  switch (std::uniform_int_distribution<int>(0, 8)(rng)) {
    case 0: {  // a box line
      const double w = u(0.01, 0.8), h = u(0.01, 0.8);
      line << " " << clamp(cx) << " " << clamp(cy) << " " << std::min(w, 2 * std::min(cx, 1 - cx))
           << " " << std::min(h, 2 * std::min(cy, 1 - cy));
      return line.str();
    }
    case 1:  // collinear points: a box, no area
      for (int k = 0; k < 4; ++k) pts.emplace_back(clamp(cx + 0.1 * k), clamp(cy + 0.07 * k));
      break;
    case 2:  // three identical points
      for (int k = 0; k < 3; ++k) pts.emplace_back(cx, cy);
      break;
    case 3:  // there and back again: two distinct points, zero area
      pts = {{cx, cy}, {clamp(cx + 0.2), clamp(cy + 0.1)}, {cx, cy}};
      break;
    case 4: {  // tiny: well under a pixel of the mask grid
      const double r = u(0.001, 0.01);
      for (int k = 0; k < 5; ++k)
        pts.emplace_back(clamp(cx + r * std::cos(k * 1.3)), clamp(cy + r * std::sin(k * 1.3)));
      break;
    }
    case 5: {  // hugging an edge, a hair past it (the reader clips within 1 %)
      const double x0 = u(0, 0.5);
      pts = {{-0.004, x0}, {0.05, x0}, {0.05, x0 + 0.3}, {-0.004, x0 + 0.3}};
      if (rng() % 2)
        for (auto& p : pts) p = {1 - p.first, p.second};
      break;
    }
    case 6: {  // a large star-shaped outline, concave, often crossing others
      const int n = std::uniform_int_distribution<int>(3, 16)(rng);
      for (int k = 0; k < n; ++k) {
        const double r = u(0.05, 0.5), a = 2 * CV_PI * k / n;
        pts.emplace_back(clamp(cx + r * std::cos(a)), clamp(cy + r * std::sin(a)));
      }
      break;
    }
    default: {  // an ordinary convex outline, small to medium
      const int n = std::uniform_int_distribution<int>(3, 12)(rng);
      const double r = u(0.02, 0.25);
      for (int k = 0; k < n; ++k) {
        const double a = 2 * CV_PI * k / n;
        pts.emplace_back(clamp(cx + r * std::cos(a)), clamp(cy + r * std::sin(a)));
      }
    }
  }
  for (auto [x, y] : pts) line << " " << x << " " << y;
  return line.str();
}

// `n` images of random sizes (not multiples of 32), one to eight random objects each, and a
// nested pair (a small outline inside a large one) on every third image.
fs::path make_random_set(const std::string& name, int n, unsigned seed) {
  const fs::path root = temp_dir(name);
  fs::create_directories(root / "images");
  fs::create_directories(root / "labels");
  std::mt19937 rng(seed);
  const std::vector<cv::Size> sizes{{77, 50}, {131, 90}, {64, 64}, {45, 140}, {200, 33}};
  for (int i = 0; i < n; ++i) {
    const cv::Size size = sizes[i % sizes.size()];
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, 0, 255);
    const std::string stem = "img" + std::to_string(i);
    cv::imwrite((root / "images" / (stem + ".png")).string(), image);
    std::ofstream labels(root / "labels" / (stem + ".txt"));
    const int objects = std::uniform_int_distribution<int>(1, 8)(rng);
    for (int k = 0; k < objects; ++k) labels << random_object(rng) << "\n";
    if (i % 3 == 0)
      labels << "0 0.2 0.2 0.8 0.2 0.8 0.8 0.2 0.8\n1 0.45 0.45 0.55 0.45 0.55 0.55 0.45 0.55\n";
  }
  std::ofstream(root / "data.yaml") << "path: " << root.string()
                                    << "\ntrain: images\nval: images\nnames: [a, b, c]\n";
  return root;
}

// Collects the loader's warnings while alive.
struct Warnings {
  std::vector<std::string> lines;
  int id;
  Warnings() : id(LOGGER.add_handler([this](const LogRecord& r) {
    if (r.level == LogLevel::warning) lines.push_back(r.message);
  })) {}
  ~Warnings() { LOGGER.remove_handler(id); }
};

struct Case {
  bool segment;
  int imgsz;
  int workers;
  bool wild;  // strong rotation, shear and perspective, vertical flips
};

}  // namespace

TEST(LoaderProperty, EverySampleOfRandomDegenerateSetsIsPrepared) {
  const fs::path root = make_random_set("random", 30, 11);
  const DataConfig cfg = load_data_config(root / "data.yaml");
  const std::vector<Case> cases{{true, 64, 2, false},  {true, 100, 0, true}, {true, 72, 2, true},
                                {false, 96, 2, false}, {false, 72, 0, true}, {true, 96, 2, false}};
  std::size_t samples = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("segment " + std::to_string(c.segment) + " imgsz " + std::to_string(c.imgsz) +
                 " workers " + std::to_string(c.workers) + " wild " + std::to_string(c.wild));
    LoaderOptions opt;
    opt.imgsz = c.imgsz;
    opt.batch = 8;
    opt.workers = c.workers;
    opt.augment = opt.shuffle = true;
    opt.segment = c.segment;
    opt.seed = static_cast<std::uint64_t>(c.imgsz * 7 + c.workers);
    if (c.wild) {
      opt.hyp.degrees = 45;
      opt.hyp.shear = 15;
      opt.hyp.perspective = 0.001f;
      opt.hyp.translate = 0.4f;
      opt.hyp.scale = 0.9f;
      opt.hyp.flipud = 0.5f;
    }
    auto loader = build_loader(cfg, "train", opt);
    const std::size_t n = loader->dataset().size();
    Warnings warnings;
    for (int epoch = 0; epoch < 24; ++epoch) {
      loader->set_mosaic(epoch % 4 != 3);
      loader->begin_epoch(epoch);
      std::size_t seen = 0;
      while (auto batch = loader->next()) {
        const int64_t b = batch->images.size(0);
        seen += static_cast<std::size_t>(b);
        ASSERT_EQ(batch->images.sizes(), (std::vector<int64_t>{b, 3, c.imgsz, c.imgsz}));
        const int64_t objects = batch->cls.size(0);
        if (c.segment) {
          ASSERT_EQ(batch->masks.sizes(),
                    (std::vector<int64_t>{objects, c.imgsz / 4, c.imgsz / 4}));
        }
        auto boxes = batch->bboxes.accessor<float, 2>();
        for (int64_t k = 0; k < objects; ++k) {
          const float cx = boxes[k][0], cy = boxes[k][1], w = boxes[k][2], h = boxes[k][3];
          ASSERT_TRUE(std::isfinite(cx) && std::isfinite(cy) && std::isfinite(w) &&
                      std::isfinite(h));
          ASSERT_GT(w, 0.f);
          ASSERT_GT(h, 0.f);
          ASSERT_GE(cx - w / 2, -1e-4f);
          ASSERT_GE(cy - h / 2, -1e-4f);
          ASSERT_LE(cx + w / 2, 1 + 1e-4f);
          ASSERT_LE(cy + h / 2, 1 + 1e-4f);
          const int64_t i = batch->batch_idx[k].item<int64_t>();
          ASSERT_TRUE(i >= 0 && i < b);
        }
      }
      ASSERT_EQ(seen, n) << "epoch " << epoch << ": samples were left out";
      samples += seen;
    }
    ASSERT_TRUE(warnings.lines.empty()) << warnings.lines.front();
  }
  EXPECT_GE(samples, 4000u);
  fs::remove_all(root);
}

// The masks of hand-made degenerate samples, straight: an empty mask beside overlapping ones
// (the crash that ended segmentation runs), outlines wholly outside the image, vertices at
// infinity and not numbers.
TEST(LoaderProperty, DegenerateOutlinesGiveEmptyMasksAndLeaveTheOthersWhole) {
  Sample s;
  s.image = cv::Mat(50, 70, CV_8UC3, cv::Scalar(0, 0, 0));
  auto add = [&](std::vector<cv::Point2f> poly) {
    s.cls.push_back(0);
    s.boxes.push_back(cv::boundingRect(poly));
    s.polygons.push_back(std::move(poly));
  };
  add({{4, 4}, {40, 4}, {40, 40}, {4, 40}});          // large
  add({{20, 20}, {30, 20}, {30, 30}, {20, 30}});      // small, inside the large one
  add({{21.2f, 21.2f}, {21.4f, 21.2f}, {21.3f, 21.4f}});  // covers no cell
  add({{5, 5}, {30, 30}, {5, 5}});                    // zero area across both
  add({{-90, -90}, {-80, -90}, {-85, -80}});          // wholly outside
  add({{50, 10}, {1e30f, 12}, {60, 40}});              // a vertex nearly at infinity
  add({{50, 10}, {std::nanf(""), 12}, {60, 40}, {55, 45}});  // one that is no number
  const std::vector<cv::Mat> masks = sample_masks(s);
  ASSERT_EQ(masks.size(), 7u);
  for (const cv::Mat& m : masks) ASSERT_EQ(m.size(), cv::Size(17, 12));
  const int large = cv::countNonZero(masks[0]), small = cv::countNonZero(masks[1]);
  EXPECT_GT(small, 4);
  EXPECT_GT(large, 40);
  EXPECT_EQ(cv::countNonZero(masks[0] & masks[1]), 0) << "the smaller object keeps the overlap";
  EXPECT_EQ(cv::countNonZero(masks[2]), 0);
  EXPECT_EQ(cv::countNonZero(masks[4]), 0);
  EXPECT_GT(cv::countNonZero(masks[5]), 0) << "the part inside the image is still there";
  EXPECT_GT(cv::countNonZero(masks[6]), 0);
}

// A sample that throws (its image vanished after the scan) is left out of its batch and named
// once; the epoch goes on. Twenty in one epoch, or a whole batch, stop the run with a clear line.
TEST(LoaderProperty, FailingSamplesAreLeftOutUntilTooManyFail) {
  for (const int workers : {0, 2}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    const fs::path root = make_random_set("failing" + std::to_string(workers), 30, 5);
    const DataConfig cfg = load_data_config(root / "data.yaml");
    LoaderOptions opt;
    opt.imgsz = 64;
    opt.batch = 4;
    opt.workers = workers;
    opt.segment = true;
    opt.cache_limit_bytes = 1;  // nothing cached: every sample reads its file
    auto loader = build_loader(cfg, "train", opt);
    // Images are taken away into `aside` and put back by their dataset index.
    const fs::path aside = root / "aside";
    fs::create_directories(aside);
    auto take = [&](std::size_t i) {
      const fs::path p = loader->dataset().image_path(i);
      fs::rename(p, aside / p.filename());
    };
    auto restore_all = [&] {
      for (const auto& e : fs::directory_iterator(aside))
        fs::rename(e.path(), root / "images" / e.path().filename());
    };
    // Runs `epoch` to its end, which must be a stop whose line contains `why`.
    auto expect_stop = [&](int epoch, const std::string& why) {
      loader->begin_epoch(epoch);
      try {
        while (loader->next()) {
        }
        ADD_FAILURE() << "epoch " << epoch << " ended quietly; expected: " << why;
      } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
      }
    };
    Warnings warnings;
    const std::string gone = fs::path(loader->dataset().image_path(5)).filename().string();
    take(5);
    for (int epoch = 0; epoch < 2; ++epoch) {
      loader->begin_epoch(epoch);
      std::size_t seen = 0;
      while (auto batch = loader->next()) {
        seen += static_cast<std::size_t>(batch->images.size(0));
        EXPECT_EQ(batch->paths.size(), static_cast<std::size_t>(batch->images.size(0)));
        for (const auto& p : batch->paths) EXPECT_EQ(p.find(gone), std::string::npos);
      }
      EXPECT_EQ(seen, 29u);
    }
    ASSERT_EQ(warnings.lines.size(), 1u) << "named once, not every epoch";
    EXPECT_NE(warnings.lines[0].find(gone), std::string::npos);
    EXPECT_NE(warnings.lines[0].find("left out of its batch"), std::string::npos);
    restore_all();

    // A whole batch: without shuffling, the first batch is dataset images 0..3.
    for (std::size_t i = 0; i < 4; ++i) take(i);
    expect_stop(2, "every sample of batch 1");
    restore_all();

    // Twenty in one epoch, three of every four, so that no batch fails whole.
    for (std::size_t i = 0; i < 30; ++i)
      if (i % 4 != 0) take(i);
    expect_stop(3, "20 samples failed in epoch 4");
    fs::remove_all(root);
  }
}

// A batch the machine cannot hold ends the run with its reason, from a worker thread too (thrown
// out of a worker, it used to end the process).
TEST(LoaderProperty, ABatchThatCannotBeAllocatedStopsTheRunWithItsReason) {
  const fs::path root = make_random_set("huge", 4, 3);
  LoaderOptions small;
  small.imgsz = 64;
  small.batch = 2;
  small.workers = 2;
  auto dataset = build_dataset(load_data_config(root / "data.yaml"), "train", small);
  LoaderOptions huge = small;
  huge.imgsz = 4'000'000;  // 2 x 3 x 4e6 x 4e6 floats
  DataLoader loader(dataset, huge);
  try {
    while (loader.next()) {
    }
    ADD_FAILURE() << "an impossible batch was yielded";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot allocate batch 1"), std::string::npos) << e.what();
  }
  fs::remove_all(root);
}
