#include "engine/checkpoint.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "engine/error.h"
#include "engine/limits.h"
#include "engine/logger.h"
#include "files/atomic_file.h"

namespace orvane::engine {

namespace fs = std::filesystem;

std::string meta_to_yaml(const CheckpointMeta& meta) {
  YAML::Emitter out;
  out << YAML::BeginMap;
  out << YAML::Key << "format" << YAML::Value << kCheckpointFormat;
  out << YAML::Key << "version" << YAML::Value << kCheckpointVersion;
  out << YAML::Key << "architecture" << YAML::Value << meta.arch.name();
  out << YAML::Key << "task" << YAML::Value << task_name(meta.arch.task);
  out << YAML::Key << "nc" << YAML::Value << meta.arch.nc;
  out << YAML::Key << "names" << YAML::Value << YAML::BeginMap;
  for (size_t i = 0; i < meta.names.size(); ++i)
    out << YAML::Key << int(i) << YAML::Value << meta.names[i];
  out << YAML::EndMap;
  out << YAML::Key << "imgsz" << YAML::Value << meta.imgsz;
  out << YAML::Key << "epoch" << YAML::Value << meta.epoch;
  out << YAML::Key << "epochs" << YAML::Value << meta.epochs;
  out << YAML::Key << "best_fitness" << YAML::Value << meta.best_fitness;
  out << YAML::Key << "ema_updates" << YAML::Value << meta.ema_updates;
  if (meta.finished) out << YAML::Key << "finished" << YAML::Value << true;
  out << YAML::Key << "date" << YAML::Value << meta.date;
  out << YAML::Key << "metrics" << YAML::Value << YAML::BeginMap;
  for (const auto& [k, v] : meta.metrics) out << YAML::Key << k << YAML::Value << v;
  out << YAML::EndMap;
  out << YAML::Key << "train_args" << YAML::Value << YAML::BeginMap;
  for (const auto& [k, v] : meta.train_args) out << YAML::Key << k << YAML::Value << v;
  out << YAML::EndMap;
  out << YAML::EndMap;
  return out.c_str();
}

CheckpointMeta meta_from_yaml(const std::string& text) {
  CheckpointMeta meta;
  try {
    auto root = YAML::Load(text);
    if (!root.IsMap() || root["format"].as<std::string>("") != kCheckpointFormat)
      throw EngineError("not an Orvane checkpoint");
    const int version = root["version"].as<int>(0);
    if (version < 1 || version > kCheckpointVersion)
      throw EngineError("checkpoint format version " + std::to_string(version) +
                        " is newer than this program reads (" +
                        std::to_string(kCheckpointVersion) + ")");
    auto arch = parse_task_model_name(root["architecture"].as<std::string>(""));
    if (!arch) throw EngineError("unknown architecture '" +
                                 root["architecture"].as<std::string>("") + "'");
    meta.arch = *arch;
    meta.arch.nc = root["nc"].as<int>(0);
    if (meta.arch.nc < 1) throw EngineError("checkpoint has no classes");
    if (meta.arch.nc > kMaxClasses)
      throw EngineError("checkpoint claims " + std::to_string(meta.arch.nc) +
                        " classes, more than the " + std::to_string(kMaxClasses) + " possible");
    meta.names.assign(size_t(meta.arch.nc), "");
    if (auto names = root["names"]; names.IsMap()) {
      for (const auto& item : names) {
        const int id = item.first.as<int>(-1);
        if (id >= 0 && id < meta.arch.nc) meta.names[size_t(id)] = item.second.as<std::string>();
      }
    }
    for (int i = 0; i < meta.arch.nc; ++i)
      if (meta.names[size_t(i)].empty()) meta.names[size_t(i)] = "class" + std::to_string(i);
    meta.imgsz = root["imgsz"].as<int>(640);
    meta.epoch = root["epoch"].as<int>(-1);
    meta.epochs = root["epochs"].as<int>(0);
    meta.best_fitness = root["best_fitness"].as<double>(0.0);
    meta.ema_updates = root["ema_updates"].as<std::int64_t>(0);
    meta.finished = root["finished"].as<bool>(false);
    meta.date = root["date"].as<std::string>("");
    if (auto m = root["metrics"]; m.IsMap())
      for (const auto& item : m)
        meta.metrics.emplace_back(item.first.as<std::string>(), item.second.as<double>());
    if (auto a = root["train_args"]; a.IsMap())
      for (const auto& item : a)
        meta.train_args[item.first.as<std::string>()] = item.second.as<std::string>("");
  } catch (const YAML::Exception& e) {
    throw EngineError(std::string("checkpoint metadata does not parse: ") + e.what());
  }
  return meta;
}

namespace {

// Scalars go in as IValues: pickled doubles are exact, where YAML text would round them.
void write_resume_state(torch::serialize::OutputArchive& archive, const ResumeState& r) {
  torch::serialize::OutputArchive state;
  torch::serialize::OutputArchive weights;
  r.model->save(weights);
  state.write("model", weights);
  state.write("rng", r.rng);
  state.write("results", r.results);
  state.write("fitness", c10::IValue(r.fitness));
  state.write("best_fitness", c10::IValue(r.best_fitness));
  state.write("last_opt_step", c10::IValue(r.last_opt_step));
  state.write("accumulate", c10::IValue(int64_t(r.accumulate)));
  state.write("stale", c10::IValue(int64_t(r.stale)));
  state.write("best_epoch", c10::IValue(int64_t(r.best_epoch)));
  archive.write("resume", state);
}

}  // namespace

std::string checkpoint_bytes(YoloModel& model, const CheckpointMeta& meta,
                             torch::optim::Optimizer* optimizer, const ResumeState* resume) {
  return checkpoint_bytes(*model, meta, optimizer, resume);
}

std::string checkpoint_bytes(torch::nn::Module& model, const CheckpointMeta& meta,
                             torch::optim::Optimizer* optimizer, const ResumeState* resume) {
  // Built in memory and written by our own writer: LibTorch's file writer aborts the process
  // when the disk fills up (its destructor throws), ours reports it and keeps the old file.
  std::string bytes;
  try {
    torch::serialize::OutputArchive archive;
    archive.write("orvane_meta", c10::IValue(meta_to_yaml(meta)));
    torch::serialize::OutputArchive weights;
    model.save(weights);
    archive.write("model", weights);
    if (optimizer) {
      torch::serialize::OutputArchive state;
      optimizer->save(state);
      archive.write("optimizer", state);
    }
    if (resume) write_resume_state(archive, *resume);
    archive.save_to([&bytes](const void* data, size_t size) {
      bytes.append(static_cast<const char*>(data), size);
      return size;
    });
  } catch (const std::exception& e) {
    const std::string what = e.what();
    throw EngineError("cannot serialise the checkpoint: " + what.substr(0, what.find('\n')));
  }
  return bytes;
}

void save_checkpoint(const fs::path& path, YoloModel& model, const CheckpointMeta& meta,
                     torch::optim::Optimizer* optimizer) {
  files::write_atomically_or_throw<EngineError>(path, checkpoint_bytes(model, meta, optimizer));
}

CheckpointWriter::CheckpointWriter()
    : CheckpointWriter([](const fs::path& path, const std::string& bytes) -> std::string {
        try {
          files::write_atomically(path, bytes);
        } catch (const files::WriteError& e) {
          return e.what();
        }
        return {};
      }) {}

CheckpointWriter::CheckpointWriter(WriteFile write_file) : write_file_(std::move(write_file)) {}

CheckpointWriter::~CheckpointWriter() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (!failure_.empty()) LOGGER.warning(failure_);
}

void CheckpointWriter::write(fs::path path, std::string bytes) {
  {
    std::lock_guard lock(mutex_);
    throw_failure();
    // A newer version of a file still waiting replaces it: the queue never holds more than one
    // copy per file, however far the disk falls behind.
    auto same = std::find_if(queue_.begin(), queue_.end(),
                             [&](const auto& queued) { return queued.first == path; });
    if (same != queue_.end())
      same->second = std::move(bytes);
    else
      queue_.emplace_back(std::move(path), std::move(bytes));
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  changed_.notify_all();
}

void CheckpointWriter::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
  throw_failure();
}

void CheckpointWriter::throw_failure() {
  if (failure_.empty()) return;
  const std::string failure = std::move(failure_);
  failure_.clear();
  throw EngineError(failure);
}

void CheckpointWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || !queue_.empty(); });
    if (queue_.empty()) return;  // quit with nothing left to write
    auto [path, bytes] = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    std::string error;
    try {
      error = write_file_(path, bytes);
    } catch (const std::exception& e) {
      // Out of this thread an exception would end the process: it fails the write instead.
      const std::string what = e.what();
      error = path.string() + " could not be written: " + what.substr(0, what.find('\n'));
    }
    lock.lock();
    busy_ = false;
    if (!error.empty() && failure_.empty()) failure_ = std::move(error);
    changed_.notify_all();
  }
}

namespace {

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The metadata text of one of our archives; any failure is a one-line EngineError.
std::string open_checkpoint_archive(const fs::path& path, torch::serialize::InputArchive& archive) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec))
    throw EngineError("weights file not found: " + path.string());
  // A LibTorch archive is a zip file; anything else is rejected before the reader sees it.
  {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    if (!in || magic[0] != 'P' || magic[1] != 'K' || magic[2] != 3 || magic[3] != 4)
      throw EngineError(path.string() +
                        " is neither an Orvane checkpoint nor a YOLO ecosystem .pt file (not a zip "
                        "archive)");
  }
  try {
    archive.load_from(path.string());
  } catch (const std::exception& e) {
    throw EngineError(path.string() + " is not an Orvane checkpoint or is damaged (" +
                      first_line(e.what()) + ")");
  }
  c10::IValue meta_value;
  bool found = false;
  try {
    found = archive.try_read("orvane_meta", meta_value);
  } catch (const std::exception&) {
    found = false;
  }
  if (!found || !meta_value.isString())
    throw EngineError(path.string() +
                      " is neither an Orvane checkpoint nor a YOLO ecosystem .pt file (a zip "
                      "archive holding neither's contents)");
  return meta_value.toStringRef();
}

}  // namespace

CheckpointMeta open_archive(const fs::path& path, torch::serialize::InputArchive& archive) {
  const std::string text = open_checkpoint_archive(path, archive);
  try {
    return meta_from_yaml(text);
  } catch (const EngineError& e) {
    throw EngineError(path.string() + ": " + e.what());
  }
}

void load_archive_weights(const fs::path& path, torch::serialize::InputArchive& archive,
                          torch::nn::Module& model, const CheckpointMeta& meta) {
  try {
    torch::serialize::InputArchive weights;
    if (!archive.try_read("model", weights)) throw EngineError("no weights");
    model.load(weights);
  } catch (const std::exception& e) {
    throw EngineError(path.string() + " is damaged: its weights do not fit " + meta.arch.name() +
                      " (" + first_line(e.what()) + ")");
  }
  model.eval();
}

LoadedCheckpoint load_checkpoint(const fs::path& path) {
  torch::serialize::InputArchive archive;
  LoadedCheckpoint loaded;
  loaded.meta = open_archive(path, archive);
  if (loaded.meta.arch.task != Task::detect && loaded.meta.arch.task != Task::segment)
    throw EngineError(path.string() + " holds a " + loaded.meta.arch.name() +
                      " model, which this command does not take");
  loaded.model = YoloModel(loaded.meta.arch, loaded.meta.names);
  load_archive_weights(path, archive, *loaded.model, loaded.meta);
  torch::serialize::InputArchive state;
  try {
    loaded.has_optimizer = archive.try_read("optimizer", state);
  } catch (const std::exception&) {
    loaded.has_optimizer = false;
  }
  return loaded;
}

std::optional<ResumeState> load_resume_state(const fs::path& path) {
  torch::serialize::InputArchive archive;
  const CheckpointMeta meta = open_archive(path, archive);
  torch::serialize::InputArchive state;
  try {
    if (!archive.try_read("resume", state)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  ResumeState r;
  try {
    r.model = YoloModel(meta.arch, meta.names);
    torch::serialize::InputArchive weights;
    if (!state.try_read("model", weights)) throw EngineError("no trained weights");
    r.model->load(weights);
    state.read("rng", r.rng);
    state.read("results", r.results);
    auto scalar = [&state](const char* key) {
      c10::IValue v;
      state.read(key, v);
      return v;
    };
    r.fitness = scalar("fitness").toDouble();
    r.best_fitness = scalar("best_fitness").toDouble();
    r.last_opt_step = scalar("last_opt_step").toInt();
    r.accumulate = int(scalar("accumulate").toInt());
    r.stale = int(scalar("stale").toInt());
    r.best_epoch = int(scalar("best_epoch").toInt());
    if (r.results.scalar_type() != torch::kDouble || r.results.dim() != 2)
      throw EngineError("its results rows are not a table");
  } catch (const std::exception& e) {
    throw EngineError(path.string() + ": its resume state is damaged (" + first_line(e.what()) +
                      ")");
  }
  return r;
}

void load_optimizer_state(const fs::path& path, torch::optim::Optimizer& optimizer) {
  torch::serialize::InputArchive archive;
  open_archive(path, archive);
  try {
    torch::serialize::InputArchive state;
    if (!archive.try_read("optimizer", state))
      throw EngineError(path.string() + " holds no optimizer state (only last.pt can resume)");
    optimizer.load(state);
  } catch (const EngineError&) {
    throw;
  } catch (const std::exception& e) {
    throw EngineError(path.string() + ": optimizer state does not fit (" + first_line(e.what()) +
                      ")");
  }
}

}  // namespace orvane::engine
