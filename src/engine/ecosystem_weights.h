#pragma once
// The YOLO ecosystem's checkpoints (`yolov8n.pt`, a `best.pt` trained by its Python library)
// mapped onto our models. The file is read by the restricted reader of pt_pickle.h, so nothing
// in it runs. Its top-level dict holds the network under `model` (or `ema` when `model` is None):
//
//   DetectionModel | SegmentationModel   (a record of the module's state)
//     yaml   {nc, scales, scale | depth_multiple/width_multiple, backbone, head, yaml_file}
//     names  {0: 'rect', ...}    stride tensor([8, 16, 32])    args {imgsz, task, ...}
//     _modules.model  Sequential of the layers -> parameters model.0.conv.weight ...
//
// The architecture comes from `yaml`; every tensor of the file must have its place in that
// architecture with the same shape and every place must be filled, or the file is refused.
// Tensors are converted to float32 (they are usually stored as float16).

#include <filesystem>
#include <optional>
#include <string>

#include "engine/checkpoint.h"
#include "engine/pt_pickle.h"

namespace orvane::engine {

// The architecture a network's `yaml` describes (family, scale, task and nc), as we build it.
// Throws EngineError (message without the file name) for a yaml we cannot build: another task,
// another family, an unknown layer list or scale. `what` names the file in refusals
// ("yolov8n-pose.pt is a YOLO pose model; ...").
ModelSpec map_ecosystem_architecture(const pt::Value& model, const std::string& what);

// Maps an unpickled checkpoint. `path` names the file in messages. Throws EngineError.
LoadedCheckpoint ecosystem_checkpoint(const pt::Unpickled& file, const std::filesystem::path& path);

// A parameter's name in our models: the ecosystem's YOLOv8 keeps its DFL projection as
// `dfl.conv.weight`, ours as `dfl.weight`; every other name is the same.
std::string ecosystem_parameter_name(const std::string& name, Family family);

// A tensor of the archive as a LibTorch tensor of its own type, copied out of the archive.
torch::Tensor ecosystem_tensor(const pt::TensorRef& tensor);

// "[64,3,3,3]", for messages.
std::string shape_text(c10::IntArrayRef sizes);

// Reads `path`, which may be one of our checkpoints or the ecosystem's: the one entry point for
// every place that takes a weights file. Throws EngineError with one line.
LoadedCheckpoint load_weights(const std::filesystem::path& path);

}  // namespace orvane::engine
