#pragma once
// The images and labels of one dataset split, checked once when built, with the decoded
// (resized) images kept in memory when they fit.

#include <array>
#include <cstddef>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
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
  // Images whose fault was already named (the training split, when validation reads the same
  // files): still left out and counted, but not named a second time.
  std::set<std::string> already_named;
};

// Construction scans every image and label file once (in parallel). One rule for a bad sample:
// an image is left out when it does not decode (empty file, not an image, truncated JPEG,
// smaller than 10 pixels a side) or its label file has a fault (see parse_training_labels, with the
// class ids checked against `names`). Each such image is named once, in file order, with its
// reason: "WARNING ⚠️ /d/x.jpg: ignoring corrupt image/label: Label class 3 exceeds dataset
// class count 1 (line 2)". Duplicate lines and objects without area are dropped with a note;
// coordinates slightly outside 0..1 are clipped. All of it is counted in the summary line.
// Throws EngineError (one line: how many were skipped and the commonest reasons) when no image
// is left, and when `image_files` or `names` is empty.
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

  // One line such as "train: 32 images, 2 backgrounds, 1 corrupt, 3 labels clipped, 1 duplicate
  // label removed, cached 12.3 MB" (the mended counts only when not zero), printed at
  // construction after the lines naming the faults.
  const std::string& summary() const { return summary_; }
  int corrupt_images() const { return static_cast<int>(faults_.size()); }
  int clipped_labels() const { return clipped_; }
  int duplicate_labels() const { return duplicates_; }
  int labels_without_area() const { return no_area_; }
  // The images left out, in file order, each with its reason.
  const std::vector<std::pair<std::string, SampleFault>>& faults() const { return faults_; }
  // Every image named on the console (faults and notes), for DatasetOptions::already_named.
  std::set<std::string> named() const;
  bool cached() const { return cached_; }

 private:
  struct Item {
    std::string path;
    std::vector<Instance> instances;
    std::array<int, 2> ori_shape{0, 0};
    std::array<int, 2> resized_shape{0, 0};
    cv::Mat cache;
  };
  cv::Mat resized_for_cache(const cv::Mat& image) const;  // resized so the longer side is imgsz

  // Construction runs in three steps: the scan reads every label and image on a few threads and
  // fills the cache as it goes; keep_usable takes what the scan found in file order and names the
  // faults; report_scan prints the summary and refuses a split with nothing usable.
  struct Scan;  // what the scan found, one entry per file
  void scan(Scan& scan) const;
  void scan_file(std::size_t i, Scan& scan) const;
  void keep_usable(Scan& scan);
  void report_scan(std::size_t files);

  std::vector<std::string> names_;
  DatasetOptions options_;
  std::vector<Item> items_;
  std::string summary_;
  std::vector<std::pair<std::string, SampleFault>> faults_;
  std::vector<std::string> noted_;  // usable images named for a mended slip
  int clipped_ = 0;
  int duplicates_ = 0;
  int no_area_ = 0;
  bool cached_ = false;
};

// Reads an image file as 8-bit BGR (grey, CMYK, palette, 16-bit and alpha images converted, the
// alpha channel dropped, EXIF orientation applied). Returns an empty Mat when it does not decode.
cv::Mat read_bgr(const std::string& path);

// read_bgr for training data, stricter: a JPEG that ends before its end-of-image marker (which
// would decode with its missing part grey) and an image under 10 pixels a side are refused too.
// On failure returns an empty Mat and says why in `fault`.
cv::Mat read_training_image(const std::string& path, SampleFault& fault);

}  // namespace orvane::engine
