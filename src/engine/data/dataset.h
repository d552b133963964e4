#pragma once
// The images and labels of one dataset split, checked once when built, with the decoded
// (resized) images kept in memory when they fit.

#include <array>
#include <cstddef>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "engine/data/labels.h"

namespace orvane::engine {

struct DatasetOptions {
  int imgsz = 640;       // images are kept resized so the longer side is imgsz
  bool augment = false;  // training resize (linear) vs. validation resize (area when shrinking)
  bool segment = false;  // keep polygons (box lines become rectangles); else only boxes matter
  int threads = 4;       // threads for the first scan (decode, resize, cache)
  // Decoded images are cached when they fit; 0 = choose from available memory (at most half
  // of what /proc/meminfo reports as available, never more than 8 GiB).
  std::size_t cache_limit_bytes = 0;
  std::string prefix = "train";  // names the split in the summary line ("train: 32 images ...")
};

// Construction scans every image and label file once (in parallel):
//  - images that do not decode are dropped, counted, and named in one warning line;
//  - label lines that are neither a box nor a polygon are dropped and counted (same line);
//  - a class id >= names.size() throws EngineError naming the label file;
//  - an empty image list throws EngineError.
// Afterwards the dataset is immutable and safe to read from many threads.
class YoloDataset {
 public:
  YoloDataset(const std::vector<std::string>& image_files, std::vector<std::string> names,
              DatasetOptions options);

  std::size_t size() const { return items_.size(); }
  const std::vector<std::string>& names() const { return names_; }
  const DatasetOptions& options() const { return options_; }
  const std::string& image_path(std::size_t i) const { return items_[i].path; }
  const std::vector<Instance>& labels(std::size_t i) const { return items_[i].instances; }
  std::array<int, 2> ori_shape(std::size_t i) const { return items_[i].ori_shape; }  // (h, w)
  std::array<int, 2> resized_shape(std::size_t i) const { return items_[i].resized_shape; }

  // BGR uint8 image resized to resized_shape(i), from the cache or decoded now. Throws
  // EngineError if a file vanished or changed since the scan.
  cv::Mat load_resized(std::size_t i) const;

  // One line such as "train: 32 images, 2 backgrounds, 0 corrupt, 0 bad label lines, cached
  // 12.3 MB" and, when something was skipped, one warning line; both printed at construction.
  const std::string& summary() const { return summary_; }
  int corrupt_images() const { return corrupt_images_; }
  int bad_label_lines() const { return bad_label_lines_; }
  bool cached() const { return cached_; }

 private:
  struct Item {
    std::string path;
    std::vector<Instance> instances;
    std::array<int, 2> ori_shape{0, 0};
    std::array<int, 2> resized_shape{0, 0};
    cv::Mat cache;
  };
  cv::Mat decode_resized(const std::string& path, std::array<int, 2>* ori_shape) const;

  std::vector<std::string> names_;
  DatasetOptions options_;
  std::vector<Item> items_;
  std::string summary_;
  int corrupt_images_ = 0;
  int bad_label_lines_ = 0;
  bool cached_ = false;
};

// Reads an image file as 8-bit BGR (grey, 16-bit and alpha images converted, EXIF orientation
// applied). Returns an empty Mat when it does not decode.
cv::Mat read_bgr(const std::string& path);

}  // namespace orvane::engine
