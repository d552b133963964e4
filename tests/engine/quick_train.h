#pragma once
// The training recipe engine tests use on the tiny shapes set (engine/shapes_data.h). Kept apart
// from the data header, which tests that never link the engine use too.

#include <filesystem>

#include "engine/trainer.h"

namespace orvane::engine {

// Options that learn this set in a few epochs at 64 px: no mosaic, an optimizer step every batch,
// no warm-up, one compute thread (when other work shares the two cores, spinning OpenMP threads
// slow down many times over, a single thread only by the share it loses).
inline TrainOptions quick_train_options(const std::filesystem::path& data,
                                        const std::filesystem::path& project, int epochs) {
  TrainOptions o;
  o.data = data.string();
  o.epochs = epochs;
  o.imgsz = 64;
  o.batch = 4;
  o.nbs = 4;
  o.workers = 1;
  o.optimizer = "AdamW";
  o.lr0 = 0.004;
  o.warmup_epochs = 0;
  o.hyp.mosaic = 0;
  o.close_mosaic = 0;
  o.project = project.string();
  o.name = "train";
  o.plots = false;
  o.seed = 1;
  o.threads = 1;
  return o;
}

}  // namespace orvane::engine
