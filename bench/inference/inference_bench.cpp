// inference_bench prepare DIR
//     writes DIR/yolov8n/best.pt and DIR/yolov8n-seg/best.pt (80 classes, 640 px; fresh weights
//     with class biases raised so that a photo yields a realistic few dozen detections), each
//     with best.onnx and best.torchscript beside it
// inference_bench e2e MODEL IMAGE [runs]
//     best time of YOLO(MODEL).predict(IMAGE) + plot(), the image read from disk every run;
//     prints "e2e_ms <ms> <detections>" and the stages of the last run

#include <chrono>
#include <filesystem>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "engine/checkpoint.h"
#include "engine/exporter.h"
#include "engine/logger.h"
#include "engine/yolo.h"

namespace fs = std::filesystem;
using namespace orvane::engine;

namespace {

double now_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void prepare(const fs::path& dir) {
  for (auto task : {Task::detect, Task::segment}) {
    torch::manual_seed(0);
    ModelSpec arch;
    arch.task = task;
    arch.nc = 80;
    YoloModel model(arch);
    {
      torch::NoGradGuard no_grad;
      for (auto& p : model->named_parameters())
        if (p.key().find(".cv3.") != std::string::npos &&
            p.key().find(".2.bias") != std::string::npos)
          p.value().fill_(-4.6f);
    }
    CheckpointMeta meta;
    meta.arch = arch;
    meta.names = model->names;
    meta.imgsz = 640;
    const auto sub = dir / arch.name();
    fs::create_directories(sub);
    save_checkpoint(sub / "best.pt", model, meta);
    for (const char* format : {"onnx", "torchscript"})
      std::cout << export_model({.weights = (sub / "best.pt").string(), .format = format}).string()
                << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "prepare" && argc > 2) {
    prepare(argv[2]);
    return 0;
  }
  if (mode != "e2e" || argc < 4) {
    std::cerr << "usage: inference_bench prepare DIR | e2e MODEL IMAGE [runs]\n";
    return 2;
  }
  const int runs = argc > 4 ? std::atoi(argv[4]) : 15;
  LOGGER.set_console(false);
  YOLO model(argv[2]);
  PredictOptions options;
  options.verbose = false;
  double best = 1e9;
  size_t detections = 0;
  for (int i = 0; i < runs + 3; ++i) {
    const double t0 = now_ms();
    auto results = model.predict(argv[3], options);
    cv::Mat plotted = results[0].plot();
    const double t = now_ms() - t0;
    if (plotted.empty()) return 1;
    detections = results[0].boxes.size();
    if (i >= 3) best = std::min(best, t);
  }
  std::printf("e2e_ms %.2f %zu\n", best, detections);
  return 0;
}
