#pragma once
// How much memory a training or prediction run needs, estimated before it starts, so that an
// image size or batch that cannot fit is refused with figures instead of failing an allocation
// deep inside a loader thread minutes later.
//
// The estimate is linear in the pixels of a batch (batch x imgsz^2): the activations a training
// step keeps for the backward pass (or validation's larger batches, whichever is more), grown
// with the model's width and depth, plus the batches the loader prepares ahead (max(2, 2 x
// workers) float batches beside the one training). Its constants were measured as peak resident
// memory of `orvane train` on the CPU (memory_need.cpp) and it errs low: a refusal means the run
// would not fit, and names the figure and what would fit instead.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/model.h"

namespace orvane::engine {

// Bytes of memory the system could give this process now (MemAvailable of /proc/meminfo).
std::uint64_t available_memory_bytes();

struct MemoryNeed {
  char scale = 'n';      // the model's scale; n when unknown (the smallest need)
  bool segment = false;  // segmentation adds the mask prototypes
  int imgsz = 640;       // a multiple of 32
  int batch = 16;        // >= 1
  int workers = 8;       // loader threads (0: loads on the training thread)
  bool training = true;  // false: inference only (val, predict), no gradients kept
};

// Estimated peak bytes of the run.
double estimated_bytes(const MemoryNeed& need);

// The largest multiple of 32 up to `max_imgsz` whose run fits in `available` bytes (with the
// rest of `need` as it is); 0 when not even 32 fits.
int largest_fitting_imgsz(MemoryNeed need, double available, int max_imgsz);
// The largest batch up to need.batch that fits at need.imgsz; 0 when not even 1 does.
int largest_fitting_batch(MemoryNeed need, double available);

// "9.6 TB", "812 MB": a byte count as a person reads it.
std::string memory_text(double bytes);

// Scale and task from a model name or file name ("yolov8s-seg.pt", "yolo11m.yaml"); n/detect
// when the name does not say.
MemoryNeed memory_need_of_model(const std::string& model);

}  // namespace orvane::engine
