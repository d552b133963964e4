// orvane train: trains a YOLO model headless. Besides the console text it can write machine-
// readable progress as JSON lines (progress=FILE or progress=fd:N) and stops gracefully on
// SIGINT/SIGTERM: the current batch ends, last.pt is saved, the verb exits 0 as "stopped".
//
// Data-parallel: under torchrun's RANK/WORLD_SIZE/MASTER_ADDR/MASTER_PORT the process is one
// rank of a group (engine/distributed.h); with nproc=N it starts N local ranks of itself
// (cli/rank_launcher.h).

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "cli/args.h"
#include "cli/classify_verbs.h"
#include "cli/preflight.h"
#include "cli/progress_channel.h"
#include "cli/rank_launcher.h"
#include "cli/stop_signals.h"
#include "cli/verbs.h"
#include "engine/distributed.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/precision.h"
#include "engine/train_args.h"
#include "engine/yolo.h"
#include "plots/plots.h"
#include "training/training_defaults.h"

namespace orvane::cli {

const char* const kModelKeyHelp =
    "weights file (ours or the YOLO ecosystem's .pt); a zoo name (yolov8n.pt ... yolov8x-seg.pt, "
    "yolo11n.pt ... yolo11x-seg.pt): pretrained, downloaded when missing; NAME.yaml: fresh "
    "weights";

const char* const kAmpKeyHelp =
    "true | false | auto: bfloat16 convolutions; auto: where the processor has native bfloat16 "
    "and it measured faster";

std::string checked_amp(const Args& args) {
  const std::string amp = args.str("amp");
  try {
    engine::check_amp_text(amp);
  } catch (const engine::EngineError& e) {
    throw ArgError(e.what());
  }
  return amp;
}

namespace {

constexpr const char* kSummary = "train a YOLO model";

const std::vector<KeyHelp>& train_keys() {
  static const std::vector<KeyHelp> keys = [] {
    // The keys people use, with the training tab's defaults, then every other training option
    // with the engine's default.
    const training::TrainingDefaults d = training::kTrainingDefaults;
    std::vector<KeyHelp> k{
        {"model", d.model, kModelKeyHelp},
        {"data", d.data, "dataset manifest; for a classifier the folder with train/<class>/"},
        {"task", "", "classify trains an image classifier (a -cls model implies it)"},
        {"epochs", default_text(d.epochs), ""},
        {"imgsz", default_text(d.imgsz), "training image size (rounded up to a multiple of 32)"},
        {"batch", default_text(d.batch), "images per batch; -1 chooses 16 on the CPU"},
        {"workers", default_text(d.workers), "data loading threads"},
        {"optimizer", d.optimizer, "SGD | Adam | AdamW | auto"},
        {"lr0", default_text(d.lr0), "initial learning rate"},
        {"lrf", default_text(d.lrf), "final learning rate as a fraction of lr0"},
        {"close_mosaic", default_text(d.close_mosaic), "turn mosaic off for the last N epochs"},
        {"device", d.device, ""},
        {"project", d.project, "parent folder of the run folder"},
        {"name", d.name, "run folder name (name2, name3 ... if it exists)"},
        {"exist_ok", "false", "reuse project/name when it exists"},
        {"seed", "0", "random seed: the same seed repeats a run"},
        {"progress", "", "JSON-lines progress: a file path or fd:N (e.g. fd:3)"},
        {"resume", "false",
         "true (with model=RUN/weights/last.pt) or the last.pt or run folder to continue"},
        {"save_period", "-1", "N > 0: keep weights/epochN.pt every N epochs"},
        {"amp", "auto", kAmpKeyHelp},
    };
    std::set<std::string> have;
    for (const auto& s : k) have.insert(s.key);
    for (const auto& [key, value] : engine::train_args_list(engine::TrainOptions{}))
      if (!have.count(key)) k.push_back({key, value, ""});
    return k;
  }();
  return keys;
}

void print_help() {
  std::cout << format_help("train", kSummary, train_keys())
            << "\nProgress lines (progress=), one JSON object each: {\"event\": \"download\" | "
               "\"start\" | \"batch\" | \"epoch\", ...}, then exactly one of \"finished\", "
               "\"stopped\" or \"error\".\n"
               "SIGINT/SIGTERM stop after the current batch (a second signal ends at once).\n";
}

// The last.pt a resume continues, or "" without resume. resume=PATH names it (a run folder
// stands for its weights/last.pt); resume=true takes model=.
std::string resume_path(const Args& args) {
  const std::string value = args.str("resume");
  if (value.empty() || value == "false" || value == "False" || value == "0") return "";
  if (value == "true" || value == "True" || value == "1") {
    if (!args.has("model"))
      throw ArgError("resume=true needs model=RUN/weights/last.pt (or give resume=RUN/weights/last.pt)");
    return args.str("model");
  }
  std::filesystem::path path(value);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) path /= std::filesystem::path("weights") / "last.pt";
  if (args.has("model") && args.str("model") != value && args.str("model") != path.string())
    throw ArgError("resume=" + value + " and model=" + args.str("model") +
                   " name two different runs; give one");
  return path.string();
}

engine::TrainOptions parse_options(const Args& args) {
  engine::TrainOptions options;
  for (const auto& key_info : train_keys()) {
    if (key_info.key == "model" || key_info.key == "progress" || key_info.key == "resume" ||
        key_info.key == "task")
      continue;
    try {
      engine::set_train_arg(options, key_info.key, args.str(key_info.key));
    } catch (const engine::EngineError& e) {
      throw ArgError(e.what());
    }
  }
  options.resume = !resume_path(args).empty();
  for (const auto& key_info : train_keys())
    if (args.has(key_info.key)) options.given_keys.push_back(key_info.key);
  return options;
}

// The same words with `key` set to `value`: the ranks a launcher starts get the values this
// process settled, so they do not say again what it already said.
std::vector<std::string> with_value(std::vector<std::string> words, const std::string& key,
                                    const std::string& value) {
  for (std::string& w : words)
    if (w.rfind(key + "=", 0) == 0) w = key + "=" + value;
  return words;
}

std::optional<engine::DistributedEnv> distributed_env() {
  try {
    return engine::distributed_env_from_environment();
  } catch (const engine::EngineError& e) {
    throw ArgError(e.what());
  }
}

LocalRanks local_ranks(const engine::TrainOptions& options) {
  const int threads = options.threads > 0 ? options.threads
                                          : std::max(1, engine::default_threads() / options.nproc);
  return {options.nproc, threads, options.dist_timeout};
}

// One console for the run: rank 0's. The others say only what goes wrong, marked.
void quiet_console_of_rank(int rank) {
  engine::LOGGER.set_console(false);
  engine::LOGGER.add_handler([rank](const engine::LogRecord& r) {
    if (r.level == engine::LogLevel::warning || r.level == engine::LogLevel::error)
      std::cerr << "[rank " << rank << "] " << r.message << "\n";
  });
}

// A zoo file being downloaded shows in the console line and, for the studio's progress bar, on
// the channel: one update per percent. Returning false cancels the download.
engine::ZooOptions zoo_progress(const std::string& model_name, ProgressChannel* channel,
                                const GracefulStop& stop) {
  engine::ZooOptions zoo;
  // Shared, not copied with the function: one line per percent however the engine passes it on.
  auto shown_percent = std::make_shared<int>(-1);
  zoo.progress = [model_name, channel, &stop, shown_percent](const engine::DownloadProgress& p) {
    const int percent = p.total > 0 ? int(100 * p.received / p.total) : int(p.received >> 20);
    if (percent == *shown_percent) return !stop.requested();
    *shown_percent = percent;
    engine::LOGGER.progress(model_name + ": " + engine::progress_text(p));
    if (channel)
      channel->write(JsonObject()
                         .add("event", "download")
                         .add("file", model_name)
                         .add("received", double(p.received))
                         .add("total", double(p.total))
                         .add("seconds", p.seconds));
    return !stop.requested();
  };
  return zoo;
}

// The channel's start, batch and epoch lines, and the stop request handed to the trainer.
void add_progress_callbacks(engine::YOLO& model, ProgressChannel* channel,
                            const GracefulStop& stop) {
  model.add_callback("on_train_start", [channel](engine::Trainer& t) {
    if (channel)
      channel->write(JsonObject()
                         .add("event", "start")
                         .add("save_dir", t.save_dir.string())
                         .add("epochs", t.epochs)
                         .add("batches", t.batches)
                         .add("start_epoch", t.start_epoch)
                         .add_raw("resumed", t.options().resume ? "true" : "false"));
  });
  model.add_callback("on_train_batch_end", [channel, &stop](engine::Trainer& t) {
    if (stop.requested()) t.stop = true;
    if (!channel) return;
    JsonObject losses;
    for (size_t i = 0; i < t.tloss.size(); ++i) losses.add(t.loss_names[i], t.tloss[i]);
    channel->write(JsonObject()
                       .add("event", "batch")
                       .add("epoch", t.epoch + 1)
                       .add("epochs", t.epochs)
                       .add("batch", t.batch_index + 1)
                       .add("batches", t.batches)
                       .add_raw("losses", losses.str()));
  });
  model.add_callback("on_fit_epoch_end", [channel, &stop](engine::Trainer& t) {
    if (stop.requested()) t.stop = true;
    if (!channel) return;
    JsonObject metrics;
    for (size_t i = 0; i < t.tloss.size(); ++i) metrics.add("train/" + t.loss_names[i], t.tloss[i]);
    for (const auto& [k, v] : t.metrics) metrics.add(k, v);
    for (const auto& [k, v] : t.lr) metrics.add(k, v);
    channel->write(JsonObject()
                       .add("event", "epoch")
                       .add("epoch", t.epoch + 1)
                       .add("epochs", t.epochs)
                       .add("time", t.epoch_time)
                       .add("fitness", t.fitness)
                       .add_raw("metrics", metrics.str()));
  });
}

void report_result(const engine::TrainResult& result, ProgressChannel* channel) {
  if (result.already_finished) {
    std::cerr << "orvane train: " << result.save_dir.string()
              << " already finished; nothing to resume\n";
    if (channel)
      channel->write(JsonObject()
                         .add("event", "finished")
                         .add("save_dir", result.save_dir.string())
                         .add_raw("already_finished", "true"));
    return;
  }
  if (result.stopped) {
    std::cerr << "orvane train: stopped; weights saved in "
              << (result.save_dir / "weights").string() << "\n";
    if (channel)
      channel->write(JsonObject()
                         .add("event", "stopped")
                         .add("save_dir", result.save_dir.string())
                         .add("epochs_completed", result.epochs_completed));
    return;
  }
  if (!channel) return;
  JsonObject metrics;
  if (result.metrics)
    for (const auto& [k, v] : result.metrics->metrics()) metrics.add(k, v);
  channel->write(JsonObject()
                     .add("event", "finished")
                     .add("save_dir", result.save_dir.string())
                     .add_raw("metrics", metrics.str()));
}

// This process's part of the run: alone, or one rank of a group.
void train_here(const Args& args, engine::TrainOptions options,
                const std::optional<engine::DistributedEnv>& dist_env) {
  const int rank = dist_env ? dist_env->rank : 0;
  const bool main_rank = rank == 0;
  if (!main_rank) quiet_console_of_rank(rank);
  std::unique_ptr<ProgressChannel> channel;
  if (!args.str("progress").empty() && main_rank)
    channel = std::make_unique<ProgressChannel>(args.str("progress"));
  const GracefulStop stop;

  options.render_plots = [](const std::filesystem::path& dir) { plots::render_run_folder(dir); };
  std::shared_ptr<engine::DistributedGroup> group;
  try {
    if (dist_env && dist_env->world_size > 1) {
      group = std::make_shared<engine::DistributedGroup>(
          *dist_env, std::chrono::milliseconds(int64_t(options.dist_timeout * 1000)));
      options.group = group;
    }
    const std::string resume = resume_path(args);
    const std::string model_name = resume.empty() ? args.str("model") : resume;
    engine::YOLO model(model_name, zoo_progress(model_name, channel.get(), stop));
    add_progress_callbacks(model, channel.get(), stop);
    report_result(model.train(options), channel.get());
  } catch (const std::exception& e) {
    // LibTorch errors carry a backtrace after the first line; the user gets the first line.
    std::string message = e.what();
    message = message.substr(0, message.find('\n'));
    if (group) group->report_failure(message);
    const std::string who = "rank " + std::to_string(rank);
    if (dist_env && !main_rank && message.rfind(who, 0) != 0) message = who + ": " + message;
    if (channel) channel->write(JsonObject().add("event", "error").add("message", message));
    throw std::runtime_error(message);
  }
}

}  // namespace

int run_train(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    print_help();
    return 0;
  }
  const Args args(words, train_keys());
  engine::TrainOptions options;
  if (is_classify_run(args)) {
    check_ranges(args, train_keys());
    return train_classify(args, parse_options(args));
  }
  const std::optional<engine::DistributedEnv> dist_env = distributed_env();
  try {
    options = parse_options(args);
    options.imgsz = check_training_run(args, train_keys(), options,
                                       dist_env ? dist_env->world_size : 1);
  } catch (const std::exception& e) {
    // The studio reads why a run ended from the progress channel, whenever it ended.
    if (!args.str("progress").empty() && (!dist_env || dist_env->rank == 0))
      ProgressChannel(args.str("progress")).write_error(e.what());
    throw;
  }
  // The ranks a launcher starts carry RANK/WORLD_SIZE and launch nothing themselves.
  if (options.nproc > 1 && !dist_env)
    return launch_local_ranks(with_value(words, "imgsz", std::to_string(options.imgsz)),
                              local_ranks(options));
  train_here(args, options, dist_env);
  return 0;
}

}  // namespace orvane::cli
