#pragma once
// Model export: a trained checkpoint written in a format other runtimes load.
//
//   auto path = export_model({.weights = "runs/detect/run/weights/best.pt", .format = "onnx"});
//   // -> runs/detect/run/weights/best.onnx
//
// The exported item is named after the weights file and written beside it (best.onnx,
// best.torchscript), atomically: a failed export leaves nothing half-made behind.

#include <filesystem>
#include <string>
#include <vector>

namespace orvane::engine {

struct ExportOptions {
  std::string weights;         // one of our checkpoints (required)
  std::string format = "onnx"; // onnx | torchscript | engine | openvino | coreml
  int imgsz = 0;               // static input size; 0 = the checkpoint's training size
  int opset = 12;              // ONNX opset
};

// The formats the studio offers, in its order.
const std::vector<std::string>& export_formats();

// Writes the export and returns its path. Throws EngineError with a one-line message for a
// checkpoint that is not ours, an unknown format, or a format whose toolchain does not exist
// here (engine, openvino, coreml: the message names what is missing and suggests ONNX).
std::filesystem::path export_model(const ExportOptions& options);

}  // namespace orvane::engine
