#include "cli/classify_verbs.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "cli/args.h"
#include "cli/preflight.h"
#include "cli/progress_channel.h"
#include "cli/stop_signals.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/export/exported_model.h"
#include "engine/logger.h"
#include "engine/precision.h"
#include "engine/tasks/classify/classify_run.h"
#include "engine/train_options.h"

namespace orvane::cli {

namespace fs = std::filesystem;
namespace cls = engine::classify;

bool is_classify_run(const Args& args) {
  const std::string task = args.has("task") ? args.str("task") : "";
  if (task == "classify") return true;
  const bool classifier = !args.str("model").empty() && cls::is_classifier(args.str("model"));
  if (!task.empty() && classifier)
    throw ArgError("task=" + task + " but model=" + args.str("model") + " is a classifier");
  return classifier;
}

namespace {

// The model of a run: model= when given, else yolov8n-cls fresh weights.
std::string model_name(const Args& args) {
  return args.str("model").empty() ? "yolov8n-cls.yaml" : args.str("model");
}

void write_json(ProgressChannel* channel, const JsonObject& object) {
  if (channel) channel->write(object);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string metrics_json(const cls::ClassifyMetrics& m) {
  return JsonObject()
      .add("metrics/accuracy_top1", m.top1)
      .add("metrics/accuracy_top5", m.top5)
      .add("val/loss", m.loss)
      .str();
}

}  // namespace

int train_classify(const Args& args, engine::TrainOptions options) {
  auto given = [&](const std::string& key) { return args.has(key); };
  if (!given("imgsz")) options.imgsz = 224;
  if (!given("project")) options.project = "runs/classify";
  if (options.nproc > 1) throw ArgError("nproc= is not available for classifiers yet");
  if (options.resume) throw ArgError("resume= is not available for classifiers yet");
  std::unique_ptr<ProgressChannel> channel;
  if (!args.str("progress").empty())
    channel = std::make_unique<ProgressChannel>(args.str("progress"));
  const GracefulStop stop;
  try {
    // The class names come from the data: a fresh model gets as many outputs as it has folders.
    const auto data = cls::scan_classify_data(options.data);
    auto loaded = cls::open_classifier(model_name(args), data.names);
    cls::ClassifyCallbacks callbacks;
    callbacks.stop_requested = [&stop] { return stop.requested(); };
    callbacks.on_start = [&](const fs::path& dir, int epochs, int batches) {
      write_json(channel.get(), JsonObject()
                                    .add("event", "start")
                                    .add("save_dir", dir.string())
                                    .add("epochs", epochs)
                                    .add("batches", batches)
                                    .add("start_epoch", 0)
                                    .add_raw("resumed", "false"));
    };
    callbacks.on_batch_end = [&](int epoch, int batch, int batches, double loss) {
      write_json(channel.get(), JsonObject()
                                    .add("event", "batch")
                                    .add("epoch", epoch + 1)
                                    .add("epochs", options.epochs)
                                    .add("batch", batch + 1)
                                    .add("batches", batches)
                                    .add_raw("losses", JsonObject().add("loss", loss).str()));
    };
    callbacks.on_epoch_end = [&](const cls::ClassifyEpoch& e) {
      JsonObject metrics;
      metrics.add("train/loss", e.train_loss)
          .add("metrics/accuracy_top1", e.val.top1)
          .add("metrics/accuracy_top5", e.val.top5)
          .add("val/loss", e.val.loss)
          .add("lr/pg0", e.lr);
      write_json(channel.get(), JsonObject()
                                    .add("event", "epoch")
                                    .add("epoch", e.epoch + 1)
                                    .add("epochs", e.epochs)
                                    .add("time", e.seconds)
                                    .add("fitness", e.val.fitness())
                                    .add_raw("metrics", metrics.str()));
    };
    const auto result = cls::train_classifier(loaded.model, options, callbacks);
    if (result.stopped) {
      std::cerr << "orvane train: stopped; weights saved in "
                << (result.save_dir / "weights").string() << "\n";
      write_json(channel.get(), JsonObject()
                                    .add("event", "stopped")
                                    .add("save_dir", result.save_dir.string())
                                    .add("epochs_completed", result.epochs_completed));
      return 0;
    }
    std::ostringstream line;
    line << std::fixed << std::setprecision(3) << "top1 " << result.metrics.top1 << " top5 "
         << result.metrics.top5 << " (best.pt, " << result.metrics.images << " images); results in "
         << result.save_dir.string();
    engine::LOGGER.info(line.str());
    write_json(channel.get(), JsonObject()
                                  .add("event", "finished")
                                  .add("save_dir", result.save_dir.string())
                                  .add_raw("metrics", metrics_json(result.metrics)));
  } catch (const std::exception& e) {
    const std::string message = first_line(e.what());
    if (channel) channel->write(JsonObject().add("event", "error").add("message", message));
    throw std::runtime_error(message);
  }
  return 0;
}

int val_classify(const Args& args) {
  const std::string split = args.str("split");
  if (engine::ExportedModel::is_exported_path(args.str("model")))
    throw std::runtime_error(args.str("model") + " is an exported model that can only predict; " +
                             "validate the .pt checkpoint it came from");
  try {
    auto loaded = cls::load_classifier(args.str("model"));
    std::vector<std::string> warnings;
    const auto samples = cls::scan_split(args.str("data"), split, loaded.meta.names, &warnings);
    for (const auto& w : warnings) engine::LOGGER.warning(w);
    if (samples.empty())
      throw engine::EngineError(args.str("data") + " has no image of the model's classes in " +
                                split + "/<class>/");
    const int imgsz = args.has("imgsz") ? args.integer("imgsz") : loaded.meta.imgsz;
    const bool amp = engine::resolve_amp(checked_amp(args), engine::AmpUse::predict);
    const auto m = cls::validate_classifier(loaded.model, samples, (imgsz + 31) / 32 * 32,
                                            std::max(1, args.integer("batch")), amp);
    std::ostringstream line;
    line << std::fixed << std::setprecision(3) << "all " << m.images << " images: top1 " << m.top1
         << " top5 " << m.top5 << " loss " << m.loss;
    engine::LOGGER.info(line.str());
  } catch (const std::exception& e) {
    throw std::runtime_error(first_line(e.what()));
  }
  return 0;
}

int predict_classify(const Args& args) {
  if (!args.str("slice").empty())
    throw ArgError("slice= is for finding small objects; a classifier ranks the whole image");
  const fs::path source = args.str("source");
  const std::vector<fs::path> images = source_images(source);
  const fs::path model = args.str("model");
  int done = 0;
  try {
    // A checkpoint runs at imgsz (its training size unless given); an export at its own size.
    std::unique_ptr<engine::ExportedModel> exported;
    cls::LoadedClassifier loaded;
    if (engine::ExportedModel::is_exported_path(model))
      exported = engine::ExportedModel::load(model);
    else
      loaded = cls::load_classifier(model);
    const std::vector<std::string>& names = exported ? exported->names() : loaded.meta.names;
    const int imgsz = args.has("imgsz") ? args.integer("imgsz") : loaded.meta.imgsz;
    const bool amp = engine::resolve_amp(checked_amp(args), engine::AmpUse::predict);
    for (const auto& path : images) {
      const cv::Mat bgr = cv::imread(path.string(), cv::IMREAD_COLOR);
      if (bgr.empty()) {
        engine::LOGGER.warning("skipping " + path.string() + ": does not decode");
        continue;
      }
      std::ostringstream line;
      line << path.string() << ":" << std::fixed << std::setprecision(2);
      const auto top = exported ? cls::predict_classifier(*exported, bgr)
                                : cls::predict_classifier(loaded.model, bgr, imgsz, 5, amp);
      for (const auto& [id, p] : top) line << " " << names[size_t(id)] << " " << p;
      std::cout << line.str() << "\n";
      ++done;
    }
  } catch (const std::exception& e) {
    throw std::runtime_error(first_line(e.what()));
  }
  return done > 0 ? 0 : 1;
}

}  // namespace orvane::cli
