#include "engine/memory_need.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace orvane::engine {

namespace {

// Measured on yolov8n as peak resident memory of `orvane train` (imgsz 256 and 512, batch 4 and
// 8, no loader threads; a straight-line fit): bytes per pixel of one image that a training step
// holds, and that validation's forward pass holds (it runs twice the training batch). yolov8s
// measured 2.15 times n's per pixel.
constexpr double kTrainBytesPerPixel = 350.0;
constexpr double kInferBytesPerPixel = 175.0;
// The process, LibTorch and the model's weights, gradients and optimizer state (yolov8n).
constexpr double kBaseBytes = 280e6;

// Activations grow with the width of the layers and, less than in proportion, with their depth
// (the repeated blocks of m, l and x): relative to n.
double scale_factor(char scale) {
  switch (scale) {
    case 's': return 2.0;
    case 'm': return 4.5;
    case 'l': return 8.0;
    case 'x': return 10.0;
    default: return 1.0;
  }
}

}  // namespace

std::uint64_t available_memory_bytes() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  std::uint64_t kb = 0;
  while (in >> key >> kb >> unit)
    if (key == "MemAvailable:") return kb * 1024;
  return std::uint64_t(1) << 30;
}

double estimated_bytes(const MemoryNeed& need) {
  const double pixels = double(need.imgsz) * double(need.imgsz) * double(std::max(need.batch, 1));
  const double model = scale_factor(need.scale) * (need.segment ? 1.1 : 1.0);
  if (!need.training) return kBaseBytes * model + pixels * kInferBytesPerPixel * model;
  // A float batch holds 12 bytes per pixel (3 channels); the loader keeps its window of them
  // beside the one training. Validation's batches are twice as large but come after the step
  // has freed its own: the larger of the two counts, which keeps the estimate on the low side
  // (the fit of the sum was 20 % above it), so that only a run that surely cannot fit is refused.
  const double batches = 1.0 + std::max(2, 2 * std::max(need.workers, 0));
  const double per_pixel = std::max(kTrainBytesPerPixel, 2 * kInferBytesPerPixel) * model;
  return kBaseBytes * model + pixels * (per_pixel + 12.0 * batches);
}

int largest_fitting_imgsz(MemoryNeed need, double available, int max_imgsz) {
  for (int s = max_imgsz / 32 * 32; s >= 32; s -= 32) {
    need.imgsz = s;
    if (estimated_bytes(need) <= available) return s;
  }
  return 0;
}

int largest_fitting_batch(MemoryNeed need, double available) {
  for (int b = need.batch; b >= 1; --b) {
    need.batch = b;
    if (estimated_bytes(need) <= available) return b;
  }
  return 0;
}

std::string memory_text(double bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  int u = 0;
  while (bytes >= 1000 && u < 5) {
    bytes /= 1000;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u >= 3 ? "%.1f %s" : "%.0f %s", bytes, units[u]);
  return text;
}

MemoryNeed memory_need_of_model(const std::string& model) {
  MemoryNeed need;
  if (auto arch = parse_model_name(model)) {
    need.scale = arch->scale;
    need.segment = arch->task == Task::segment;
  }
  return need;
}

}  // namespace orvane::engine
