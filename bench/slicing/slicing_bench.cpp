// Sliced prediction on large images with small objects (run.sh drives it):
//
//   slicing_bench make OUT
//       OUT/tiles/: 96-px training and validation images of the shapes (rectangles and discs of
//       20-40 px on a noisy background, 1-4 a picture); OUT/large/: 1600-px images with about
//       150 of the same shapes each. Both with data.yaml, deterministic.
//   slicing_bench train OUT EPOCHS
//       yolov8n from scratch on OUT/tiles at 96 px: OUT/runs/tiles/weights/best.pt.
//   slicing_bench measure MODEL OUT [TILE]
//       box mAP50 of the model on its own 96-px validation images (native), on the large images
//       plain (at its training size and at the large images' full size) and sliced (greedy
//       union and NMS merges); then time per large image sliced and the share outside the
//       network's forward (tiling, mapping, merging).

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>

#include "engine/data/dataset.h"
#include "engine/sliced_predictor.h"
#include "engine/yolo.h"

namespace fs = std::filesystem;
using namespace orvane::engine;

namespace {

struct Shape {
  int cls;
  cv::Rect box;
};

// Pastes up to `count` non-overlapping shapes of 20-40 px into `image`.
std::vector<Shape> paste_shapes(cv::Mat& image, int count, std::mt19937& rng) {
  std::uniform_int_distribution<int> side(20, 40), colour(120, 255), cls_of(0, 1);
  std::vector<Shape> shapes;
  for (int tries = 0; static_cast<int>(shapes.size()) < count && tries < count * 20; ++tries) {
    const int cls = cls_of(rng);
    const int w = side(rng), h = cls == 0 ? side(rng) : w;
    if (w + 2 >= image.cols || h + 2 >= image.rows) continue;
    const int x = std::uniform_int_distribution<int>(1, image.cols - w - 1)(rng);
    const int y = std::uniform_int_distribution<int>(1, image.rows - h - 1)(rng);
    const cv::Rect box(x, y, w, h);
    bool clear = true;
    for (const Shape& s : shapes)
      if (((box - cv::Point(2, 2) + cv::Size(4, 4)) & s.box).area() > 0) clear = false;
    if (!clear) continue;
    const cv::Scalar c(colour(rng), colour(rng), colour(rng));
    if (cls == 0)
      cv::rectangle(image, box, c, cv::FILLED);
    else
      cv::circle(image, {x + w / 2, y + w / 2}, w / 2, c, cv::FILLED, cv::LINE_AA);
    shapes.push_back({cls, box});
  }
  return shapes;
}

cv::Mat background(int w, int h, std::mt19937& rng) {
  std::uniform_int_distribution<int> level(0, 90);
  cv::Mat image(h, w, CV_8UC3, cv::Scalar(level(rng), level(rng), level(rng)));
  cv::Mat noise(h, w, CV_16SC3);
  cv::randn(noise, 0, 6);
  cv::Mat out;
  image.convertTo(out, CV_16SC3);
  out += noise;
  out.convertTo(image, CV_8UC3);
  return image;
}

void write_sample(const fs::path& root, const std::string& split, const std::string& stem,
                  const cv::Mat& image, const std::vector<Shape>& shapes) {
  cv::imwrite((root / "images" / split / (stem + ".jpg")).string(), image,
              {cv::IMWRITE_JPEG_QUALITY, 95});
  std::ofstream label(root / "labels" / split / (stem + ".txt"));
  const double w = image.cols, h = image.rows;
  for (const Shape& s : shapes)
    label << s.cls << " " << (s.box.x + s.box.width / 2.0) / w << " "
          << (s.box.y + s.box.height / 2.0) / h << " " << s.box.width / w << " "
          << s.box.height / h << "\n";
}

void make_set(const fs::path& root, int size, int train, int val, int shapes_min, int shapes_max,
              unsigned seed) {
  std::mt19937 rng(seed);
  for (const char* split : {"train", "val"}) {
    fs::create_directories(root / "images" / split);
    fs::create_directories(root / "labels" / split);
  }
  std::uniform_int_distribution<int> count(shapes_min, shapes_max);
  for (int i = 0; i < train + val; ++i) {
    const std::string split = i < train ? "train" : "val";
    cv::Mat image = background(size, size, rng);
    const auto shapes = paste_shapes(image, count(rng), rng);
    char stem[32];
    std::snprintf(stem, sizeof stem, "%s_%04d", split.c_str(), i);
    write_sample(root, split, stem, image, shapes);
  }
  std::ofstream(root / "data.yaml") << "path: " << fs::absolute(root).string()
                                    << "\ntrain: images/train\nval: images/val\n"
                                       "names:\n  0: rect\n  1: circle\n";
}

double map50(YOLO& model, const fs::path& data, int imgsz, const SliceOptions& slice = {}) {
  ValArgs args;
  args.data = data.string();
  args.imgsz = imgsz;
  args.batch = imgsz > 640 ? 1 : 16;
  args.workers = 2;
  args.slice = slice;
  return model.val(args).box.map50();
}

int measure(const fs::path& model_path, const fs::path& out, int tile) {
  YOLO model(model_path.string());
  const fs::path tiles = out / "tiles" / "data.yaml", large = out / "large" / "data.yaml";
  SliceOptions greedy;
  greedy.width = greedy.height = tile;
  greedy.overlap = 0.2f;
  SliceOptions nms = greedy;
  nms.merge = SliceMerge::kNms;
  const double native = map50(model, tiles, 96);
  const double plain_small = map50(model, large, 96);
  const double plain_full = map50(model, large, 1600);
  const double sliced = map50(model, large, 96, greedy);
  const double sliced_nms = map50(model, large, 96, nms);

  // Timing: prediction as `orvane predict slice=96` runs it (conf 0.25), on the fused model.
  YoloModel fused = clone_model(model.model());
  fused->eval();
  fused->fuse();
  const Network network = network_of(fused);
  PredictOptions po;
  po.verbose = false;
  po.slice = greedy;
  std::vector<fs::path> images;
  for (const auto& e : fs::directory_iterator(out / "large" / "images" / "val"))
    images.push_back(e.path());
  std::sort(images.begin(), images.end());
  SliceTiming sum;
  int found = 0;
  for (const auto& path : images) {
    const cv::Mat bgr = read_bgr(path.string());
    predict_sliced(network, bgr, path.string(), po);  // warm-up (allocator, oneDNN kernels)
    SliceTiming t;
    const Results r = predict_sliced(network, bgr, path.string(), po, &t);
    found += static_cast<int>(r.boxes.size());
    sum.tiles += t.tiles, sum.batches += t.batches;
    sum.total_ms += t.total_ms, sum.forward_ms += t.forward_ms;
  }
  const double n = static_cast<double>(images.size());
  std::printf("\nbox mAP50: native 96-px val %.3f | large sliced (greedy union) %.3f | "
              "sliced (NMS) %.3f | plain at 96 %.3f | plain at 1600 %.3f\n",
              native, sliced, sliced_nms, plain_small, plain_full);
  std::printf("sliced / native %.2f; sliced / plain-96 %.1fx; sliced / plain-1600 %.2f\n",
              sliced / native, plain_small > 0 ? sliced / plain_small : 0.0,
              plain_full > 0 ? sliced / plain_full : 0.0);
  std::printf("time per %dx%d image sliced: %.0f ms (%.0f tiles in %.1f batches), forward %.0f ms, "
              "outside the forward %.1f %%; %.0f objects found per image\n",
              1600, 1600, sum.total_ms / n, sum.tiles / n, sum.batches / n, sum.forward_ms / n,
              100.0 * (sum.total_ms - sum.forward_ms) / sum.total_ms, found / n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "make") {
    const fs::path out = argv[2];
    make_set(out / "tiles", 96, 1200, 150, 1, 4, 1);
    make_set(out / "large", 1600, 0, 6, 150, 150, 2);
    std::cout << "wrote " << (out / "tiles" / "data.yaml") << " and " << (out / "large" / "data.yaml")
              << "\n";
    return 0;
  }
  if (argc >= 4 && std::string(argv[1]) == "train") {
    const fs::path out = argv[2];
    TrainOptions o;
    o.data = (out / "tiles" / "data.yaml").string();
    o.imgsz = 96;
    o.epochs = std::atoi(argv[3]);
    o.batch = 32;
    o.workers = 2;
    o.project = (out / "runs").string();
    o.name = "tiles";
    o.exist_ok = true;
    o.plots = false;
    YOLO model("yolov8n.yaml");
    model.train(o);
    return 0;
  }
  if (argc >= 4 && std::string(argv[1]) == "measure")
    return measure(argv[2], argv[3], argc >= 5 ? std::atoi(argv[4]) : 96);
  std::cerr << "usage: slicing_bench make OUT | train OUT EPOCHS | measure MODEL OUT [TILE]\n";
  return 2;
}
