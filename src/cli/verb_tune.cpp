// orvane tune: genetic hyperparameter search. Each iteration trains with mutated
// hyperparameters; tune_results.csv, best_hyperparameters.yaml and tune_fitness.png in
// project/name are rewritten after every iteration. SIGINT/SIGTERM stop after the current batch
// (the unfinished iteration is not scored; the files of the finished ones stay whole).

#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "cli/args.h"
#include "cli/progress_channel.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/train_args.h"
#include "engine/yolo.h"
#include "plots/plots.h"
#include "training/training_defaults.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "search training hyperparameters (genetic tuning)";

std::atomic<bool> g_tune_stop{false};

extern "C" void on_tune_stop_signal(int sig) {
  // First signal: graceful stop after the current batch; a second one ends the process.
  if (g_tune_stop.exchange(true)) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

const std::vector<KeySpec>& tune_keys() {
  static const std::vector<KeySpec> keys = [] {
    const training::TrainingDefaults d = training::kTrainingDefaults;
    std::vector<KeySpec> k{
        {"model", d.model,
         "weights file (ours or the YOLO ecosystem's .pt); a zoo name (yolov8n.pt ... "
         "yolov8x-seg.pt, "
         "yolo11n.pt ... yolo11x-seg.pt): pretrained, downloaded when missing; NAME.yaml: fresh "
         "weights"},
        {"data", d.data, "dataset manifest"},
        {"epochs", "10", "training epochs of each iteration"},
        {"iterations", "5", "trials of the search (the first uses the given values)"},
        {"optimizer", d.optimizer, "SGD | Adam | AdamW | auto (auto is resolved once, then tuned)"},
        {"project", d.project, "parent folder of the tune folder"},
        {"name", "tune", "tune folder name (name2, name3 ... if it exists)"},
        {"exist_ok", "false", "reuse project/name when it exists"},
        {"imgsz", default_text(d.imgsz), "training image size (rounded up to a multiple of 32)"},
        {"batch", default_text(d.batch), "images per batch; -1 chooses 16 on the CPU"},
        {"workers", default_text(d.workers), "data loading threads"},
        {"device", d.device, ""},
        {"seed", "0", "random seed of training and of the search: the same seed repeats it"},
        {"plots", "false", "draw each iteration's training charts"},
        {"save", "false", "keep every iteration's weights (otherwise only the best's)"},
        {"progress", "", "JSON-lines progress: a file path or fd:N (e.g. fd:3)"},
    };
    // Every other training option: its value is where the search starts (or stays, for
    // options outside the search space).
    std::set<std::string> have;
    for (const auto& s : k) have.insert(s.key);
    for (const auto& [key, value] : engine::train_args_list(engine::TrainOptions{}))
      if (!have.count(key) && key != "resume" && key != "val") k.push_back({key, value, ""});
    return k;
  }();
  return keys;
}

}  // namespace

int run_tune(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("tune", kSummary, tune_keys()) << "\nSearched: ";
    std::string sep;
    for (const auto& d : engine::default_tune_space()) {
      std::cout << sep << d.key << " [" << d.lower << ", " << d.upper << "]";
      sep = ", ";
    }
    std::cout << "\nProgress lines (progress=): {\"event\": \"start\" | \"iteration\" | "
                 "\"finished\" | \"stopped\" | \"error\", ...}.\n"
                 "SIGINT/SIGTERM stop after the current batch (a second signal ends at once).\n";
    return 0;
  }
  const Args args(words, tune_keys());
  engine::TuneOptions options;
  options.iterations = args.integer("iterations");
  if (options.iterations < 1) throw ArgError("iterations must be at least 1");
  options.save = args.boolean("save");
  options.plots = args.boolean("plots");
  for (const auto& key_info : tune_keys()) {
    const auto& key = key_info.key;
    if (key == "model" || key == "progress" || key == "iterations" || key == "save" ||
        key == "plots")
      continue;
    try {
      engine::set_train_arg(options.train, key, args.str(key));
    } catch (const engine::EngineError& e) {
      throw ArgError(e.what());
    }
  }
  if (options.train.epochs < 1) throw ArgError("epochs must be at least 1");

  std::unique_ptr<ProgressChannel> channel;
  if (!args.str("progress").empty())
    channel = std::make_unique<ProgressChannel>(args.str("progress"));

  g_tune_stop = false;
  std::signal(SIGINT, on_tune_stop_signal);
  std::signal(SIGTERM, on_tune_stop_signal);
  auto restore_signals = [] {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  };

  options.render_plots = [](const std::filesystem::path& dir) {
    plots::render_tune_fitness(dir / "tune_results.csv", dir / "tune_fitness.png");
  };
  if (options.plots)
    options.train.render_plots = [](const std::filesystem::path& dir) {
      plots::render_run_folder(dir);
    };
  options.stop_requested = [] { return g_tune_stop.load(); };
  bool started = false;
  options.on_iteration = [&](const engine::TuneIteration& it, const engine::TuneIteration& best) {
    if (!channel) return;
    JsonObject values;
    for (const auto& [k, v] : it.values) values.add(k, v);
    channel->write(JsonObject()
                       .add("event", "iteration")
                       .add("iteration", it.index)
                       .add("iterations", options.iterations)
                       .add("fitness", it.fitness)
                       .add("best_iteration", best.index)
                       .add("best_fitness", best.fitness)
                       .add_raw("hyperparameters", values.str()));
  };
  try {
    engine::YOLO model(args.str("model"));
    model.add_callback("on_train_start", [&](engine::Trainer& t) {
      if (channel && !started)
        channel->write(JsonObject()
                           .add("event", "start")
                           .add("save_dir", t.save_dir.parent_path().string())
                           .add("iterations", options.iterations)
                           .add("epochs", t.epochs));
      started = true;
    });
    model.add_callback("on_train_batch_end", [](engine::Trainer& t) {
      if (g_tune_stop) t.stop = true;
    });
    model.add_callback("on_fit_epoch_end", [](engine::Trainer& t) {
      if (g_tune_stop) t.stop = true;
    });
    auto result = model.tune(options);
    const auto yaml = result.save_dir / "best_hyperparameters.yaml";
    if (result.stopped) {
      std::cerr << "orvane tune: stopped after " << result.iterations.size()
                << " finished iteration" << (result.iterations.size() == 1 ? "" : "s")
                << "; results in " << result.save_dir.string() << "\n";
      if (channel)
        channel->write(JsonObject()
                           .add("event", "stopped")
                           .add("save_dir", result.save_dir.string())
                           .add("iterations_completed", int(result.iterations.size())));
    } else if (channel) {
      channel->write(JsonObject()
                         .add("event", "finished")
                         .add("save_dir", result.save_dir.string())
                         .add("best_hyperparameters", yaml.string())
                         .add("best_fitness", result.iterations[result.best].fitness));
    }
  } catch (const std::exception& e) {
    std::string message = e.what();
    message = message.substr(0, message.find('\n'));
    if (channel) channel->write(JsonObject().add("event", "error").add("message", message));
    restore_signals();
    // LibTorch errors carry a backtrace after the first line; the user gets the first line.
    throw std::runtime_error(message);
  }
  restore_signals();
  return 0;
}

}  // namespace orvane::cli
