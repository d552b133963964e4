// orvane export: writes a checkpoint as best.onnx or best.torchscript beside it, and with
// output=DIR moves the exported item into that folder (replacing an older item of the same name),
// the way the inference tab places its exports.

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "cli/args.h"
#include "cli/preflight.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/exporter.h"
#include "inference/inference_core.h"

namespace orvane::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSummary = "export a trained model to onnx | torchscript | ...";

// "onnx | engine | ...": the engine's formats, in the order the inference tab offers them.
std::string format_list() {
  std::string list;
  for (const std::string& f : engine::export_formats()) list += (list.empty() ? "" : " | ") + f;
  return list;
}

const std::vector<KeyHelp>& export_keys() {
  static const std::vector<KeyHelp> keys{
      {"model", "", "a .pt checkpoint of orvane train or of the YOLO ecosystem"},
      {"format", engine::export_formats().front(), format_list()},
      {"imgsz", "0", "static input size (0: the size the model was trained at)"},
      {"opset", "12", "ONNX opset (12 to 17)"},
      {"output", "", "folder to move the exported item into (empty: beside the weights)"},
  };
  return keys;
}

}  // namespace

int run_export(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("export", kSummary, export_keys());
    return 0;
  }
  const Args args(words, export_keys());
  if (args.str("model").empty()) throw ArgError("model= is required");
  engine::ExportOptions options;
  options.weights = args.str("model");
  options.format = args.str("format");
  std::transform(options.format.begin(), options.format.end(), options.format.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  options.imgsz = args.integer("imgsz");
  options.opset = args.integer("opset");
  check_model(options.weights);
  try {
    fs::path path = engine::export_model(options);
    // The inference tab's placement: an older item of the same name (file or folder) stays
    // until the new one is in place, and a cross-device move is copied and synced first.
    if (!args.str("output").empty()) {
      const auto placed =
          inference::place_exported_item(QString::fromStdString(path.string()),
                                         QString::fromStdString(args.str("output")));
      if (!placed) throw std::runtime_error(placed.error().toStdString());
      path = placed->toStdString();
    }
    std::cout << path.string() << "\n";
  } catch (const std::exception& e) {
    const std::string message = e.what();
    throw std::runtime_error(message.substr(0, message.find('\n')));
  }
  return 0;
}

}  // namespace orvane::cli
