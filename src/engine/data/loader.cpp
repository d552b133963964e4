#include "engine/data/loader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <system_error>
#include <opencv2/imgproc.hpp>

#include "engine/compute_thread.h"
#include "engine/data/masks.h"
#include "engine/error.h"
#include "engine/logger.h"

namespace orvane::engine {

// A sample ready to be collated: the image is already in the batch tensor.
struct Prepared {
  std::vector<int> cls;
  std::vector<cv::Rect2f> boxes;  // pixels of the batch shape
  std::vector<cv::Mat> masks;     // CV_8U (H/4, W/4) per object when segmenting
  std::string path;
  std::array<int, 2> ori_shape{0, 0};
  LetterboxInfo letterbox;
  bool failed = false;  // left out of its batch (its image slot holds nothing usable)
};

struct DataLoader::Pending {
  torch::Tensor images;  // [n, 3, H, W]
  std::vector<Prepared> samples;
  std::size_t done = 0;
  bool ready = false;
  Batch batch;
};

namespace {

// splitmix64: decorrelates (seed, epoch, position) into independent generator seeds.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::mt19937 sample_rng(std::uint64_t seed, int epoch, std::size_t position) {
  const std::uint64_t s = mix(mix(mix(seed) ^ static_cast<std::uint64_t>(epoch)) ^ position);
  std::seed_seq seq{static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(s >> 32)};
  return std::mt19937(seq);
}

// BGR uint8 HxW -> the RGB float 0..1 planes of `slot` ([3, H, W], contiguous).
void write_image(const cv::Mat& bgr, torch::Tensor slot) {
  const int h = bgr.rows, w = bgr.cols;
  float* base = slot.data_ptr<float>();
  cv::Mat planes[3];
  cv::split(bgr, planes);
  for (int c = 0; c < 3; ++c) {
    cv::Mat dst(h, w, CV_32F, base + static_cast<std::size_t>(c) * h * w);
    planes[2 - c].convertTo(dst, CV_32F, 1.0 / 255.0);
  }
}

}  // namespace

DataLoader::DataLoader(std::shared_ptr<const YoloDataset> dataset, LoaderOptions options)
    : dataset_(std::move(dataset)), options_(std::move(options)) {
  if (!dataset_) throw EngineError("loader without a dataset");
  options_.batch = std::max(1, options_.batch);
  options_.stride = std::max(1, options_.stride);
  mosaic_next_ = options_.mosaic;
  if (options_.world_size < 1 || options_.rank < 0 || options_.rank >= options_.world_size)
    throw EngineError("loader shard " + std::to_string(options_.rank) + " of " +
                      std::to_string(options_.world_size) + " does not exist");
  if (options_.world_size > 1 && options_.rect)
    throw EngineError("rectangular batches cannot be sharded over ranks");
  const std::size_t n = dataset_->size();
  plan_order(-1);  // identity order until begin_epoch shuffles
  const std::size_t nb = size();
  batch_shapes_.assign(nb, cv::Size2i(options_.imgsz, options_.imgsz));
  if (options_.rect) {
    // Similar aspect ratios share a batch, which then needs little padding.
    std::vector<double> ar(n);
    for (std::size_t i = 0; i < n; ++i) {
      const auto s = dataset_->resized_shape(i);
      ar[i] = static_cast<double>(s[0]) / s[1];
    }
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return ar[a] < ar[b]; });
    for (std::size_t b = 0; b < nb; ++b) {
      const std::size_t lo = b * options_.batch, hi = std::min(n, lo + options_.batch);
      double mini = 1e9, maxi = 0;
      for (std::size_t k = lo; k < hi; ++k)
        mini = std::min(mini, ar[order_[k]]), maxi = std::max(maxi, ar[order_[k]]);
      double sh = 1, sw = 1;  // (h, w) relative to imgsz
      if (maxi < 1)
        sh = maxi;
      else if (mini > 1)
        sw = 1 / mini;
      const int stride = options_.stride;
      const double pad = options_.rect_pad;
      const int H = static_cast<int>(std::ceil(sh * options_.imgsz / stride + pad)) * stride;
      const int W = static_cast<int>(std::ceil(sw * options_.imgsz / stride + pad)) * stride;
      batch_shapes_[b] = cv::Size2i(std::max(W, stride), std::max(H, stride));
    }
  }
  const int workers = std::max(0, options_.workers);
  try {
    for (int t = 0; t < workers; ++t) threads_.emplace_back([this] { worker_loop(); });
  } catch (const std::system_error& e) {
    stop_workers();  // the ones already started are joined, not left to end the process
    throw EngineError(std::string("cannot start the loader's threads: ") + e.what());
  }
}

DataLoader::~DataLoader() { stop_workers(); }

void DataLoader::stop_workers() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  work_cv_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

std::size_t DataLoader::size() const {
  const std::size_t b = static_cast<std::size_t>(options_.batch);
  return (order_.size() + b - 1) / b;
}

void DataLoader::plan_order(int epoch) {
  const std::size_t n = dataset_->size();
  std::vector<std::size_t> all(n);
  std::iota(all.begin(), all.end(), std::size_t{0});
  if (options_.shuffle && !options_.rect && epoch >= 0) {
    std::mt19937_64 rng(mix(options_.seed) ^
                        mix(0x5eed0000ULL + static_cast<std::uint64_t>(epoch)));
    std::shuffle(all.begin(), all.end(), rng);
  }
  const std::size_t world = static_cast<std::size_t>(options_.world_size);
  if (world == 1) {
    order_ = std::move(all);
    return;
  }
  const std::size_t shard = (n + world - 1) / world;
  order_.resize(shard);
  for (std::size_t k = 0; k < shard; ++k)
    order_[k] = all[(k * world + static_cast<std::size_t>(options_.rank)) % n];
}

void DataLoader::set_mosaic(bool on) {
  std::lock_guard lock(mutex_);
  mosaic_next_ = on;
}

void DataLoader::begin_epoch(int epoch) {
  std::lock_guard lock(mutex_);
  epoch_ = epoch;
  mosaic_epoch_ = mosaic_next_;
  if (options_.shuffle && !options_.rect) plan_order(epoch);
  ++generation_;
  next_task_ = 0;
  consumed_ = 0;
  pending_.clear();
  error_.clear();
  failed_this_epoch_ = 0;
  work_cv_.notify_all();
}

Sample DataLoader::load_plain(std::size_t index) const {
  Sample s;
  s.image = dataset_->load_resized(index);
  const auto ori = dataset_->ori_shape(index);
  const float w = static_cast<float>(s.image.cols), h = static_cast<float>(s.image.rows);
  s.letterbox.gain = w / ori[1];
  for (const Instance& inst : dataset_->labels(index)) {
    s.cls.push_back(inst.cls);
    s.boxes.emplace_back(inst.box.x * w, inst.box.y * h, inst.box.width * w, inst.box.height * h);
    std::vector<cv::Point2f> poly;
    poly.reserve(inst.polygon.size());
    for (const auto& p : inst.polygon) poly.emplace_back(p.x * w, p.y * h);
    s.polygons.push_back(std::move(poly));
  }
  return s;
}

Sample DataLoader::load_letterboxed(std::size_t index, cv::Size2i shape) const {
  Sample s = load_plain(index);
  letterbox_sample(s, shape, false, false, options_.stride);
  return s;
}

Sample DataLoader::make_sample(std::size_t dataset_index, int epoch, std::size_t position) const {
  return make_sample_impl(dataset_index, epoch, position, mosaic_epoch_);
}

Sample DataLoader::make_sample_impl(std::size_t dataset_index, int epoch, std::size_t position,
                                    bool mosaic) const {
  const cv::Size2i shape = options_.rect ? batch_shapes_[position / options_.batch]
                                         : cv::Size2i(options_.imgsz, options_.imgsz);
  if (!options_.augment) return load_letterboxed(dataset_index, shape);

  // The position in the whole epoch, not in this rank's shard: ranks draw different
  // augmentations for their images.
  std::mt19937 rng = sample_rng(options_.seed, epoch,
                                position * static_cast<std::size_t>(options_.world_size) +
                                    static_cast<std::size_t>(options_.rank));
  const int s = options_.imgsz;
  const AugmentHyp& hyp = options_.hyp;
  Sample sample;
  if (mosaic && hyp.mosaic > 0 && std::uniform_real_distribution<float>(0, 1)(rng) < hyp.mosaic) {
    std::vector<Sample> four;
    four.push_back(load_plain(dataset_index));
    std::uniform_int_distribution<std::size_t> pick(0, dataset_->size() - 1);
    for (int k = 0; k < 3; ++k) four.push_back(load_plain(pick(rng)));
    sample = mosaic4(four, s, rng);
    random_perspective(sample, hyp, cv::Size2i(s, s), -s / 2, rng);
  } else {
    sample = load_letterboxed(dataset_index, cv::Size2i(s, s));
    random_perspective(sample, hyp, cv::Size2i(s, s), 0, rng);
  }
  augment_hsv(sample.image, hyp, rng);
  random_flip(sample, hyp, rng);
  return sample;
}

namespace {

Prepared prepare(Sample&& sample, const std::string& path, std::array<int, 2> ori_shape,
                 bool segment, torch::Tensor slot) {
  write_image(sample.image, slot);
  Prepared p;
  if (segment) p.masks = sample_masks(sample);
  p.cls = std::move(sample.cls);
  p.boxes = std::move(sample.boxes);
  p.path = path;
  p.ori_shape = ori_shape;
  p.letterbox = sample.letterbox;
  return p;
}

// Moves the image slots of the samples that were prepared to the front of `images` (in order)
// and drops the failed ones from `samples`. Plain copies: a worker thread must not start a
// parallel LibTorch operation (see compute_thread.h).
torch::Tensor drop_failed(torch::Tensor images, std::vector<Prepared>& samples) {
  const int64_t plane = images[0].numel();
  float* base = images.data_ptr<float>();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].failed) continue;
    if (kept != i) {
      std::memmove(base + static_cast<int64_t>(kept) * plane,
                   base + static_cast<int64_t>(i) * plane, sizeof(float) * plane);
      samples[kept] = std::move(samples[i]);
    }
    ++kept;
  }
  samples.resize(kept);
  return images.narrow(0, 0, static_cast<int64_t>(kept));
}

Batch finish(torch::Tensor images, std::vector<Prepared>& samples, bool segment) {
  if (std::any_of(samples.begin(), samples.end(), [](const Prepared& p) { return p.failed; }))
    images = drop_failed(images, samples);
  Batch batch;
  batch.images = images;
  const int H = static_cast<int>(images.size(2)), W = static_cast<int>(images.size(3));
  std::size_t n = 0;
  for (const auto& s : samples) n += s.cls.size();
  batch.batch_idx = torch::empty({static_cast<int64_t>(n)}, torch::kInt64);
  batch.cls = torch::empty({static_cast<int64_t>(n)}, torch::kInt64);
  batch.bboxes = torch::empty({static_cast<int64_t>(n), 4}, torch::kFloat32);
  // Not zeros: every mask plane is written whole below, and zero-filling a large tensor is a
  // parallel operation (see compute_thread.h) that a worker thread must not start.
  if (segment) batch.masks = torch::empty({static_cast<int64_t>(n), H / 4, W / 4}, torch::kFloat32);
  auto bi = batch.batch_idx.accessor<int64_t, 1>();
  auto ci = batch.cls.accessor<int64_t, 1>();
  auto bb = batch.bboxes.accessor<float, 2>();
  std::size_t k = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const Prepared& s = samples[i];
    for (std::size_t j = 0; j < s.cls.size(); ++j, ++k) {
      bi[k] = static_cast<int64_t>(i);
      ci[k] = s.cls[j];
      const cv::Rect2f& b = s.boxes[j];
      bb[k][0] = (b.x + b.width / 2) / W;
      bb[k][1] = (b.y + b.height / 2) / H;
      bb[k][2] = b.width / W;
      bb[k][3] = b.height / H;
      if (segment) {
        cv::Mat dst(H / 4, W / 4, CV_32F, batch.masks[k].data_ptr<float>());
        s.masks[j].convertTo(dst, CV_32F);
      }
    }
    batch.paths.push_back(s.path);
    batch.ori_shapes.push_back(s.ori_shape);
    batch.letterbox.push_back(s.letterbox);
  }
  return batch;
}

}  // namespace

void DataLoader::worker_loop() {
  use_one_compute_thread();
  std::unique_lock lock(mutex_);
  const std::size_t bs = static_cast<std::size_t>(options_.batch);
  const std::size_t window = static_cast<std::size_t>(
      options_.prefetch > 0 ? options_.prefetch : std::max(2, 2 * options_.workers));
  for (;;) {
    work_cv_.wait(lock, [&] {
      return quit_ || (epoch_ >= 0 && error_.empty() && next_task_ < order_.size() &&
                       next_task_ / bs < consumed_ + window);
    });
    if (quit_) return;
    const std::size_t task = next_task_++;
    const std::uint64_t generation = generation_;
    const int epoch = epoch_;
    const bool mosaic = mosaic_epoch_;
    const std::size_t batch_i = task / bs, slot = task % bs;
    const std::size_t index = order_[task];
    auto& pending = pending_[batch_i];
    if (!pending) {
      // A batch that cannot be allocated (an image size beyond the machine's memory) ends the
      // run with its reason; thrown out of a worker it would end the process.
      try {
        auto made = std::make_unique<Pending>();
        const std::size_t count = std::min(bs, order_.size() - batch_i * bs);
        const cv::Size2i shape = batch_shapes_[batch_i];
        made->images = torch::empty({static_cast<int64_t>(count), 3, shape.height, shape.width});
        made->samples.resize(count);
        pending = std::move(made);
      } catch (const std::exception& e) {
        pending_.erase(batch_i);
        if (error_.empty())
          error_ = "cannot allocate batch " + std::to_string(batch_i + 1) + ": " + e.what();
        done_cv_.notify_all();
        continue;
      }
    }
    torch::Tensor slot_tensor = pending->images[static_cast<int64_t>(slot)];
    lock.unlock();

    std::string failure;
    Prepared prepared = build_sample(index, epoch, task, mosaic, slot_tensor, failure);

    lock.lock();
    if (generation != generation_) continue;  // the epoch was restarted meanwhile
    if (!failure.empty()) {
      if (std::string stop = note_failure(prepared.path, failure); !stop.empty()) {
        if (error_.empty()) error_ = std::move(stop);  // the first reason stands
        done_cv_.notify_all();
        continue;
      }
    }
    Pending& p = *pending_[batch_i];
    p.samples[slot] = std::move(prepared);
    if (++p.done == p.samples.size()) {
      torch::Tensor images = p.images;
      std::vector<Prepared> samples = std::move(p.samples);
      if (std::all_of(samples.begin(), samples.end(), [](const Prepared& x) { return x.failed; })) {
        if (error_.empty()) error_ = whole_batch_failed(batch_i);
        done_cv_.notify_all();
        continue;
      }
      lock.unlock();
      Batch batch;
      std::string collate_failure;
      try {
        batch = finish(images, samples, options_.segment);
      } catch (const std::exception& e) {
        collate_failure = e.what();
      }
      lock.lock();
      if (generation != generation_) continue;
      if (!collate_failure.empty()) {
        if (error_.empty()) error_ = collate_failure;
        done_cv_.notify_all();
        continue;
      }
      Pending& q = *pending_[batch_i];
      q.batch = std::move(batch);
      q.ready = true;
      done_cv_.notify_all();
    }
  }
}

Prepared DataLoader::build_sample(std::size_t index, int epoch, std::size_t position, bool mosaic,
                                  torch::Tensor slot, std::string& failure) const {
  const std::string& path = dataset_->image_path(index);
  const char* step = "loading and augmenting it";
  try {
    Sample sample = make_sample_impl(index, epoch, position, mosaic);
    step = "preparing its targets";
    return prepare(std::move(sample), path, dataset_->ori_shape(index), options_.segment, slot);
  } catch (const std::exception& e) {
    failure = std::string(step) + " failed: " + e.what();
  } catch (...) {
    failure = std::string(step) + " failed with an error of unknown kind";
  }
  Prepared failed;
  failed.path = path;
  failed.failed = true;
  return failed;
}

std::string DataLoader::note_failure(const std::string& path, const std::string& failure) {
  ++failed_this_epoch_;
  last_failure_ = path + ": " + failure;
  if (reported_.insert(path).second)
    LOGGER.warning("\u26a0\ufe0f " + path + ": sample left out of its batch (" + failure + ")");
  if (failed_this_epoch_ < kMaxFailedSamples) return {};
  return std::to_string(failed_this_epoch_) + " samples failed in epoch " +
         std::to_string(epoch_ + 1) + ", something systematic is wrong; the last: " +
         last_failure_;
}

std::string DataLoader::whole_batch_failed(std::size_t batch) const {
  return "every sample of batch " + std::to_string(batch + 1) + " of epoch " +
         std::to_string(epoch_ + 1) + " failed, something systematic is wrong; the last: " +
         last_failure_;
}

std::optional<Batch> DataLoader::next() {
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    start = epoch_ < 0;
  }
  if (start) begin_epoch(0);
  const std::size_t nb = size();
  const std::size_t bs = static_cast<std::size_t>(options_.batch);
  if (threads_.empty()) {
    // Synchronous loading on the caller's thread.
    if (consumed_ >= nb) return std::nullopt;
    const std::size_t b = consumed_++;
    const std::size_t lo = b * bs, hi = std::min(order_.size(), lo + bs);
    const cv::Size2i shape = batch_shapes_[b];
    torch::Tensor images =
        torch::empty({static_cast<int64_t>(hi - lo), 3, shape.height, shape.width});
    std::vector<Prepared> samples;
    for (std::size_t t = lo; t < hi; ++t) {
      std::string failure;
      samples.push_back(build_sample(order_[t], epoch_, t, mosaic_epoch_,
                                     images[static_cast<int64_t>(t - lo)], failure));
      if (failure.empty()) continue;
      std::lock_guard lock(mutex_);
      if (std::string stop = note_failure(samples.back().path, failure); !stop.empty())
        throw EngineError(stop);
    }
    if (std::all_of(samples.begin(), samples.end(), [](const Prepared& x) { return x.failed; }))
      throw EngineError(whole_batch_failed(b));
    return finish(images, samples, options_.segment);
  }
  std::unique_lock lock(mutex_);
  if (consumed_ >= nb) return std::nullopt;
  const std::size_t b = consumed_;
  done_cv_.wait(lock, [&] {
    auto it = pending_.find(b);
    return !error_.empty() || (it != pending_.end() && it->second->ready);
  });
  if (!error_.empty()) throw EngineError(error_);
  Batch batch = std::move(pending_[b]->batch);
  pending_.erase(b);
  ++consumed_;
  lock.unlock();
  work_cv_.notify_all();
  return batch;
}

std::shared_ptr<const YoloDataset> build_dataset(const DataConfig& config, const std::string& split,
                                                 const LoaderOptions& options,
                                                 std::set<std::string> already_named) {
  const std::vector<std::filesystem::path>* sources = nullptr;
  if (split == "train")
    sources = &config.train;
  else if (split == "val")
    sources = &config.val;
  else if (split == "test")
    sources = &config.test;
  else
    throw EngineError("unknown dataset split '" + split + "'");
  if (sources->empty())
    throw EngineError(config.yaml_path.string() + " names no '" + split + "' images");
  std::vector<std::string> files;
  try {
    files = list_split_images(*sources);
  } catch (const EngineError& e) {
    throw EngineError(split + ": " + e.what());
  }
  if (files.empty()) throw EngineError(split + ": no images found in " + (*sources)[0].string());
  DatasetOptions dopt;
  dopt.imgsz = options.imgsz;
  dopt.augment = options.augment;
  dopt.segment = options.segment;
  dopt.threads = std::max(1, options.workers);
  dopt.cache_limit_bytes = options.cache_limit_bytes;
  dopt.prefix = options.prefix.empty() ? split : options.prefix;
  dopt.already_named = std::move(already_named);
  return std::make_shared<const YoloDataset>(files, config.names, dopt);
}

std::unique_ptr<DataLoader> build_loader(const DataConfig& config, const std::string& split,
                                         LoaderOptions options) {
  auto dataset = build_dataset(config, split, options);
  return std::make_unique<DataLoader>(std::move(dataset), std::move(options));
}

}  // namespace orvane::engine
