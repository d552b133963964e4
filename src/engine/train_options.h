#pragma once
// The options of one training run: every keyword of `train` with its default. Its own header so
// that the text form (train_args.h), the trainer, the tuner and the command line share it without
// including each other.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/data/augment.h"
#include "engine/loss.h"
#include "training/training_defaults.h"

namespace orvane::engine {

class DistributedGroup;

// The keys a resume may change: where and how fast the run computes (the loader draws every
// augmentation from the seed, the epoch and the position, whatever the number of workers).
// Everything else, batch included, continues as saved. `threads` changes the order in which
// LibTorch sums, so a resume with another thread count matches the uninterrupted run only to
// rounding; left out, it stays as saved.
inline const std::vector<std::string> kResumeMayChange{"device", "workers", "threads", "verbose",
                                                       "dist_timeout", "amp"};

// The keywords of `train`, each with its default. The settings the training form shows take their
// defaults from the one table the form and `orvane train` read (training/training_defaults.h), so
// the engine called directly trains as the window and the command line do; a value the caller
// sets wins over the table.
struct TrainOptions {
  std::string data;  // data.yaml (required)
  int epochs = training::kTrainingDefaults.epochs;
  int imgsz = training::kTrainingDefaults.imgsz;  // rounded up to a multiple of 32 with a warning
  int batch = training::kTrainingDefaults.batch;  // -1: 16 on a CPU
  int workers = training::kTrainingDefaults.workers;  // loader threads
  std::string optimizer = training::kTrainingDefaults.optimizer;  // SGD | Adam | AdamW | auto
  double lr0 = training::kTrainingDefaults.lr0;
  double lrf = training::kTrainingDefaults.lrf;  // final learning rate = lr0 * lrf
  double momentum = 0.937;  // SGD momentum / Adam beta1
  double weight_decay = 0.0005;
  double warmup_epochs = 3.0;
  double warmup_momentum = 0.8;
  double warmup_bias_lr = 0.1;
  int nbs = 64;  // nominal batch size (gradient accumulation)
  LossGains gains;
  AugmentHyp hyp;
  int close_mosaic = training::kTrainingDefaults.close_mosaic;  // mosaic off for the last N epochs
  // "cpu"; a CUDA device falls back to the CPU with a warning
  std::string device = training::kTrainingDefaults.device;
  std::string project = training::kTrainingDefaults.project;
  std::string name = "train";
  bool exist_ok = false;
  bool verbose = true;
  std::uint64_t seed = 0;
  int patience = 100;    // epochs without fitness improvement before stopping early
  bool val = true;       // validate every epoch (the last epoch always validates)
  bool plots = true;     // labels.jpg, batch pictures, final charts
  bool resume = false;   // continue the run whose last.pt the model was loaded from
  int save_period = -1;  // > 0: weights/epochN.pt (a copy of last.pt) every N epochs
  int threads = 0;       // intra-op threads; 0 = every core
  // Mixed precision (engine/precision.h): true = the convolutions in bfloat16 (weights, loss and
  // metrics stay float32), false = float32 throughout, auto = bfloat16 where the processor has
  // it natively and it was measured faster.
  std::string amp = "auto";
  bool profile = false;  // time every stage of each epoch: a console line per epoch and
                         // profile.csv in the run folder
  // Data-parallel training (engine/distributed.h). `nproc`: `orvane train` starts this many
  // local ranks of itself (0 or 1: this process trains alone); the trainer itself ignores it.
  // `dist_timeout`: seconds any rank waits for the others before it gives up with an error.
  int nproc = 0;
  double dist_timeout = 60.0;
  // The group this process trains in as one rank; empty: it trains alone. `batch` is then the
  // global batch, split evenly over the ranks; only rank 0 validates and writes the run folder.
  std::shared_ptr<DistributedGroup> group;
  // resume=true: the keys the caller set on purpose (the command line's). Each must keep the
  // resumed run's value, except those in kResumeMayChange; the rest are taken from last.pt.
  std::vector<std::string> given_keys;
  // Draws the charts of the run folder from the data files (results.csv, curves.json ...).
  // Called after every epoch and after the final validation. The engine links no Qt, so the
  // caller supplies it (orvane train uses the plots library).
  std::function<void(const std::filesystem::path& run_dir)> render_plots;
};

}  // namespace orvane::engine
