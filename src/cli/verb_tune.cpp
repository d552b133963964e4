// orvane tune: genetic hyperparameter search. Each iteration trains with mutated
// hyperparameters; tune_results.csv, best_hyperparameters.yaml and tune_fitness.png in
// project/name are rewritten after every iteration. SIGINT/SIGTERM stop after the current batch
// (the unfinished iteration is not scored; the files of the finished ones stay whole).

#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "cli/args.h"
#include "cli/preflight.h"
#include "cli/progress_channel.h"
#include "cli/stop_signals.h"
#include "cli/verbs.h"
#include "engine/error.h"
#include "engine/train_args.h"
#include "engine/yolo.h"
#include "plots/plots.h"
#include "training/training_defaults.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "search training hyperparameters (genetic tuning)";

const std::vector<KeyHelp>& tune_keys() {
  static const std::vector<KeyHelp> keys = [] {
    const training::TrainingDefaults d = training::kTrainingDefaults;
    std::vector<KeyHelp> k{
        {"model", d.model, kModelKeyHelp},
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

void print_help() {
  std::cout << format_help("tune", kSummary, tune_keys()) << "\nSearched: ";
  std::string sep;
  for (const auto& d : engine::default_tune_space()) {
    std::cout << sep << d.key << " [" << d.lower << ", " << d.upper << "]";
    sep = ", ";
  }
  std::cout << "\nProgress lines (progress=): {\"event\": \"start\" | \"iteration\" | "
               "\"finished\" | \"stopped\" | \"error\", ...}.\n"
               "SIGINT/SIGTERM stop after the current batch (a second signal ends at once).\n";
}

engine::TuneOptions parse_options(const Args& args) {
  engine::TuneOptions options;
  options.iterations = args.integer("iterations");
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
  options.render_plots = [](const std::filesystem::path& dir) {
    plots::render_tune_fitness(dir / "tune_results.csv", dir / "tune_fitness.png");
  };
  if (options.plots)
    options.train.render_plots = [](const std::filesystem::path& dir) {
      plots::render_run_folder(dir);
    };
  return options;
}

void report_iteration(ProgressChannel& channel, int iterations, const engine::TuneIteration& it,
                      const engine::TuneIteration& best) {
  JsonObject values;
  for (const auto& [k, v] : it.values) values.add(k, v);
  channel.write(JsonObject()
                    .add("event", "iteration")
                    .add("iteration", it.index)
                    .add("iterations", iterations)
                    .add("fitness", it.fitness)
                    .add("best_iteration", best.index)
                    .add("best_fitness", best.fitness)
                    .add_raw("hyperparameters", values.str()));
}

// The channel's start line (once, for the first trial) and the stop request handed to each
// trial's trainer.
void add_trial_callbacks(engine::YOLO& model, ProgressChannel* channel, int iterations,
                         const GracefulStop& stop) {
  // Each trial's trainer gets its own copy of the callback: the flag is shared, not copied.
  auto started = std::make_shared<bool>(false);
  model.add_callback("on_train_start", [channel, iterations, started](engine::Trainer& t) {
    if (channel && !*started)
      channel->write(JsonObject()
                         .add("event", "start")
                         .add("save_dir", t.save_dir.parent_path().string())
                         .add("iterations", iterations)
                         .add("epochs", t.epochs));
    *started = true;
  });
  model.add_callback("on_train_batch_end", [&stop](engine::Trainer& t) {
    if (stop.requested()) t.stop = true;
  });
  model.add_callback("on_fit_epoch_end", [&stop](engine::Trainer& t) {
    if (stop.requested()) t.stop = true;
  });
}

void report_result(const engine::TuneResult& result, ProgressChannel* channel) {
  if (result.stopped) {
    std::cerr << "orvane tune: stopped after " << result.iterations.size()
              << " finished iteration" << (result.iterations.size() == 1 ? "" : "s")
              << "; results in " << result.save_dir.string() << "\n";
    if (channel)
      channel->write(JsonObject()
                         .add("event", "stopped")
                         .add("save_dir", result.save_dir.string())
                         .add("iterations_completed", int(result.iterations.size())));
    return;
  }
  if (channel)
    channel->write(JsonObject()
                       .add("event", "finished")
                       .add("save_dir", result.save_dir.string())
                       .add("best_hyperparameters",
                            (result.save_dir / "best_hyperparameters.yaml").string())
                       .add("best_fitness", result.iterations[result.best].fitness));
}

}  // namespace

int run_tune(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    print_help();
    return 0;
  }
  const Args args(words, tune_keys());
  engine::TuneOptions options;
  std::unique_ptr<ProgressChannel> channel;
  try {
    options = parse_options(args);
    options.train.imgsz = check_training_run(args, tune_keys(), options.train);
  } catch (const std::exception& e) {
    // The studio reads why a run ended from the progress channel, whenever it ended.
    if (!args.str("progress").empty())
      ProgressChannel(args.str("progress")).write_error(e.what());
    throw;
  }
  if (!args.str("progress").empty())
    channel = std::make_unique<ProgressChannel>(args.str("progress"));
  const GracefulStop stop;
  options.stop_requested = [&stop] { return stop.requested(); };
  if (channel)
    options.on_iteration = [&channel, iterations = options.iterations](
                               const engine::TuneIteration& it, const engine::TuneIteration& best) {
      report_iteration(*channel, iterations, it, best);
    };
  try {
    engine::YOLO model(args.str("model"));
    add_trial_callbacks(model, channel.get(), options.iterations, stop);
    report_result(model.tune(options), channel.get());
  } catch (const std::exception& e) {
    // LibTorch errors carry a backtrace after the first line; the user gets the first line.
    std::string message = e.what();
    message = message.substr(0, message.find('\n'));
    if (channel) channel->write_error(message);
    throw std::runtime_error(message);
  }
  return 0;
}

}  // namespace orvane::cli
