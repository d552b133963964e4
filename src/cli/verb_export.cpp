// orvane export: writes a checkpoint as best.onnx or best.torchscript beside it, and with
// output=DIR moves the exported item into that folder (replacing an older item of the same name).

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "cli/args.h"
#include "cli/preflight.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/exporter.h"

namespace orvane::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSummary = "export a trained model to onnx | torchscript | ...";

const std::vector<KeyHelp>& export_keys() {
  static const std::vector<KeyHelp> keys{
      {"model", "", "a .pt checkpoint of orvane train or of the YOLO ecosystem"},
      {"format", "onnx", "onnx | engine | openvino | torchscript | coreml"},
      {"imgsz", "0", "static input size (0: the size the model was trained at)"},
      {"opset", "12", "ONNX opset (12 to 17)"},
      {"output", "", "folder to move the exported item into (empty: beside the weights)"},
  };
  return keys;
}

// Moves `item` into `dir` under its own name. A file replaces an older one by rename, so the
// folder holds the old or the new export at every moment; an older folder of that name is
// removed first. Moving across file systems copies beside the destination, then renames.
fs::path move_into(const fs::path& item, const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec))
    throw engine::EngineError("cannot create the folder " + dir.string());
  const fs::path dest = dir / item.filename();
  if (fs::weakly_canonical(dest, ec) == fs::weakly_canonical(item, ec)) return dest;
  if (fs::is_directory(dest, ec) && !fs::is_directory(item, ec)) {
    fs::remove_all(dest, ec);
    if (ec) throw engine::EngineError("cannot remove " + dest.string() + ": " + ec.message());
  }
  fs::rename(item, dest, ec);
  if (ec == std::errc::cross_device_link) {
    std::string name = ".";
    name += item.filename().string();
    name += ".tmp";
    name += std::to_string(::getpid());
    const fs::path tmp = dir / name;
    fs::copy_file(item, tmp, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(tmp, dest, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove(tmp, ignored);
    } else {
      fs::remove(item, ec);
    }
  }
  if (ec)
    throw engine::EngineError("cannot move " + item.string() + " to " + dest.string() + ": " +
                              ec.message());
  return dest;
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
    if (!args.str("output").empty()) path = move_into(path, args.str("output"));
    std::cout << path.string() << "\n";
  } catch (const std::exception& e) {
    const std::string message = e.what();
    throw std::runtime_error(message.substr(0, message.find('\n')));
  }
  return 0;
}

}  // namespace orvane::cli
