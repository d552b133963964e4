#pragma once
// A real checkpoint small enough for tests: a fresh two-class yolov8n saved at image size 64.
// Untrained weights predict (almost) nothing, which is all these tests need.

#include <filesystem>

#include "engine/checkpoint.h"

namespace orvane::test {

inline void write_tiny_checkpoint(const std::filesystem::path& path) {
  using namespace orvane::engine;
  torch::manual_seed(0);
  YoloModel model(ModelSpec{'n', Task::detect, 2}, std::vector<std::string>{"nut", "bolt"});
  model->eval();
  CheckpointMeta meta;
  meta.arch = model->arch();
  meta.names = model->names;
  meta.imgsz = 64;
  save_checkpoint(path, model, meta);
}

}  // namespace orvane::test
