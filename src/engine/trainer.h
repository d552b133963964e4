#pragma once
// Training as YOLOv8 does it: SGD/Adam/AdamW (or auto), three parameter groups, warm-up,
// linear learning-rate decay, gradient accumulation to a nominal batch of 64, gradient-norm
// clipping, EMA weights, per-epoch validation, best.pt/last.pt, args.yaml and results.csv.
//
// Run folder (project/name, or name2, name3 ... when it exists and exist_ok is false):
//   weights/best.pt  weights/last.pt  args.yaml  results.csv  labels.jpg  train_batch0..2.jpg
//   and, from the final validation of best.pt, confusion_matrix.json, curves.json,
//   val_batch0_labels.jpg, val_batch0_pred.jpg; the charts come from `render_plots`.

#include <torch/torch.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/data/augment.h"
#include "engine/loss.h"
#include "engine/model.h"
#include "engine/checkpoint.h"
#include "engine/stage_profile.h"
#include "engine/train_options.h"
#include "engine/validator.h"

namespace orvane::engine {

class DataLoader;

// What `train` returns.
struct TrainResult {
  std::filesystem::path save_dir;
  std::optional<ValResult> metrics;  // final validation of best.pt; empty when stopped
  bool stopped = false;              // a callback set `stop`
  int epochs_completed = 0;          // of the whole run, a resumed one's earlier epochs included
  bool already_finished = false;     // resume of a finished run: nothing was done
};

class Trainer {
 public:
  using Callback = std::function<void(Trainer&)>;

  // `model` is trained in place; `resume_from` is the last.pt it was loaded from (resume).
  // `fresh`: the model has no trained weights; it is rebuilt after seeding so that the seed
  // decides the initial weights too.
  Trainer(YoloModel model, TrainOptions options, std::filesystem::path resume_from = {},
          bool fresh = false);
  ~Trainer();

  // Events: "on_train_start", "on_train_epoch_start", "on_train_batch_end",
  // "on_train_epoch_end", "on_fit_epoch_end" (after validation and saving), "on_train_end".
  // Throws EngineError for an unknown event.
  void add_callback(const std::string& event, Callback callback);

  // Runs the whole training. Returns normally when finished or stopped; throws EngineError (or
  // a LibTorch error) on failure, leaving weights/last.pt of the last finished epoch whole.
  TrainResult train();

  // ---- state the callbacks read ----
  int epoch = 0;             // current epoch, 0-based
  int epochs = 0;            // planned epochs
  int start_epoch = 0;       // first epoch of this call, 0-based: past 0 in a resumed run
  int batch_index = 0;       // batch within the epoch, 0-based (in on_train_batch_end)
  int batches = 0;           // batches per epoch
  std::atomic<bool> stop{false};  // set it (from a callback or any thread): training ends
                                  // after the current batch, last.pt is saved, train returns
  std::filesystem::path save_dir;
  std::vector<float> tloss;  // running mean of this epoch's loss items
  std::vector<std::string> loss_names;  // "box_loss", ("seg_loss",) "cls_loss", "dfl_loss"
  std::vector<std::pair<std::string, double>> metrics;  // last validation, results.csv names
  std::map<std::string, double> lr;                     // "lr/pg0" ...
  double fitness = 0.0;
  double best_fitness = 0.0;
  double epoch_time = 0.0;   // seconds of the last epoch (train + val)
  StageProfile epoch_profile;  // profile=true: stages of the last finished epoch (charts too)

  const TrainOptions& options() const { return options_; }
  YoloModel& model() { return model_; }
  YoloModel& ema_model() { return ema_; }
  torch::optim::Optimizer& optimizer();  // after setup (on_train_start on)

 private:
  void run_callbacks(const std::string& event);
  TrainResult run_training();
  enum class EpochOutcome { go, early, stop, stopped_in_epoch };
  void log_run_start();
  EpochOutcome run_epoch();
  void track_fitness();
  void save_epoch(bool finished);  // finished: the run ends with this epoch
  EpochOutcome agree_outcome(EpochOutcome own);
  // setup() runs these steps in order.
  void setup();
  void check_options();        // data.yaml read; imgsz, batch, workers made usable
  void fit_model_to_data();    // the head rebuilt for the data's classes, weights carried over
  void build_loaders();        // train and val loaders; batch capped at the training images
  void create_run_folder();    // save_dir made and proven writable; args.yaml, labels.jpg
  void build_ema();            // the averaged copy of the model and its weight pairs
  void restore_resumed_run();  // weights, optimizer, generator, counters, earlier results rows
  void restore_ecosystem_run();  // the YOLO ecosystem's last.pt (ecosystem_optimizer.h)
  void restore_last_metrics();   // from the last results row
  void read_results_rows();
  struct OptimizerChoice {
    std::string name;  // SGD | Adam | AdamW (anything else is refused)
    double lr, momentum;
  };
  OptimizerChoice choose_optimizer();
  void build_optimizer();
  void train_epoch();
  double begin_epoch();  // the epoch's learning-rate factor
  void warm_up(int64_t ni, double lf);
  void backward(const torch::Tensor& total, bool step_now);
  void step_optimizer(bool finite, int64_t ni);
  std::string log_batch(int i, const Batch& batch, const torch::Tensor& loss_items, double elapsed);
  bool stop_agreed();
  void ema_update();
  void save(bool finished);  // after a finished epoch; finished: the run ends with it
  void save_start();
  CheckpointMeta checkpoint_meta(int finished_epoch, bool finished);
  std::string last_checkpoint_bytes(const CheckpointMeta& meta);
  std::vector<std::string> metric_names() const;
  std::vector<std::string> results_header() const;
  void write_results_row(double elapsed);
  void record_profile(const StageProfile& profile);
  std::optional<ValResult> validate_epoch();
  std::optional<ValResult> final_eval();

  TrainOptions options_;
  YoloModel model_;
  YoloModel ema_{nullptr};
  std::filesystem::path resume_from_;
  bool fresh_ = false;
  std::map<std::string, std::vector<Callback>> callbacks_;

  struct State;
  std::unique_ptr<State> s_;
};

// project/name, or the first free project/name2, name3 ... when exist_ok is false.
std::filesystem::path increment_path(const std::filesystem::path& path, bool exist_ok);

// The number of intra-op threads LibTorch will use when `requested` is 0: every core.
int default_threads();

// Sets `threads` intra-op threads (0 = every core) and makes each of them, and the caller, treat
// denormal floats as zero. Adam's second moments of tiny gradients fall into the denormal range
// early in training, where every operation on them is tens of times slower.
void configure_compute_threads(int threads = 0);

}  // namespace orvane::engine
