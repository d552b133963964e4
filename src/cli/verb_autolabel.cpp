#include <QFileInfo>
#include <iostream>

#include "annotator/auto_label.h"
#include "cli/args.h"
#include "cli/preflight.h"
#include "cli/verbs.h"
#include "engine/yolo.h"

namespace orvane::cli {

namespace {

const std::vector<KeyHelp> kAutolabelKeys = with_slice_keys({
    {"model", "", "weights to label with: a .pt checkpoint (ours or the YOLO ecosystem's), a zoo name, or an exported .onnx / .torchscript"},
    {"source", "", "annotator folder: images, their label files and classes.txt"},
    {"conf", "0.25", "confidence threshold, 0.01-1.0"},
    {"imgsz", "",
     "inference size (rounded up to a multiple of 32); empty: the size the model "
     "was trained at, or 640"},
});

}  // namespace

int run_autolabel(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help(
        "autolabel", "label every image of a folder that has no label file yet", kAutolabelKeys);
    return 0;
  }
  const Args args(words, kAutolabelKeys);
  const QString model_path = QString::fromStdString(args.str("model")).trimmed();
  const QString source = QString::fromStdString(args.str("source")).trimmed();
  if (model_path.isEmpty()) throw ArgError("model=PATH is required");
  if (source.isEmpty() || !QFileInfo(source).isDir())
    throw ArgError("source=DIR must be an existing folder");
  FolderLabelOptions options;
  options.folder = source;
  options.conf = args.real("conf");
  if (!(options.conf >= 0.01 && options.conf <= 1.0)) throw ArgError("conf must be 0.01-1.0");
  if (!args.str("imgsz").empty()) {
    options.imgsz = args.integer("imgsz");
    if (options.imgsz < 32) throw ArgError("imgsz must be at least 32");
  }
  options.slice = slice_options(args);

  check_model(model_path.toStdString());
  const std::shared_ptr<engine::YOLO> model = load_autolabel_model(model_path);
  const Result<FolderLabelSummary> summary =
      auto_label_folder(*model, options, [](int done, int total, const QString& name) {
        if (!name.isEmpty())
          std::cerr << "[" << done << "/" << total << "] " << name.toStdString() << "\n";
      });
  if (!summary) {
    std::cerr << "orvane autolabel: " << summary.error().toStdString() << "\n";
    return 1;
  }
  std::cout << folder_summary_text(*summary).toStdString() << "\n";
  // Images that could not be labelled are reported, and the exit code says so.
  return summary->failures.isEmpty() ? 0 : 1;
}

}  // namespace orvane::cli
