#include "engine/exporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/checkpoint.h"
#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/export/exported_model.h"
#include "engine/export/writers.h"
#include "engine/logger.h"
#include "engine/tasks/classify/classify_run.h"
#include "files/atomic_file.h"
#include "files/text_format.h"

namespace orvane::engine {

namespace fs = std::filesystem;

namespace {

// The formats whose toolchains do not exist on this platform: nothing here could write them,
// nor run a file to check it. Each names what is missing and the way that does work.
std::string unavailable_message(const std::string& format) {
  if (format == "engine")
    return "export to engine (TensorRT) needs NVIDIA TensorRT and a CUDA GPU, which this "
           "platform does not have; export to onnx instead: TensorRT builds an engine from the "
           "ONNX file (trtexec --onnx=best.onnx) on the target machine";
  if (format == "openvino")
    return "export to openvino needs Intel's OpenVINO toolkit, which is not available on this "
           "platform; export to onnx instead: OpenVINO reads ONNX files directly (ovc best.onnx)";
  return "export to coreml needs Apple's coremltools, which is not available on this platform; "
         "export to onnx instead and convert it on a Mac, or load the ONNX file in ONNX Runtime";
}

// "Orvane yolov8n model trained on data.yaml"
std::string description_of(const CheckpointMeta& meta) {
  std::string description = "Orvane " + meta.arch.name() + " model";
  if (auto it = meta.train_args.find("data"); it != meta.train_args.end())
    description += " trained on " + fs::path(it->second).filename().string();
  return description;
}

}  // namespace

const std::vector<std::string>& export_formats() {
  static const std::vector<std::string> formats{"onnx", "engine", "openvino", "torchscript",
                                                "coreml"};
  return formats;
}

fs::path export_model(const ExportOptions& options) {
  const auto& formats = export_formats();
  if (std::find(formats.begin(), formats.end(), options.format) == formats.end()) {
    std::string list;
    for (const auto& f : formats) list += (list.empty() ? "" : ", ") + f;
    throw EngineError("unknown export format '" + options.format + "' (one of " + list + ")");
  }
  if (options.weights.empty()) throw EngineError("export needs a weights file");
  const fs::path weights(options.weights);
  if (ExportedModel::is_exported_path(weights))
    throw EngineError(weights.filename().string() +
                      " is already an exported model; export from the .pt checkpoint it came from");
  // A classifier's checkpoint is ours too, with another network and one output.
  const bool classifier = classify::is_classifier(weights.string());
  LoadedCheckpoint loaded;
  classify::LoadedClassifier loaded_classifier;
  if (classifier)
    loaded_classifier = classify::load_classifier(weights);
  else
    loaded = load_weights(weights);
  if (options.format != "onnx" && options.format != "torchscript")
    throw EngineError(unavailable_message(options.format));

  int size = options.imgsz > 0 ? options.imgsz
                               : (classifier ? loaded_classifier.meta.imgsz : loaded.meta.imgsz);
  if (size < 32 || size % 32 != 0) {
    const int rounded = std::max(32, (size + 31) / 32 * 32);
    LOGGER.warning("imgsz=" + std::to_string(size) +
                   " must be a multiple of max stride 32, updating to " + std::to_string(rounded));
    size = rounded;
  }
  exporting::ExportMetadata meta;
  meta.height = meta.width = size;
  meta.date = files::utc_timestamp();
  exporting::GraphWalk walk;
  std::string module_name;
  if (classifier) {
    auto& model = loaded_classifier.model;
    meta.task = "classify";
    meta.names = model->names;
    meta.description = description_of(loaded_classifier.meta);
    model->eval();
    walk = [&model, size](exporting::GraphEmitter& e) {
      exporting::emit_classifier_graph(*model, model->spec().family, size, size, e);
      return std::vector<std::vector<int64_t>>{{1, int64_t(model->nc())}};
    };
    module_name = "__torch__.orvane.Classify";
  } else {
    meta.task = loaded.model->is_segment() ? "segment" : "detect";
    meta.names = loaded.model->names;
    meta.description = description_of(loaded.meta);
    loaded.model->eval();
  }

  const auto start = std::chrono::steady_clock::now();
  torch::NoGradGuard no_grad;
  std::string bytes;
  fs::path target = weights;
  try {
    if (options.format == "onnx") {
      bytes = walk ? exporting::onnx_bytes(walk, meta, options.opset)
                   : exporting::onnx_bytes(*loaded.model, meta, options.opset);
      target.replace_extension(".onnx");
    } else {
      bytes = walk ? exporting::torchscript_bytes(walk, module_name, meta)
                   : exporting::torchscript_bytes(*loaded.model, meta);
      target.replace_extension(".torchscript");
    }
  } catch (const c10::Error& e) {
    const std::string what = e.what();
    throw EngineError("export to " + options.format +
                      " failed: " + what.substr(0, what.find('\n')));
  }
  files::write_atomically_or_throw<EngineError>(
      target, bytes);  // an interrupted export leaves the old file whole
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char line[256];
  std::snprintf(line, sizeof line, "%s: export success %.1fs, saved as '%s' (%.1f MB)",
                options.format == "onnx" ? "ONNX" : "TorchScript", seconds, target.c_str(),
                double(bytes.size()) / 1e6);
  LOGGER.info(line);
  return target;
}

}  // namespace orvane::engine
