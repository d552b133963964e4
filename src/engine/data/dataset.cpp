#include "engine/data/dataset.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <system_error>
#include <thread>

#include "engine/compute_thread.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/memory_need.h"

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

// True when the JPEG's end-of-image marker is reached, walking its segments (and the entropy-coded
// data after each start-of-scan) from the start. Data appended after the image (a phone's motion
// clip) does not matter; a file cut short does.
bool jpeg_complete(const std::vector<uchar>& b) {
  const std::size_t n = b.size();
  std::size_t i = 2;
  while (i + 1 < n) {
    if (b[i] != 0xFF) return false;
    const uchar marker = b[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0xD9) return true;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length field
      i += 2;
      continue;
    }
    if (i + 3 >= n) return false;
    const std::size_t length = (std::size_t(b[i + 2]) << 8) | b[i + 3];
    if (length < 2) return false;
    i += 2 + length;
    if (marker == 0xDA) {
      // Scan data runs to the next marker that is neither a stuffed 0xFF00 nor a restart.
      while (i + 1 < n &&
             !(b[i] == 0xFF && b[i + 1] != 0x00 && !(b[i + 1] >= 0xD0 && b[i + 1] <= 0xD7)))
        ++i;
    }
  }
  return false;
}

// A JPEG is whole when its segments lead to the end marker or, should some damage inside the
// scan data confuse the walk, when the file at least ends with that marker.
bool jpeg_truncated(const std::vector<uchar>& b) {
  if (b.size() < 3 || b[0] != 0xFF || b[1] != 0xD8) return false;  // not a JPEG
  std::size_t end = b.size();
  while (end > 2 && (b[end - 1] == 0x00 || b[end - 1] == '\n' || b[end - 1] == '\r')) --end;
  if (end >= 2 && b[end - 2] == 0xFF && b[end - 1] == 0xD9) return false;
  return !jpeg_complete(b);
}

// Images smaller than this on either side are left out of training.
constexpr int kMinImageSide = 10;

}  // namespace

cv::Mat read_training_image(const std::string& path, SampleFault& fault) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fault = {"unreadable image", "cannot open the image file"};
    return {};
  }
  std::vector<uchar> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    fault = {"unreadable image", "read error"};
    return {};
  }
  if (bytes.empty()) {
    fault = {"empty image file", "image file is empty (0 bytes)"};
    return {};
  }
  if (jpeg_truncated(bytes)) {
    fault = {"truncated image", "truncated JPEG: the file ends before the image does"};
    return {};
  }
  cv::Mat image;
  try {
    // IMREAD_COLOR gives 8-bit BGR for grey, CMYK, palette, 16-bit and alpha files and applies
    // EXIF orientation, as read_bgr does: training sees images as prediction will.
    image = cv::imdecode(bytes, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    image.release();
  }
  if (image.empty() || image.type() != CV_8UC3) {
    if (!cv::haveImageReader(path))
      fault = {"not an image", "not an image (unknown file format)"};
    else
      fault = {"image does not decode", "image does not decode (damaged or cut short)"};
    return {};
  }
  if (image.cols < kMinImageSide || image.rows < kMinImageSide) {
    fault = {"image too small", "image size " + std::to_string(image.cols) + "x" +
                                    std::to_string(image.rows) + " is below " +
                                    std::to_string(kMinImageSide) + " pixels"};
    return {};
  }
  return image;
}

namespace {

std::string megabytes(std::size_t bytes) {
  std::ostringstream s;
  s.precision(1);
  s << std::fixed << bytes / 1e6 << " MB";
  return s.str();
}

// "3 labels clipped" / "1 label clipped".
std::string count_of(int n, const std::string& one, const std::string& many,
                     const std::string& tail) {
  return std::to_string(n) + " " + (n == 1 ? one : many) + tail;
}

// "8 class beyond the names, 4 truncated image; data.yaml names 1 class": the three commonest
// kinds of fault, most frequent first, and the class count when ids beyond it lead.
std::string commonest_reasons(const std::vector<std::pair<std::string, SampleFault>>& faults,
                              int nc) {
  std::vector<std::pair<std::string, int>> kinds;
  for (const auto& [path, fault] : faults) {
    auto it = std::find_if(kinds.begin(), kinds.end(),
                           [&](const auto& k) { return k.first == fault.kind; });
    if (it == kinds.end())
      kinds.emplace_back(fault.kind, 1);
    else
      ++it->second;
  }
  if (kinds.empty()) return {};
  std::stable_sort(kinds.begin(), kinds.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string reasons;
  for (std::size_t k = 0; k < kinds.size() && k < 3; ++k)
    reasons += (k ? ", " : "") + std::to_string(kinds[k].second) + " " + kinds[k].first;
  if (kinds.size() > 3) reasons += ", ...";
  if (kinds.front().first == "class beyond the names")
    reasons += "; data.yaml names " + std::to_string(nc) + " class" + (nc == 1 ? "" : "es");
  return reasons;
}

}  // namespace

cv::Mat YoloDataset::resized_for_cache(const cv::Mat& image) const {
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

// What the scan threads found, one entry per file; each thread writes only the entries it took.
struct YoloDataset::Scan {
  const std::vector<std::string>& files;
  std::vector<Item> items;
  std::vector<std::optional<SampleFault>> faults;
  std::vector<LabelFile> mended;  // counts of what was mended; instances moved out
  std::atomic<std::size_t> next{0};

  // The cache: decoded images are kept while they fit the budget (the options' limit, else half
  // the free memory up to 8 GB); once one does not fit, the cache stops filling.
  std::size_t cache_budget = 0;
  std::atomic<std::size_t> cached_bytes{0};
  std::atomic<bool> cache_full{false};

  Scan(const std::vector<std::string>& image_files, std::size_t cache_limit_bytes)
      : files(image_files),
        items(image_files.size()),
        faults(image_files.size()),
        mended(image_files.size()),
        cache_budget(cache_limit_bytes ? cache_limit_bytes
                                       : std::min<std::size_t>(available_memory_bytes() / 2,
                                                               std::size_t(8) << 30)) {}

  // True when an image of `bytes` joins the cache (and is counted against the budget).
  bool admit_to_cache(std::size_t bytes) {
    if (!cache_full && cached_bytes.fetch_add(bytes) + bytes <= cache_budget) return true;
    cache_full = true;
    return false;
  }
};

YoloDataset::YoloDataset(const std::vector<std::string>& image_files,
                         std::vector<std::string> names, DatasetOptions options)
    : names_(std::move(names)), options_(std::move(options)) {
  if (image_files.empty()) throw EngineError(options_.prefix + ": no images found");
  if (names_.empty()) throw EngineError(options_.prefix + ": the dataset names no classes");
  Scan found(image_files, options_.cache_limit_bytes);
  scan(found);
  keep_usable(found);
  report_scan(image_files.size());
}

void YoloDataset::scan(Scan& found) const {
  const std::size_t n = found.files.size();
  auto work = [&] {
    for (std::size_t i = found.next++; i < n; i = found.next++) scan_file(i, found);
  };
  // A failure on any thread (an image too large to resize for the cache, memory running out)
  // stops the others at their next image; every thread is joined before the first failure is
  // thrown here, so none is left running or unjoined.
  std::mutex failure_mutex;
  std::exception_ptr failure;
  auto guarded_work = [&] {
    try {
      work();
    } catch (...) {
      std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
      found.next = n;
    }
  };
  const int threads = std::max(1, std::min<int>(options_.threads, static_cast<int>(n)));
  std::vector<std::thread> pool;
  try {
    for (int t = 1; t < threads; ++t)
      pool.emplace_back([&guarded_work] {
        use_one_compute_thread();
        guarded_work();
      });
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started and this one share the work.
  }
  guarded_work();
  for (auto& t : pool) t.join();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const EngineError&) {
      throw;
    } catch (const std::exception& e) {
      const std::string what = e.what();
      throw EngineError(options_.prefix +
                        ": reading the images failed: " + what.substr(0, what.find('\n')));
    }
  }
}

void YoloDataset::scan_file(std::size_t i, Scan& found) const {
  Item& item = found.items[i];
  item.path = found.files[i];
  // The label first: a faulty file spares decoding its image.
  LabelFile labels =
      read_training_labels(label_path_for_image(item.path), static_cast<int>(names_.size()));
  if (labels.fault) {
    found.faults[i] = std::move(labels.fault);
    return;
  }
  SampleFault fault;
  const cv::Mat original = read_training_image(item.path, fault);
  if (original.empty()) {
    found.faults[i] = std::move(fault);
    return;
  }
  item.ori_shape = {original.rows, original.cols};
  cv::Mat image = resized_for_cache(original);
  item.resized_shape = {image.rows, image.cols};
  if (options_.segment) {
    for (Instance& inst : labels.instances) {
      if (!inst.polygon.empty()) continue;
      const cv::Rect2f& b = inst.box;
      inst.polygon = {
          {b.x, b.y}, {b.x + b.width, b.y}, {b.x + b.width, b.y + b.height}, {b.x, b.y + b.height}};
    }
  }
  item.instances = std::move(labels.instances);
  found.mended[i] = std::move(labels);
  if (found.admit_to_cache(image.total() * image.elemSize())) item.cache = std::move(image);
}

// Reported in file order, whatever order the threads finished in.
void YoloDataset::keep_usable(Scan& found) {
  cached_ = true;
  for (std::size_t i = 0; i < found.files.size(); ++i) {
    const std::string& path = found.files[i];
    if (found.faults[i]) {
      if (!options_.already_named.count(path))
        LOGGER.warning("\u26a0\ufe0f " + path +
                       ": ignoring corrupt image/label: " + found.faults[i]->message);
      faults_.emplace_back(path, std::move(*found.faults[i]));
      continue;
    }
    const LabelFile& m = found.mended[i];
    if (m.duplicates || m.no_area) noted_.push_back(path);
    if (!options_.already_named.count(path)) {
      if (m.duplicates)
        LOGGER.warning("\u26a0\ufe0f " + path + ": " +
                       count_of(m.duplicates, "duplicate label", "duplicate labels", " removed"));
      if (m.no_area)
        LOGGER.warning("\u26a0\ufe0f " + path + ": " +
                       count_of(m.no_area, "label", "labels", " without area removed"));
    }
    clipped_ += m.clipped;
    duplicates_ += m.duplicates;
    no_area_ += m.no_area;
    if (found.items[i].cache.empty()) cached_ = false;
    items_.push_back(std::move(found.items[i]));
  }
}

void YoloDataset::report_scan(std::size_t files) {
  int backgrounds = 0;
  std::size_t total_cached = 0;
  for (const Item& item : items_) {
    if (item.instances.empty()) ++backgrounds;
    total_cached += item.cache.total() * item.cache.elemSize();
  }
  std::ostringstream s;
  s << options_.prefix << ": " << items_.size() << " images, " << backgrounds << " backgrounds, "
    << faults_.size() << " corrupt";
  if (clipped_) s << ", " << count_of(clipped_, "label", "labels", " clipped");
  if (duplicates_)
    s << ", " << count_of(duplicates_, "duplicate label", "duplicate labels", " removed");
  if (no_area_) s << ", " << count_of(no_area_, "label", "labels", " without area removed");
  if (total_cached) s << ", cached " << megabytes(total_cached) << (cached_ ? "" : " (part)");
  summary_ = s.str();
  LOGGER.info(summary_);

  const int nc = static_cast<int>(names_.size());
  if (items_.empty())
    throw EngineError(options_.prefix + ": no usable images: all " + std::to_string(files) +
                      " were skipped as corrupt (" + commonest_reasons(faults_, nc) + ")");
  // Most of a split left out is rarely what the operator meant (often data.yaml lists fewer
  // classes than the labels use): say so once, next to the summary, not only file by file.
  if (faults_.size() * 2 > files)
    LOGGER.warning("\u26a0\ufe0f " + options_.prefix + ": " + std::to_string(faults_.size()) +
                   " of " + std::to_string(files) + " images were left out as corrupt (" +
                   commonest_reasons(faults_, nc) + ")");
}

std::set<std::string> YoloDataset::named() const {
  std::set<std::string> out(noted_.begin(), noted_.end());
  for (const auto& fault : faults_) out.insert(fault.first);
  return out;
}

cv::Mat YoloDataset::load_resized(std::size_t i) const {
  const Item& item = items_[i];
  if (!item.cache.empty()) return item.cache;
  const cv::Mat original = read_bgr(item.path);
  if (original.empty()) throw EngineError("image " + item.path + " can no longer be read");
  cv::Mat image = resized_for_cache(original);
  if (image.rows != item.resized_shape[0] || image.cols != item.resized_shape[1])
    throw EngineError("image " + item.path + " changed while training");
  return image;
}

}  // namespace orvane::engine
