#pragma once
// The classification data set: a folder of splits, each a folder per class.
//
//   root/train/<class>/*.jpg    the class names are train's folder names, sorted
//   root/val/<class>/*.jpg      validation (test/ when there is no val/)
//   root/test/<class>/*.jpg     optional
//
// Images are read with OpenCV; a file that does not decode is left out of its batch with a
// warning, never the run's end.

#include <torch/torch.h>

#include <cstdint>
#include <filesystem>
#include <opencv2/core.hpp>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace orvane::engine::classify {

struct Sample {
  std::filesystem::path image;
  int cls = 0;
};

struct ClassifyData {
  std::filesystem::path root;
  std::vector<std::string> names;  // class id -> folder name
  std::vector<Sample> train;
  std::vector<Sample> val;            // of `val_split`
  std::string val_split;              // "val" or "test"
  std::vector<std::string> warnings;  // folders left out, with why
};

// Scans `root`. `split` is the split validation reads ("val", or "test"); "val" falls back to
// test/ when there is no val/. Throws EngineError when root is not a folder, train/ has no class
// folder or no image, or the validation split is missing or empty.
ClassifyData scan_classify_data(const std::filesystem::path& root,
                                const std::string& split = "val");

// One split only (val or test), with train's class names: for validating a trained model.
std::vector<Sample> scan_split(const std::filesystem::path& root, const std::string& split,
                               const std::vector<std::string>& names,
                               std::vector<std::string>* warnings = nullptr);

// The evaluation view of an image: the shorter side scaled to `size`, the centre size x size
// cropped, RGB float 0..1 as [3, size, size].
torch::Tensor eval_tensor(const cv::Mat& bgr, int size);

// A training view: a random crop of 35-100 % of the area at an aspect ratio of 3/4 to 4/3,
// scaled to size x size, flipped left-right with probability `fliplr`, its hue, saturation and
// value jittered by `hsv_h`, `hsv_s`, `hsv_v` (fractions as in the detection augmentation).
struct TrainAugment {
  double fliplr = 0.5;
  double hsv_h = 0.015, hsv_s = 0.7, hsv_v = 0.4;
};
torch::Tensor train_tensor(const cv::Mat& bgr, int size, const TrainAugment& aug,
                           std::mt19937_64& rng);

// A batch of samples[order[first .. first+count)]: images [n,3,size,size] and classes [n]
// (int64). Images that do not decode are skipped (`skipped` gets their paths); `rng` null means
// the evaluation view.
std::pair<torch::Tensor, torch::Tensor> load_batch(const std::vector<Sample>& samples,
                                                   const std::vector<size_t>& order, size_t first,
                                                   size_t count, int size, const TrainAugment& aug,
                                                   std::mt19937_64* rng,
                                                   std::vector<std::string>* skipped);

}  // namespace orvane::engine::classify
