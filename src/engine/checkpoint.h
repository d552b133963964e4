#pragma once
// Our checkpoint files (best.pt, last.pt): a LibTorch archive with the model weights, a YAML
// metadata string and, in last.pt, the optimizer state. Format: src/engine/README.md.

#include <torch/torch.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/model.h"

namespace orvane::engine {

inline constexpr const char* kCheckpointFormat = "orvane-yolo";
inline constexpr int kCheckpointVersion = 1;

struct CheckpointMeta {
  ModelSpec arch;                  // architecture, task, nc
  std::vector<std::string> names;  // size nc
  int imgsz = 640;
  int epoch = -1;                  // last finished epoch (0-based); -1 when none finished
  int epochs = 0;                  // planned epochs of the run
  double best_fitness = 0.0;
  std::int64_t ema_updates = 0;
  std::vector<std::pair<std::string, double>> metrics;  // results.csv names -> last values
  std::map<std::string, std::string> train_args;        // args.yaml as text values
  std::string date;                                     // ISO 8601, UTC
};

// Writes through a temporary beside `path` and a rename: a failed write leaves the old file
// whole. `optimizer` may be null (best.pt carries none). Throws EngineError when writing fails.
void save_checkpoint(const std::filesystem::path& path, YoloModel& model,
                     const CheckpointMeta& meta, torch::optim::Optimizer* optimizer = nullptr);

struct LoadedCheckpoint {
  YoloModel model{nullptr};  // in eval mode, weights as saved
  CheckpointMeta meta;
  bool has_optimizer = false;
};

// Throws EngineError with one line when the file is missing, not ours, of a newer version, or
// damaged. Never crashes on foreign bytes.
LoadedCheckpoint load_checkpoint(const std::filesystem::path& path);

// Restores the optimizer state saved in `path` into an optimizer built with the same groups.
// Throws EngineError when the file has none or it does not fit.
void load_optimizer_state(const std::filesystem::path& path, torch::optim::Optimizer& optimizer);

// The metadata as YAML text (what the archive holds) and back; parse throws EngineError.
std::string meta_to_yaml(const CheckpointMeta& meta);
CheckpointMeta meta_from_yaml(const std::string& text);

}  // namespace orvane::engine
