// orvane review: runs a trained model over a labelled folder (or a split of a data.yaml) and lists
// the labels that are likely wrong, worst image first, in review.csv and a summary.

#include <QFileInfo>
#include <iostream>

#include "annotator/auto_label.h"
#include "cli/args.h"
#include "cli/preflight.h"
#include "cli/verbs.h"
#include "engine/yolo.h"
#include "files/text_file.h"
#include "review/review.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "find likely labelling mistakes with a trained model";

const std::vector<KeyHelp>& review_keys() {
  static const std::vector<KeyHelp> keys = with_slice_keys({
      {"model", "", "weights file (best.pt of a run, or the YOLO ecosystem's .pt)"},
      {"source", "", "annotator folder: images, their label files and classes.txt"},
      {"data", "", "or a dataset manifest (data.yaml), with split="},
      {"split", "val", "train | val | test (with data=)"},
      {"conf", "0.25", "confidence a prediction needs to take part, 0.01-1.0"},
      {"iou", "0.7", "IoU threshold of the NMS"},
      {"imgsz", "", "inference size; empty: the size the model was trained at"},
      {"csv", "review.csv", "where the findings are written, one row each"},
  });
  return keys;
}

}  // namespace

int run_review(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("review", kSummary, review_keys());
    std::cout << "\nfinding kinds:\n";
    for (const review::KindInfo& info : review::kind_table())
      std::cout << "  " << info.name << ": " << info.meaning << "\n";
    return 0;
  }
  const Args args(words, review_keys());
  review::ReviewOptions options;
  const QString model_path = QString::fromStdString(args.str("model")).trimmed();
  options.folder = QString::fromStdString(args.str("source")).trimmed();
  options.data_yaml = QString::fromStdString(args.str("data")).trimmed();
  options.split = QString::fromStdString(args.str("split"));
  if (model_path.isEmpty()) throw ArgError("model=PATH is required");
  if (options.folder.isEmpty() == options.data_yaml.isEmpty())
    throw ArgError("give either source=DIR or data=data.yaml");
  if (!options.folder.isEmpty() && !QFileInfo(options.folder).isDir())
    throw ArgError("source=DIR must be an existing folder");
  if (!options.data_yaml.isEmpty() && !QFileInfo(options.data_yaml).isFile())
    throw ArgError("data=" + args.str("data") + ": no such file");
  if (options.split != "train" && options.split != "val" && options.split != "test")
    throw ArgError("split must be train, val or test");
  options.conf = float(args.real("conf"));
  if (!(options.conf >= 0.01f && options.conf <= 1.0f)) throw ArgError("conf must be 0.01-1.0");
  options.iou = float(args.real("iou"));
  if (!(options.iou > 0.0f && options.iou <= 1.0f)) throw ArgError("iou must be in (0, 1]");
  if (!args.str("imgsz").empty()) {
    options.imgsz = args.integer("imgsz");
    if (options.imgsz < 32) throw ArgError("imgsz must be at least 32");
  }
  options.slice = slice_options(args);
  const QString csv_path = QString::fromStdString(args.str("csv"));
  if (csv_path.isEmpty()) throw ArgError("csv= must name a file");

  check_model(model_path.toStdString());
  const std::shared_ptr<engine::YOLO> model = load_autolabel_model(model_path);
  const Result<review::ReviewReport> reviewed =
      review::review_images(*model, options, [](int done, int total, const QString& name) {
        if (!name.isEmpty())
          std::cerr << "review: " << done << "/" << total << " " << name.toStdString() << "\n";
      });
  if (!reviewed) throw std::runtime_error(reviewed.error().toStdString());
  const review::ReviewReport& report = *reviewed;
  const Result<> written = write_file_atomic(csv_path, review::csv_text(report));
  if (!written) throw std::runtime_error(written.error().toStdString());
  std::cout << review::summary_text(report).toStdString() << "\n"
            << "Findings written to " << csv_path.toStdString() << "\n";
  return 0;
}

}  // namespace orvane::cli
