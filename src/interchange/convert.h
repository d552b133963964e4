#pragma once
// One conversion between two dataset formats, as `orvane convert` and the annotator's Import and
// Export buttons run it. The result appears all at once: everything is written into a hidden
// staging folder beside the output and renamed to the output at the very end, so a failed,
// cancelled or crashed conversion never leaves a partial folder that looks complete.

#include <QString>
#include <atomic>
#include <functional>

#include "files/result.h"
#include "interchange/interchange_dataset.h"

namespace orvane::interchange {

struct ConvertRequest {
  Format from = Format::Yolo;
  Format to = Format::Coco;
  QString source;  // a folder (a COCO source may also be its JSON file)
  QString output;  // a folder that does not exist yet or is empty; its parents are created
  Limits limits;
};

struct ConvertOutcome {
  Report report;
  Result<> run;            // a failure says why nothing was written; the report says what was met
  bool cancelled = false;  // stopped on request; nothing was written
  int images = 0, objects = 0, classes = 0;

  bool written() const { return run.ok() && !cancelled; }
  // Written, and nothing was lost on the way (changes such as clipping do not count).
  bool complete() const { return written() && report.lost() == 0; }
  // One line: "Converted 8 images with 30 objects in 80 classes from yolo to coco into OUT; 2 not
  // converted (1 crowd region, 1 RLE mask)", or why nothing was.
  QString summary(const ConvertRequest& request) const;
};

// Called with the images written so far; from the converting thread.
using ProgressFn = std::function<void(int done, int total, const QString& name)>;

// Runs the conversion. `stop`, when given, is checked between images; once set the staging folder
// is removed and the outcome is `cancelled`.
ConvertOutcome convert_dataset(const ConvertRequest& request, const ProgressFn& progress = {},
                               const std::atomic_bool* stop = nullptr);

}  // namespace orvane::interchange
