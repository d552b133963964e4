// orvane train: trains a YOLO model headless. Besides the console text it can write machine-
// readable progress as JSON lines (progress=FILE or progress=fd:N) and stops gracefully on
// SIGINT/SIGTERM: the current batch ends, last.pt is saved, the verb exits 0 as "stopped".

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "cli/args.h"
#include "cli/progress_channel.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/train_args.h"
#include "engine/yolo.h"
#include "plots/plots.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "train a YOLO model";

std::atomic<bool> g_stop_requested{false};

extern "C" void on_stop_signal(int sig) {
  // First signal: graceful stop after the current batch; a second one ends the process.
  if (g_stop_requested.exchange(true)) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

const std::vector<KeySpec>& train_keys() {
  static const std::vector<KeySpec> keys = [] {
    // The keys people use, with the training tab's defaults, then every other training option
    // with the engine's default.
    std::vector<KeySpec> k{
        {"model", "yolov8s.pt", "weights file, or a model name (yolov8n.pt ... yolov8x-seg.pt)"},
        {"data", "data.yaml", "dataset manifest"},
        {"epochs", "100", ""},
        {"imgsz", "640", "training image size (rounded up to a multiple of 32)"},
        {"batch", "16", "images per batch; -1 chooses 16 on the CPU"},
        {"workers", "4", "data loading threads"},
        {"optimizer", "auto", "SGD | Adam | AdamW | auto"},
        {"lr0", "0.01", "initial learning rate"},
        {"lrf", "0.01", "final learning rate as a fraction of lr0"},
        {"close_mosaic", "10", "turn mosaic off for the last N epochs"},
        {"device", "cpu", ""},
        {"project", "runs/detect", "parent folder of the run folder"},
        {"name", "tavrix_yolo_run", "run folder name (name2, name3 ... if it exists)"},
        {"exist_ok", "false", "reuse project/name when it exists"},
        {"seed", "0", "random seed: the same seed repeats a run"},
        {"progress", "", "JSON-lines progress: a file path or fd:N (e.g. fd:3)"},
    };
    std::set<std::string> have;
    for (const auto& s : k) have.insert(s.key);
    for (const auto& [key, value] : engine::train_args_list(engine::TrainOptions{}))
      if (!have.count(key)) k.push_back({key, value, ""});
    return k;
  }();
  return keys;
}

}  // namespace

int run_train(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("train", kSummary, train_keys())
              << "\nProgress lines (progress=): {\"event\": \"start\" | \"batch\" | \"epoch\" | "
                 "\"finished\" | \"stopped\" | \"error\", ...}; see src/engine/README.md.\n"
                 "SIGINT/SIGTERM stop after the current batch (a second signal ends at once).\n";
    return 0;
  }
  const Args args(words, train_keys());
  engine::TrainOptions options;
  for (const auto& key_info : train_keys()) {
    if (key_info.key == "model" || key_info.key == "progress") continue;
    try {
      engine::set_train_arg(options, key_info.key, args.str(key_info.key));
    } catch (const engine::EngineError& e) {
      throw ArgError(e.what());
    }
  }

  std::unique_ptr<ProgressChannel> channel;
  if (!args.str("progress").empty()) channel = std::make_unique<ProgressChannel>(args.str("progress"));

  g_stop_requested = false;
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);

  options.render_plots = [](const std::filesystem::path& dir) { plots::render_run_folder(dir); };
  try {
    engine::YOLO model(args.str("model"));
    model.add_callback("on_train_start", [&](engine::Trainer& t) {
      if (channel)
        channel->write(JsonObject()
                           .add("event", "start")
                           .add("save_dir", t.save_dir.string())
                           .add("epochs", t.epochs)
                           .add("batches", t.batches));
    });
    model.add_callback("on_train_batch_end", [&](engine::Trainer& t) {
      if (g_stop_requested) t.stop = true;
      if (channel) {
        JsonObject losses;
        for (size_t i = 0; i < t.tloss.size(); ++i) losses.add(t.loss_names[i], t.tloss[i]);
        channel->write(JsonObject()
                           .add("event", "batch")
                           .add("epoch", t.epoch + 1)
                           .add("epochs", t.epochs)
                           .add("batch", t.batch_index + 1)
                           .add("batches", t.batches)
                           .add_raw("losses", losses.str()));
      }
    });
    model.add_callback("on_fit_epoch_end", [&](engine::Trainer& t) {
      if (g_stop_requested) t.stop = true;
      if (channel) {
        JsonObject metrics;
        for (size_t i = 0; i < t.tloss.size(); ++i)
          metrics.add("train/" + t.loss_names[i], t.tloss[i]);
        for (const auto& [k, v] : t.metrics) metrics.add(k, v);
        for (const auto& [k, v] : t.lr) metrics.add(k, v);
        channel->write(JsonObject()
                           .add("event", "epoch")
                           .add("epoch", t.epoch + 1)
                           .add("epochs", t.epochs)
                           .add("time", t.epoch_time)
                           .add("fitness", t.fitness)
                           .add_raw("metrics", metrics.str()));
      }
    });
    auto result = model.train(options);
    if (result.stopped) {
      std::cerr << "orvane train: stopped; weights saved in " << (result.save_dir / "weights").string()
                << "\n";
      if (channel)
        channel->write(JsonObject()
                           .add("event", "stopped")
                           .add("save_dir", result.save_dir.string())
                           .add("epochs_completed", result.epochs_completed));
    } else if (channel) {
      JsonObject metrics;
      if (result.metrics)
        for (const auto& [k, v] : result.metrics->metrics()) metrics.add(k, v);
      channel->write(JsonObject()
                         .add("event", "finished")
                         .add("save_dir", result.save_dir.string())
                         .add_raw("metrics", metrics.str()));
    }
  } catch (const std::exception& e) {
    std::string message = e.what();
    message = message.substr(0, message.find('\n'));
    if (channel) channel->write(JsonObject().add("event", "error").add("message", message));
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    // LibTorch errors carry a backtrace after the first line; the user gets the first line.
    throw std::runtime_error(message);
  }
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return 0;
}

}  // namespace orvane::cli
