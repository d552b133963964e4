#pragma once
// The multi-threaded loaders: training (shuffled, augmented, square imgsz batches) and
// validation (in aspect-ratio order, rectangular letterboxed batches).

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/data/augment.h"
#include "engine/data/batch.h"
#include "engine/data/data_config.h"
#include "engine/data/dataset.h"

namespace orvane::engine {

struct Prepared;  // a sample ready to be collated (loader.cpp)

struct LoaderOptions {
  int imgsz = 640;       // multiple of 32 (callers round up and say so)
  int batch = 16;        // images per batch; the last batch of an epoch may be smaller
  int workers = 4;       // loading/augmenting threads; 0 loads on the caller's thread
  bool augment = false;  // mosaic, random affine, HSV, flips (training)
  bool shuffle = false;  // a fresh permutation every epoch (training)
  bool rect = false;     // rectangular batches: images sorted by aspect ratio, each batch
                         // letterboxed to the smallest stride-multiple shape holding it
  float rect_pad = 0.0f;  // rect mode: margin in strides added before rounding the shape up
                          // (validation uses kValidationRectPad)
  bool segment = false;  // fill Batch::masks from the polygons
  bool mosaic = true;    // mosaic while augmenting; the trainer turns it off for the last
                         // close_mosaic epochs with set_mosaic(false)
  AugmentHyp hyp;
  std::uint64_t seed = 0;  // the same seed gives the same batches, whatever `workers` is
  int stride = 32;
  int prefetch = 0;  // batches prepared ahead of the consumer; 0 = max(2, 2 * workers)
  std::size_t cache_limit_bytes = 0;  // see DatasetOptions
  std::string prefix;                 // names the split in log lines; empty = the split's name
  // Data-parallel training: this loader yields shard `rank` of `world_size`. Every rank draws
  // the same permutation of the whole set each epoch (the same seed), pads it by repeating its
  // start to a multiple of world_size, and takes every world_size-th image from position
  // `rank`: the shards are disjoint apart from the padding, cover the set, and are equally
  // long, so every rank runs the same number of batches. Not with `rect`.
  int rank = 0;
  int world_size = 1;
};

// Requires: a dataset built with the same imgsz/augment/segment.
// Guarantees: each epoch yields every image exactly once (with world_size > 1: every image of
// this rank's shard), in size() batches; next() blocks only while the next batch is still being
// prepared. A sample whose loading, augmenting or preparing throws (an image that vanished, a
// decoder or OpenCV error) is left out of its batch, which is then smaller, and the image is
// named once in a warning; kMaxFailedSamples failures in one epoch, or a batch whose every
// sample failed, are rethrown from next() as EngineError (something systematic is wrong).
class DataLoader {
 public:
  static constexpr int kMaxFailedSamples = 20;

  DataLoader(std::shared_ptr<const YoloDataset> dataset, LoaderOptions options);
  ~DataLoader();
  DataLoader(const DataLoader&) = delete;
  DataLoader& operator=(const DataLoader&) = delete;

  std::size_t size() const;  // batches per epoch
  const YoloDataset& dataset() const { return *dataset_; }
  const LoaderOptions& options() const { return options_; }

  // Starts preparing the batches of `epoch` (0-based); abandons what is left of the previous.
  void begin_epoch(int epoch);
  // The next batch of the current epoch, nullopt after the last one. Starts epoch 0 if
  // begin_epoch was never called.
  std::optional<Batch> next();
  // Mosaic on/off; takes effect from the next begin_epoch.
  void set_mosaic(bool on);

  // Builds one sample of the current epoch on the calling thread (tests, plotting).
  Sample make_sample(std::size_t dataset_index, int epoch, std::size_t position) const;
  // The dataset indices of this rank's share of the current epoch, in the order yielded.
  const std::vector<std::size_t>& epoch_order() const { return order_; }

 private:
  struct Pending;
  void stop_workers();
  void plan_order(int epoch);
  void worker_loop();
  Sample make_sample_impl(std::size_t dataset_index, int epoch, std::size_t position,
                          bool mosaic) const;
  Sample load_letterboxed(std::size_t index, cv::Size2i shape) const;
  Sample load_plain(std::size_t index) const;
  // Makes and prepares one sample into `slot`. Any exception leaves it out: the result is marked
  // failed and `failure` says which step failed and why.
  Prepared build_sample(std::size_t index, int epoch, std::size_t position, bool mosaic,
                               torch::Tensor slot, std::string& failure) const;
  // Counts a left-out sample of this epoch and warns once per image; returns the reason to stop
  // the run when too many failed, else empty. Called with mutex_ held.
  std::string note_failure(const std::string& path, const std::string& failure);
  std::string whole_batch_failed(std::size_t batch) const;

  std::shared_ptr<const YoloDataset> dataset_;
  LoaderOptions options_;
  bool mosaic_next_ = true;

  // Epoch plan: order of dataset indices, batch boundaries, batch shapes (h, w).
  int epoch_ = -1;
  bool mosaic_epoch_ = true;
  std::vector<std::size_t> order_;
  std::vector<cv::Size2i> batch_shapes_;  // rect mode: per batch; else one imgsz square
  std::size_t consumed_ = 0;              // batches handed out this epoch

  // Worker state.
  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::vector<std::thread> threads_;
  bool quit_ = false;
  std::uint64_t generation_ = 0;  // bumps on begin_epoch so stale work is dropped
  std::size_t next_task_ = 0;     // next (batch * batch_size + slot) to hand to a worker
  std::map<std::size_t, std::unique_ptr<Pending>> pending_;
  std::string error_;
  int failed_this_epoch_ = 0;
  std::string last_failure_;
  std::set<std::string> reported_;  // images already named in a warning
};

// Builds the dataset of `split` ("train", "val" or "test") for loaders with `options` (imgsz,
// augment, segment, workers, cache limit and prefix matter). Images in `already_named` are
// counted but not named again when faulty (see DatasetOptions). Throws EngineError when the
// split is missing or no usable image is left.
std::shared_ptr<const YoloDataset> build_dataset(const DataConfig& config,
                                                 const std::string& split,
                                                 const LoaderOptions& options,
                                                 std::set<std::string> already_named = {});

// build_dataset and a loader over it with `options` as given (the trainer asks for
// augment+shuffle on train, rect on val).
std::unique_ptr<DataLoader> build_loader(const DataConfig& config, const std::string& split,
                                         LoaderOptions options);

}  // namespace orvane::engine
