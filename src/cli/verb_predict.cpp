// orvane predict: runs a model on an image or on every image of a folder; with save=DIR writes
// each annotated picture and a YOLO label file beside it. On a video file: the annotated video
// (same rate and frame count) and, with save_txt=true, one label file per predicted frame.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/args.h"
#include "cli/classify_verbs.h"
#include "cli/preflight.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/plotting.h"
#include "engine/yolo.h"
#include "files/atomic_file.h"
#include "training/training_defaults.h"
#include "video/video_prediction.h"
#include "video/video_source.h"

namespace orvane::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSummary = "predict with a YOLO model on an image or folder";

const std::vector<KeyHelp>& predict_keys() {
  static const std::vector<KeyHelp> keys = with_slice_keys({
      {"model", "",
       "weights (.pt, or best.onnx / best.torchscript of orvane export), or a model name"},
      {"source", "", "an image file or a folder of images"},
      {"conf", "0.25", "confidence threshold"},
      {"iou", "0.7", "IoU threshold of the NMS"},
      {"imgsz", default_text(training::kTrainingDefaults.imgsz), "inference size (rounded up to 32s; an exported model keeps its own)"},
      {"save", "", "folder for the annotated images and one label file per image"},
      {"save_txt", "false", "video: also one label file per predicted frame, <video>_<frame index>.txt"},
      {"vid_stride", "1", "video: predict every Nth frame (the others show the last prediction)"},
      {"amp", "auto", kAmpKeyHelp},
  });
  return keys;
}

int predict_video_file(const Args& args, const engine::PredictOptions& predict) {
  video::VideoPredictOptions options;
  options.predict = predict;
  options.stride = args.integer("vid_stride");
  if (options.stride < 1) throw ArgError("vid_stride= must be 1 or more");
  options.save_dir = args.str("save");
  options.save_txt = args.boolean("save_txt");
  return run_video_prediction(args.str("model"), args.str("source"), options, "predict");
}

}  // namespace

int run_predict(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("predict", kSummary, predict_keys());
    return 0;
  }
  const Args args(words, predict_keys());
  if (args.str("model").empty()) throw ArgError("model= is required");
  if (args.str("source").empty()) throw ArgError("source= is required");
  // The values first, then the files (preflight.h): nothing is read or made before they pass.
  engine::PredictOptions options;
  options.conf = float(args.real("conf"));
  options.iou = float(args.real("iou"));
  options.amp = checked_amp(args);
  check_ranges(args, predict_keys());
  options.slice = slice_options(args);
  if (is_classify_run(args)) return predict_classify(args);
  engine::MemoryNeed need = engine::memory_need_of_model(args.str("model"));
  need.batch = 1;
  need.training = false;
  options.imgsz =
      checked_imgsz(args.integer("imgsz"), need, double(engine::available_memory_bytes()));
  options.verbose = false;
  const fs::path source = args.str("source");
  if (video::is_video_file(source)) return predict_video_file(args, options);
  const std::vector<fs::path> images = source_images(source);
  std::error_code ec;
  check_model(args.str("model"));
  const fs::path save = args.str("save");
  if (!save.empty()) {
    fs::create_directories(save, ec);
    if (!fs::is_directory(save, ec)) throw std::runtime_error("cannot create " + save.string());
  }

  int done = 0, failed = 0;
  try {
    engine::YOLO model(args.str("model"));
    for (size_t i = 0; i < images.size(); ++i) {
      const auto& path = images[i];
      try {
        auto results = model.predict(path.string(), options);
        const auto& r = results.at(0);
        engine::LOGGER.info("image " + std::to_string(i + 1) + "/" + std::to_string(images.size()) +
                            " " + path.string() + ": " + std::to_string(r.orig_img.rows) + "x" +
                            std::to_string(r.orig_img.cols) + " " + r.summary() + ", " +
                            std::to_string(int(r.inference_ms + 0.5)) + "ms");
        if (!save.empty()) {
          const auto out_image = save / path.filename();
          if (!engine::write_image_file(out_image, r.plot()))
            throw engine::EngineError("cannot write " + out_image.string());
          files::write_atomically_or_throw<engine::EngineError>(
              save / path.filename().replace_extension(".txt"), r.to_label_text());
        }
        ++done;
      } catch (const engine::EngineError& e) {
        ++failed;
        engine::LOGGER.warning(std::string("skipping ") + path.string() + ": " + e.what());
      }
    }
  } catch (const std::exception& e) {
    std::string message = e.what();
    throw std::runtime_error(message.substr(0, message.find('\n')));
  }
  if (!save.empty()) engine::LOGGER.info("Results saved to " + save.string());
  if (failed > 0)
    std::cerr << "orvane predict: " << failed << " of " << images.size()
              << " images could not be read\n";
  return done > 0 ? 0 : 1;
}

}  // namespace orvane::cli
