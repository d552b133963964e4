#pragma once
// Runs that can be resumed: a run folder's last.pt, the form a resume shows, and the unfinished
// run the studio offers to resume when it starts. Reads the run folder's plain files (args.yaml,
// results.csv); the checkpoint itself is the engine's to judge when the resume starts.

#include <QDateTime>
#include <QString>
#include <optional>

#include "files/result.h"
#include "training/training_params.h"

namespace orvane::training {

// The last.pt that `picked` stands for: the file itself, or RUN/weights/last.pt for a run folder
// (or its weights folder). Fails with a line for the operator when there is none.
Result<QString> resume_checkpoint(const QString& picked);

// `form` with the values the run of `last_pt` was started with (its args.yaml): a resume
// continues that run unchanged, and the form shows what it is. `resume` is set to `last_pt`.
Result<TrainingForm> form_for_resume(const QString& last_pt, const TrainingForm& form);

struct UnfinishedRun {
  QString folder;   // the run folder
  QString last_pt;  // its weights/last.pt
  int epochs_done = 0;
  int epochs = 0;
  QDateTime saved;  // last.pt's modification time
};

// The most recently saved run below `project` (its direct subfolders) that has a last.pt and
// has not finished: fewer results rows than its epochs and no final validation (curves.json).
std::optional<UnfinishedRun> find_unfinished_run(const QString& project);

}  // namespace orvane::training
