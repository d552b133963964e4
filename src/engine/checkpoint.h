#pragma once
// Our checkpoint files (best.pt, last.pt): a LibTorch archive with the model weights, a YAML
// metadata string and, in last.pt, the optimizer state. Format: src/engine/README.md.

#include <torch/torch.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/model.h"

namespace orvane::engine {

inline constexpr const char* kCheckpointFormat = "orvane-yolo";
inline constexpr int kCheckpointVersion = 1;

struct CheckpointMeta {
  ModelSpec arch;                  // architecture, task, nc (any task: classifiers too)
  std::vector<std::string> names;  // size nc
  int imgsz = 640;
  int epoch = -1;                  // last finished epoch (0-based); -1 when none finished
  int epochs = 0;                  // planned epochs of the run
  double best_fitness = 0.0;
  std::int64_t ema_updates = 0;
  bool finished = false;           // the run ended (its last epoch, or patience): nothing to resume
  std::vector<std::pair<std::string, double>> metrics;  // results.csv names -> last values
  std::map<std::string, std::string> train_args;        // args.yaml as text values
  std::string date;                                     // ISO 8601, UTC
};

// What last.pt carries beyond the averaged weights and the optimizer so that a resumed run goes
// on exactly as if it had never stopped: the weights that train (the EMA weights are the
// checkpoint's `model`), LibTorch's random generator, the results rows at full precision and
// the trainer's counters. The loader needs nothing here: it draws every augmentation from the
// seed, the epoch and the sample's position.
struct ResumeState {
  YoloModel model{nullptr};  // the trained (not averaged) weights, BatchNorm counters included
  torch::Tensor rng;         // LibTorch's CPU generator state (uint8)
  torch::Tensor results;     // results.csv rows so far, float64 [epochs, columns]
  double fitness = 0.0;      // of the last validation
  double best_fitness = 0.0;
  std::int64_t last_opt_step = -1;  // batch number of the last optimizer step
  int accumulate = 1;               // batches per optimizer step
  int stale = 0;                    // epochs without improvement (patience)
  int best_epoch = 0;
};

// Writes through a temporary beside `path` and a rename: a failed write leaves the old file
// whole. `optimizer` may be null (best.pt carries none). Throws EngineError when writing fails.
void save_checkpoint(const std::filesystem::path& path, YoloModel& model,
                     const CheckpointMeta& meta, torch::optim::Optimizer* optimizer = nullptr);

// The bytes save_checkpoint writes: the archive serialised in memory. Throws EngineError.
// `resume` (last.pt) adds the state a resumed run needs.
std::string checkpoint_bytes(YoloModel& model, const CheckpointMeta& meta,
                             torch::optim::Optimizer* optimizer = nullptr,
                             const ResumeState* resume = nullptr);
// The same for any network (a classifier): its parameters and buffers as `model`.
std::string checkpoint_bytes(torch::nn::Module& model, const CheckpointMeta& meta,
                             torch::optim::Optimizer* optimizer = nullptr,
                             const ResumeState* resume = nullptr);

// Writes checkpoints on a thread of its own, so that training goes on while the disk syncs
// (writing and syncing last.pt took longer than serialising it). The caller serialises
// (checkpoint_bytes) while the tensors are still those of the finished epoch; the writer then
// replaces the files in the order given, each atomically, so a crash leaves every file whole,
// at worst one save behind; a file queued again before its turn is written once, the newer. A
// failed write is thrown as EngineError by the next `write` or by `wait`; the destructor finishes
// the queued writes (nothing of a finished epoch is dropped when training ends by an exception) and
// only logs a failure.
class CheckpointWriter {
 public:
  // Replaces `path` with `bytes`; returns "" or the reason it failed. The default is the one
  // atomic writer; tests give one that fails or throws.
  using WriteFile = std::function<std::string(const std::filesystem::path&, const std::string&)>;
  CheckpointWriter();
  explicit CheckpointWriter(WriteFile write_file);
  CheckpointWriter(const CheckpointWriter&) = delete;
  CheckpointWriter& operator=(const CheckpointWriter&) = delete;
  ~CheckpointWriter();

  void write(std::filesystem::path path, std::string bytes);
  // Returns when every queued file is on disk; throws the first failure.
  void wait();

 private:
  void run();
  void throw_failure();  // with the lock held

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::filesystem::path, std::string>> queue_;
  bool busy_ = false;  // the thread is writing a file it took from the queue
  bool quit_ = false;
  std::string failure_;
  WriteFile write_file_;
  std::thread thread_;
};

struct LoadedCheckpoint {
  YoloModel model{nullptr};  // in eval mode, weights as saved
  CheckpointMeta meta;
  bool has_optimizer = false;
  bool foreign = false;  // read from the YOLO ecosystem's checkpoint (ecosystem_weights.h)
};

// Opens one of our archives and reads its metadata, of any task (load_checkpoint takes only
// detection and segmentation). Throws EngineError with one line when the file is missing, not a
// zip, a zip without our metadata, or the metadata does not parse.
CheckpointMeta open_archive(const std::filesystem::path& path,
                            torch::serialize::InputArchive& archive);

// Reads the archive's weights into `model` (built for meta.arch) and sets it to eval mode.
// Throws EngineError naming `path` when they are missing or do not fit.
void load_archive_weights(const std::filesystem::path& path, torch::serialize::InputArchive& archive,
                          torch::nn::Module& model, const CheckpointMeta& meta);

// Throws EngineError with one line when the file is missing, not ours, of a newer version, or
// damaged. Never crashes on foreign bytes.
LoadedCheckpoint load_checkpoint(const std::filesystem::path& path);

// Restores the optimizer state saved in `path` into an optimizer built with the same groups.
// Throws EngineError when the file has none or it does not fit.
void load_optimizer_state(const std::filesystem::path& path, torch::optim::Optimizer& optimizer);

// The resume state of a last.pt; empty for a file written before it was kept (averaged weights
// and optimizer only). Throws EngineError when it is there but damaged.
std::optional<ResumeState> load_resume_state(const std::filesystem::path& path);

// The metadata as YAML text (what the archive holds) and back; parse throws EngineError.
std::string meta_to_yaml(const CheckpointMeta& meta);
CheckpointMeta meta_from_yaml(const std::string& text);

}  // namespace orvane::engine
