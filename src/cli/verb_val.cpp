// orvane val: validates a model on a dataset split and prints the metrics table.

#include <iostream>

#include "cli/args.h"
#include "cli/classify_verbs.h"
#include "cli/preflight.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/yolo.h"
#include "plots/plots.h"
#include "training/training_defaults.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "validate a YOLO model on a dataset";

const std::vector<KeyHelp>& val_keys() {
  static const std::vector<KeyHelp> keys = with_slice_keys({
      {"model", "",
       "weights file (best.pt / last.pt of a run, or the YOLO ecosystem's .pt) or a zoo name"},
      {"data", "data.yaml", "dataset manifest; for a classifier the folder with val/<class>/"},
      {"task", "", "classify for an image classifier (found from the model otherwise)"},
      {"imgsz", default_text(training::kTrainingDefaults.imgsz),
       "image size (rounded up to a multiple of 32)"},
      {"device", training::kTrainingDefaults.device, ""},
      {"batch", default_text(training::kTrainingDefaults.batch), ""},
      {"workers", default_text(training::kTrainingDefaults.workers), "data loading threads"},
      {"split", "val", "val | test"},
      {"conf", "0.001", "confidence threshold of the NMS"},
      {"iou", "0.7", "IoU threshold of the NMS"},
      {"save", "", "folder for the charts, confusion matrices and batch pictures (empty: none)"},
      {"amp", "auto", kAmpKeyHelp},
  });
  return keys;
}

}  // namespace

int run_val(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("val", kSummary, val_keys());
    return 0;
  }
  const Args args(words, val_keys());
  if (args.str("model").empty()) throw ArgError("model= is required");
  if (is_classify_run(args)) {
    check_ranges(args, val_keys());
    if (args.str("split") != "val" && args.str("split") != "test")
      throw ArgError("split must be val or test");
    return val_classify(args);
  }
  engine::ValArgs va;
  va.data = args.str("data");
  va.device = args.str("device");
  va.batch = args.integer("batch");
  va.workers = args.integer("workers");
  va.split = args.str("split");
  if (va.split != "val" && va.split != "test") throw ArgError("split must be val or test");
  va.conf = float(args.real("conf"));
  va.iou = float(args.real("iou"));
  va.amp = checked_amp(args);
  // The values, then the data, then the weights (preflight.h).
  check_ranges(args, val_keys());
  va.slice = slice_options(args);
  if (va.batch == -1) va.batch = 16;
  engine::MemoryNeed need = engine::memory_need_of_model(args.str("model"));
  need.batch = va.batch;
  need.workers = va.workers;
  need.training = false;
  va.imgsz = checked_imgsz(args.integer("imgsz"), need, double(engine::available_memory_bytes()));
  check_data_file(va.data);
  check_model(args.str("model"));
  va.save_dir = args.str("save");
  if (!va.save_dir.empty())
    va.render_plots = [](const std::filesystem::path& dir) { plots::render_run_folder(dir); };
  try {
    engine::YOLO model(args.str("model"));
    auto result = model.val(va);
    (void)result;
  } catch (const std::exception& e) {
    std::string message = e.what();
    throw std::runtime_error(message.substr(0, message.find('\n')));
  }
  return 0;
}

}  // namespace orvane::cli
