#pragma once
// The one table of training defaults. The configuration form starts from it, `orvane train help`
// prints it, and the inference tab's image size follows it. Plain values with no library behind
// them, so the window, the command line and the engine's callers can all include it (the window
// without linking LibTorch).

namespace orvane::training {

struct TrainingDefaults {
  const char* model = "yolov8s.pt";
  const char* data = "data.yaml";
  const char* project = "runs/detect";
  const char* name = "tavrix_yolo_run";
  int epochs = 100;
  int imgsz = 640;
  int batch = 16;
  int workers = 4;
  const char* optimizer = "auto";
  double lr0 = 0.01;
  double lrf = 0.01;
  int close_mosaic = 10;
  const char* device = "cpu";
};

inline constexpr TrainingDefaults kTrainingDefaults{};

}  // namespace orvane::training
