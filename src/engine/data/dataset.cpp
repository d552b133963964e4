#include "engine/data/dataset.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <thread>

#include "engine/error.h"
#include "engine/logger.h"

namespace orvane::engine {

cv::Mat read_bgr(const std::string& path) {
  cv::Mat image;
  try {
    // IMREAD_COLOR gives 8-bit BGR for grey, palette, 16-bit and alpha files and applies EXIF
    // orientation.
    image = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    return {};
  }
  if (image.empty() || image.type() != CV_8UC3) return {};
  return image;
}

namespace {

std::size_t available_memory_bytes() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  std::size_t kb = 0;
  std::string unit;
  while (in >> key >> kb >> unit)
    if (key == "MemAvailable:") return kb * 1024;
  return std::size_t(1) << 30;
}

std::string megabytes(std::size_t bytes) {
  std::ostringstream s;
  s.precision(1);
  s << std::fixed << bytes / 1e6 << " MB";
  return s.str();
}

}  // namespace

cv::Mat YoloDataset::decode_resized(const std::string& path, std::array<int, 2>* ori_shape) const {
  cv::Mat image = read_bgr(path);
  if (image.empty()) return {};
  if (ori_shape) *ori_shape = {image.rows, image.cols};
  const int imgsz = options_.imgsz;
  const double r = static_cast<double>(imgsz) / std::max(image.rows, image.cols);
  if (r != 1.0) {
    const int w = std::min(static_cast<int>(std::ceil(image.cols * r)), imgsz);
    const int h = std::min(static_cast<int>(std::ceil(image.rows * r)), imgsz);
    const int interp = (options_.augment || r > 1) ? cv::INTER_LINEAR : cv::INTER_AREA;
    cv::Mat resized;
    cv::resize(image, resized, cv::Size(std::max(w, 1), std::max(h, 1)), 0, 0, interp);
    return resized;
  }
  return image;
}

YoloDataset::YoloDataset(const std::vector<std::string>& image_files,
                         std::vector<std::string> names, DatasetOptions options)
    : names_(std::move(names)), options_(std::move(options)) {
  if (image_files.empty()) throw EngineError(options_.prefix + ": no images found");
  if (names_.empty()) throw EngineError(options_.prefix + ": the dataset names no classes");

  const std::size_t n = image_files.size();
  std::vector<Item> scanned(n);
  std::vector<char> ok(n, 0);
  std::vector<int> bad_lines(n, 0);
  std::vector<std::string> class_errors(n);
  const std::size_t budget =
      options_.cache_limit_bytes
          ? options_.cache_limit_bytes
          : std::min<std::size_t>(available_memory_bytes() / 2, std::size_t(8) << 30);
  std::atomic<std::size_t> next{0}, cached_bytes{0};
  std::atomic<bool> cache_full{false};
  const int nc = static_cast<int>(names_.size());

  auto work = [&] {
    for (std::size_t i = next++; i < n; i = next++) {
      Item& item = scanned[i];
      item.path = image_files[i];
      cv::Mat image = decode_resized(item.path, &item.ori_shape);
      if (image.empty()) continue;
      item.resized_shape = {image.rows, image.cols};
      const std::string label_path = label_path_for_image(item.path);
      LabelFile labels = read_label_file(label_path);
      bad_lines[i] = labels.bad_lines;
      for (Instance& inst : labels.instances) {
        if (inst.cls >= nc) {
          class_errors[i] = "label class " + std::to_string(inst.cls) + " exceeds the dataset's " +
                            std::to_string(nc) + " classes in " + label_path;
          break;
        }
        if (options_.segment && inst.polygon.empty()) {
          const cv::Rect2f& b = inst.box;
          inst.polygon = {{b.x, b.y},
                          {b.x + b.width, b.y},
                          {b.x + b.width, b.y + b.height},
                          {b.x, b.y + b.height}};
        }
      }
      item.instances = std::move(labels.instances);
      const std::size_t bytes = image.total() * image.elemSize();
      if (!cache_full && cached_bytes.fetch_add(bytes) + bytes <= budget) {
        item.cache = std::move(image);
      } else {
        cache_full = true;
      }
      ok[i] = 1;
    }
  };
  const int threads = std::max(1, std::min<int>(options_.threads, static_cast<int>(n)));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();

  for (std::size_t i = 0; i < n; ++i)
    if (!class_errors[i].empty()) throw EngineError(options_.prefix + ": " + class_errors[i]);

  std::string first_corrupt, first_bad_labels;
  int backgrounds = 0;
  std::size_t total_cached = 0;
  cached_ = true;
  for (std::size_t i = 0; i < n; ++i) {
    bad_label_lines_ += bad_lines[i];
    if (bad_lines[i] && first_bad_labels.empty())
      first_bad_labels = label_path_for_image(image_files[i]);
    if (!ok[i]) {
      if (first_corrupt.empty()) first_corrupt = image_files[i];
      ++corrupt_images_;
      continue;
    }
    if (scanned[i].instances.empty()) ++backgrounds;
    if (scanned[i].cache.empty())
      cached_ = false;
    else
      total_cached += scanned[i].cache.total() * scanned[i].cache.elemSize();
    items_.push_back(std::move(scanned[i]));
  }
  std::ostringstream s;
  s << options_.prefix << ": " << items_.size() << " images, " << backgrounds << " backgrounds, "
    << corrupt_images_ << " corrupt, " << bad_label_lines_ << " bad label lines";
  if (total_cached) s << ", cached " << megabytes(total_cached) << (cached_ ? "" : " (part)");
  summary_ = s.str();
  LOGGER.info(summary_);
  if (corrupt_images_ || bad_label_lines_) {
    std::ostringstream w;
    w << options_.prefix << ": skipped " << corrupt_images_ << " unreadable image"
      << (corrupt_images_ == 1 ? "" : "s") << " and " << bad_label_lines_ << " malformed label line"
      << (bad_label_lines_ == 1 ? "" : "s");
    if (!first_corrupt.empty()) w << "; first unreadable image: " << first_corrupt;
    if (!first_bad_labels.empty()) w << "; first label file with bad lines: " << first_bad_labels;
    LOGGER.warning(w.str());
  }
  if (items_.empty())
    throw EngineError(options_.prefix + ": none of the " + std::to_string(n) +
                      " images could be read");
}

cv::Mat YoloDataset::load_resized(std::size_t i) const {
  const Item& item = items_[i];
  if (!item.cache.empty()) return item.cache;
  cv::Mat image = decode_resized(item.path, nullptr);
  if (image.empty()) throw EngineError("image " + item.path + " can no longer be read");
  if (image.rows != item.resized_shape[0] || image.cols != item.resized_shape[1])
    throw EngineError("image " + item.path + " changed while training");
  return image;
}

}  // namespace orvane::engine
