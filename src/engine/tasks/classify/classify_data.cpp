#include "engine/tasks/classify/classify_data.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <system_error>

#include "engine/error.h"
#include "engine/limits.h"
#include "files/label_format.h"

namespace orvane::engine::classify {

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> sorted_entries(const fs::path& dir, bool folders) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const bool is_dir = it->is_directory(ec);
    if (folders ? is_dir : (!is_dir && files::is_image_path(it->path().string())))
      out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool is_folder(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

}  // namespace

std::vector<Sample> scan_split(const fs::path& root, const std::string& split,
                               const std::vector<std::string>& names,
                               std::vector<std::string>* warnings) {
  std::vector<Sample> samples;
  for (const auto& dir : sorted_entries(root / split, true)) {
    const auto name = dir.filename().string();
    const auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) {
      if (warnings)
        warnings->push_back(split + "/" + name + "/ is not a class of train/: left out");
      continue;
    }
    for (const auto& image : sorted_entries(dir, false))
      samples.push_back({image, int(it - names.begin())});
  }
  return samples;
}

ClassifyData scan_classify_data(const fs::path& root, const std::string& split) {
  if (!is_folder(root))
    throw EngineError(
        "classification data is a folder with train/<class>/ and val/<class>/ "
        "image folders; " +
        root.string() + " is not a folder");
  if (!is_folder(root / "train"))
    throw EngineError(root.string() + " has no train/ folder (train/<class>/*.jpg)");
  ClassifyData data;
  data.root = root;
  for (const auto& dir : sorted_entries(root / "train", true))
    data.names.push_back(dir.filename().string());
  if (data.names.empty())
    throw EngineError((root / "train").string() + " holds no class folder (train/<class>/*.jpg)");
  if (int(data.names.size()) > kMaxClasses)
    throw EngineError((root / "train").string() + " holds " + std::to_string(data.names.size()) +
                      " class folders, more than the " + std::to_string(kMaxClasses) + " possible");
  data.train = scan_split(root, "train", data.names, &data.warnings);
  if (data.train.empty()) throw EngineError((root / "train").string() + " holds no image");
  data.val_split = split;
  if (split == "val" && !is_folder(root / "val") && is_folder(root / "test"))
    data.val_split = "test";
  if (!is_folder(root / data.val_split))
    throw EngineError(root.string() + " has no " + split + "/ folder (" + split +
                      "/<class>/*.jpg)");
  data.val = scan_split(root, data.val_split, data.names, &data.warnings);
  if (data.val.empty())
    throw EngineError((root / data.val_split).string() + " holds no image of train's classes");
  return data;
}

namespace {

cv::Mat to_rgb_float(const cv::Mat& bgr) {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  rgb.convertTo(rgb, CV_32FC3, 1.0 / 255.0);
  return rgb;
}

torch::Tensor to_tensor(const cv::Mat& rgb_float) {
  return torch::from_blob(rgb_float.data, {rgb_float.rows, rgb_float.cols, 3}, torch::kFloat)
      .permute({2, 0, 1})
      .clone();
}

}  // namespace

torch::Tensor eval_tensor(const cv::Mat& bgr, int size) {
  const double scale = double(size) / std::min(bgr.cols, bgr.rows);
  const int w = std::max(size, int(std::lround(bgr.cols * scale)));
  const int h = std::max(size, int(std::lround(bgr.rows * scale)));
  cv::Mat resized;
  cv::resize(bgr, resized, {w, h}, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  const cv::Rect centre((w - size) / 2, (h - size) / 2, size, size);
  return to_tensor(to_rgb_float(resized(centre)));
}

torch::Tensor train_tensor(const cv::Mat& bgr, int size, const TrainAugment& aug,
                           std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double area = double(bgr.cols) * bgr.rows;
  cv::Rect crop(0, 0, bgr.cols, bgr.rows);
  for (int attempt = 0; attempt < 10; ++attempt) {
    const double target = area * (0.35 + 0.65 * u(rng));
    const double ratio = std::exp(std::log(3.0 / 4.0) + u(rng) * std::log(16.0 / 9.0));
    const int w = int(std::lround(std::sqrt(target * ratio)));
    const int h = int(std::lround(std::sqrt(target / ratio)));
    if (w < 1 || h < 1 || w > bgr.cols || h > bgr.rows) continue;
    crop = {int(u(rng) * (bgr.cols - w + 1)), int(u(rng) * (bgr.rows - h + 1)), w, h};
    crop &= cv::Rect(0, 0, bgr.cols, bgr.rows);
    break;
  }
  cv::Mat view;
  cv::resize(bgr(crop), view, {size, size}, 0, 0, cv::INTER_LINEAR);
  if (u(rng) < aug.fliplr) cv::flip(view, view, 1);
  if (aug.hsv_h > 0 || aug.hsv_s > 0 || aug.hsv_v > 0) {
    const double gh = 1 + (2 * u(rng) - 1) * aug.hsv_h, gs = 1 + (2 * u(rng) - 1) * aug.hsv_s,
                 gv = 1 + (2 * u(rng) - 1) * aug.hsv_v;
    cv::Mat hsv;
    cv::cvtColor(view, hsv, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> ch;
    cv::split(hsv, ch);
    // Hue runs 0..179 in OpenCV's 8-bit HSV and wraps around.
    cv::Mat hue_lut(1, 256, CV_8U);
    for (int i = 0; i < 256; ++i) hue_lut.at<uchar>(i) = uchar(int(std::lround(i * gh)) % 180);
    cv::LUT(ch[0], hue_lut, ch[0]);
    ch[1].convertTo(ch[1], CV_8U, gs);
    ch[2].convertTo(ch[2], CV_8U, gv);
    cv::merge(ch, hsv);
    cv::cvtColor(hsv, view, cv::COLOR_HSV2BGR);
  }
  return to_tensor(to_rgb_float(view));
}

std::pair<torch::Tensor, torch::Tensor> load_batch(const std::vector<Sample>& samples,
                                                   const std::vector<size_t>& order, size_t first,
                                                   size_t count, int size, const TrainAugment& aug,
                                                   std::mt19937_64* rng,
                                                   std::vector<std::string>* skipped) {
  std::vector<torch::Tensor> images;
  std::vector<int64_t> classes;
  for (size_t i = first; i < std::min(order.size(), first + count); ++i) {
    const Sample& s = samples[order[i]];
    const cv::Mat bgr = cv::imread(s.image.string(), cv::IMREAD_COLOR);
    if (bgr.empty()) {
      if (skipped) skipped->push_back(s.image.string());
      continue;
    }
    images.push_back(rng ? train_tensor(bgr, size, aug, *rng) : eval_tensor(bgr, size));
    classes.push_back(s.cls);
  }
  if (images.empty()) return {};
  return {torch::stack(images), torch::tensor(classes, torch::kLong)};
}

}  // namespace orvane::engine::classify
