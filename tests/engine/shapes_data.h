#pragma once
// A tiny, trivially learnable dataset drawn with OpenCV for the engine tests.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>

namespace orvane::engine {

namespace fs = std::filesystem;

// `count` images of size x size, each with one large filled rectangle (class 0) or disc
// (class 1) on a dark noisy background. Box labels, or polygon labels when `polygons`.
inline fs::path make_dataset(const fs::path& root, bool polygons, int count = 16, int size = 64) {
  fs::remove_all(root);
  fs::create_directories(root / "images" / "train");
  fs::create_directories(root / "labels" / "train");
  std::mt19937 rng(7);
  const double s = size;
  std::uniform_int_distribution<int> colour(150, 255), pos(size * 7 / 32, size * 25 / 32),
      radius(size * 9 / 64, size * 13 / 64);
  for (int i = 0; i < count; ++i) {
    cv::Mat img(size, size, CV_8UC3, cv::Scalar(40, 30, 25));
    cv::Mat noise(size, size, CV_8UC3);
    cv::randn(noise, 0, 6);
    img += noise;
    const int cls = i % 2;
    const int cx = pos(rng), cy = pos(rng), r = radius(rng);
    const cv::Scalar c(colour(rng), colour(rng), colour(rng));
    std::ostringstream label;
    label << cls;
    if (cls == 0) {
      cv::rectangle(img, cv::Point(cx - r, cy - r), cv::Point(cx + r - 1, cy + r - 1), c, -1);
      if (polygons) {
        for (auto [x, y] :
             {std::pair{cx - r, cy - r}, {cx + r, cy - r}, {cx + r, cy + r}, {cx - r, cy + r}})
          label << " " << x / s << " " << y / s;
      }
    } else {
      cv::circle(img, cv::Point(cx, cy), r, c, -1, cv::LINE_AA);
      if (polygons) {
        for (int k = 0; k < 24; ++k) {
          const double t = 2 * M_PI * k / 24;
          label << " " << (cx + r * std::cos(t)) / s << " " << (cy + r * std::sin(t)) / s;
        }
      }
    }
    if (!polygons) label << " " << cx / s << " " << cy / s << " " << 2 * r / s << " " << 2 * r / s;
    const auto stem = "img" + std::to_string(i);
    cv::imwrite((root / "images" / "train" / (stem + ".png")).string(), img);
    std::ofstream(root / "labels" / "train" / (stem + ".txt")) << label.str() << "\n";
  }
  // Validation on the training images: this set tests that learning works, not generalisation.
  std::ofstream(root / "data.yaml") << "path: " << root.string()
                                    << "\ntrain: images/train\nval: images/train\n"
                                       "names:\n  0: square\n  1: disc\n";
  return root / "data.yaml";
}

}  // namespace orvane::engine

namespace orvane::engine {

// A folder-layout classification set: root/train/<class>/ and root/val/<class>/ with
// `per_class` and `per_class / 2` (at least 1) images of size x size, one large filled shape
// each (square, disc, triangle) in a random colour and place on a dark noisy background.
inline fs::path make_classify_dataset(const fs::path& root, int per_class = 8, int size = 64) {
  fs::remove_all(root);
  const char* names[] = {"disc", "square", "triangle"};
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> colour(120, 255), pos(size * 3 / 8, size * 5 / 8),
      radius(size / 5, size * 3 / 10);
  for (const char* split : {"train", "val"}) {
    const int count = std::string(split) == "train" ? per_class : std::max(1, per_class / 2);
    for (int cls = 0; cls < 3; ++cls) {
      const fs::path dir = root / split / names[cls];
      fs::create_directories(dir);
      for (int i = 0; i < count; ++i) {
        cv::Mat img(size, size, CV_8UC3, cv::Scalar(40, 30, 25));
        cv::Mat noise(size, size, CV_8UC3);
        cv::randn(noise, 0, 6);
        img += noise;
        const int cx = pos(rng), cy = pos(rng), r = radius(rng);
        const cv::Scalar c(colour(rng), colour(rng), colour(rng));
        if (cls == 0) {
          cv::circle(img, {cx, cy}, r, c, -1, cv::LINE_AA);
        } else if (cls == 1) {
          cv::rectangle(img, {cx - r, cy - r}, {cx + r, cy + r}, c, -1);
        } else {
          std::vector<cv::Point> tri{{cx, cy - r}, {cx + r, cy + r}, {cx - r, cy + r}};
          cv::fillConvexPoly(img, tri, c, cv::LINE_AA);
        }
        cv::imwrite((dir / (std::string(names[cls]) + std::to_string(i) + ".png")).string(), img);
      }
    }
  }
  return root;
}

}  // namespace orvane::engine
