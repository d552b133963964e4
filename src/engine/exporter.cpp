#include "engine/exporter.h"

#include "engine/error.h"

namespace orvane::engine {

const std::vector<std::string>& export_formats() {
  static const std::vector<std::string> formats{"onnx", "engine", "openvino", "torchscript",
                                                "coreml"};
  return formats;
}

std::filesystem::path export_model(const ExportOptions& options) {
  throw EngineError("export to " + options.format + " is not available yet");
}

}  // namespace orvane::engine
