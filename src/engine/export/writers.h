#pragma once
// The exported files' contents. Both writers return the file's bytes; the exporter writes them
// atomically.
//
// ONNX (opset 12+): input "images" [1,3,H,W] float 0..1 RGB; output "output0"
// [1, 4 + nc (+32), A] and for segmentation "output1" [1,32,H/4,W/4]; metadata properties in the
// form the YOLO ecosystem's 8.3 exports carry, so its runtimes read ours: description, author,
// date, version, task, stride, batch, imgsz
// ("[H, W]"), names ("{0: 'nut', 1: 'bolt'}").
//
// TorchScript: a scripted module whose forward(images) returns output0 (detection) or the tuple
// (output0, output1) (segmentation); the fused weights are its parameters; the extra file
// "config.txt" holds the same metadata as JSON (names keyed by class id as text).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/export/graph.h"
#include "engine/model.h"

namespace orvane::engine::exporting {

struct ExportMetadata {
  std::string task;  // detect | segment | classify
  std::vector<std::string> names;
  int64_t height = 640, width = 640;  // static input size
  std::string description;            // "Orvane YOLOv8n model trained on data.yaml"
  std::string date;                   // ISO 8601
};

std::string onnx_bytes(YoloModelImpl& model, const ExportMetadata& meta, int opset);
std::string torchscript_bytes(YoloModelImpl& model, const ExportMetadata& meta);

// The same writers over any walk: `walk` emits every operator and returns the shapes of the
// outputs in order (the ONNX file lists them). `module_name` names the TorchScript class.
using GraphWalk = std::function<std::vector<std::vector<int64_t>>(GraphEmitter&)>;
std::string onnx_bytes(const GraphWalk& walk, const ExportMetadata& meta, int opset);
std::string torchscript_bytes(const GraphWalk& walk, const std::string& module_name,
                              const ExportMetadata& meta);

// "{0: 'nut', 1: 'bolt'}", quotes inside names escaped as Python writes them.
std::string names_python_dict(const std::vector<std::string>& names);
// The ONNX metadata properties in order, shared with the TorchScript config.
std::vector<std::pair<std::string, std::string>> metadata_properties(const ExportMetadata& meta);

}  // namespace orvane::engine::exporting
