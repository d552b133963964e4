#include "engine/trainer.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "engine/checkpoint.h"
#include "engine/data/data_config.h"
#include "engine/data/loader.h"
#include "engine/distributed.h"
#include "engine/ecosystem_optimizer.h"
#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/metrics/metrics.h"
#include "engine/plotting.h"
#include "engine/precision.h"
#include "engine/stage_profile.h"
#include "engine/train_args.h"
#include "files/atomic_file.h"
#include "files/text_format.h"

namespace orvane::engine {

namespace fs = std::filesystem;

// The averaged weights follow the model with decay 0.9999 once warmed up, so they average over
// roughly the last 10,000 optimizer steps; the decay ramps up from 0 with a time constant of
// 2000 updates, so early, fast-changing weights are not held back by the random start.
constexpr double kEmaDecay = 0.9999;
constexpr double kEmaRampUpdates = 2000.0;
// Gradients are clipped to this total norm: an outlier batch (a mislabelled box, a near-empty
// mosaic) then moves the weights no more than an ordinary one, instead of blowing up the loss.
constexpr double kMaxGradNorm = 10.0;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::string hms(double seconds) {
  const auto s = int64_t(std::max(0.0, seconds));
  if (s >= 3600) return format("%ld:%02ld:%02ld", long(s / 3600), long(s / 60 % 60), long(s % 60));
  return format("%02ld:%02ld", long(s / 60), long(s % 60));
}

// "100%|██████████| 4/4 [00:01<00:00,  3.1it/s]" as progress bars usually read.
std::string progress_bar(int done, int total, double elapsed) {
  const int width = 10;
  const double frac = total > 0 ? double(done) / total : 1.0;
  const int full = int(frac * width);
  std::string bar;
  for (int i = 0; i < width; ++i) bar += i < full ? "\u2588" : " ";
  const double rate = elapsed > 0 ? done / elapsed : 0.0;
  const double eta = rate > 0 ? (total - done) / rate : 0.0;
  std::string speed =
      rate >= 1.0 || rate == 0.0 ? format("%5.2fit/s", rate) : format("%5.2fs/it", 1.0 / rate);
  return format("%3d%%|%s| %d/%d [%s<%s, %s]", int(frac * 100), bar.c_str(), done, total,
                hms(elapsed).c_str(), hms(eta).c_str(), speed.c_str());
}

double interp(double x, double x0, double x1, double y0, double y1) {
  if (x <= x0) return y0;
  if (x >= x1) return y1;
  return y0 + (y1 - y0) * (x - x0) / (x1 - x0);
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

int default_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? int(n) : 1;
}

void configure_compute_threads(int threads) {
  const int want = threads > 0 ? threads : default_threads();
  if (torch::get_num_threads() != want) torch::set_num_threads(want);
  at::globalContext().setFlushDenormal(true);
  // The flag lives in each thread's floating-point control register: set it on every pool
  // thread too (one chunk per thread).
  at::parallel_for(0, want, 1,
                   [](int64_t, int64_t) { at::globalContext().setFlushDenormal(true); });
}

fs::path increment_path(const fs::path& path, bool exist_ok) {
  std::error_code ec;
  if (exist_ok || !fs::exists(path, ec)) return path;
  for (int n = 2; n < 10000; ++n) {
    fs::path candidate = path.string() + std::to_string(n);
    if (!fs::exists(candidate, ec)) return candidate;
  }
  throw EngineError("no free run folder name next to " + path.string());
}

struct Trainer::State {
  DataConfig data;
  std::unique_ptr<DataLoader> train_loader, val_loader;
  std::unique_ptr<torch::optim::Optimizer> optimizer;
  std::string optimizer_name;
  bool sgd = false;
  std::vector<double> initial_lr;
  double momentum = 0.0;
  double warmup_bias_lr = 0.0;
  int batch = 16;
  int accumulate = 1;
  int warmup_iters = 0;
  int64_t last_opt_step = -1;
  bool bn_warming = true;  // some BatchNorm layer still averages cumulatively
  std::vector<torch::Tensor> trainable;
  std::array<NamedParameters, 3> named_groups;  // the optimizer's groups, by parameter name
  std::vector<std::pair<torch::Tensor, torch::Tensor>> ema_pairs;  // (ema, model)
  int64_t ema_updates = 0;
  int start_epoch = 0;
  int best_epoch = 0;
  int stale = 0;               // epochs without improvement, carried over by a resume
  bool mosaic_closed = false;  // the last close_mosaic epochs have begun
  std::vector<std::string> csv_header;
  std::vector<std::vector<double>> csv_rows;
  std::vector<float> val_losses;
  Clock::time_point start;
  double elapsed_before = 0.0;  // resumed runs: time of the earlier part
  int epochs_completed = 0;
  struct ProfileRow {
    int epoch;
    int batches;
    StageProfile profile;
  };
  std::vector<ProfileRow> profile_rows;  // profile=true: every epoch so far
  // Data-parallel training: the group, this rank's gradient averaging, the buffers (BatchNorm
  // statistics) that follow rank 0's at every step, and the batch over all ranks.
  std::shared_ptr<DistributedGroup> group;
  std::unique_ptr<GradientSync> sync;
  std::vector<torch::Tensor> buffers;
  bool main = true;  // rank 0, or training alone: validates and writes the run folder
  bool amp = false;      // the training forward pass in bfloat16 autocast
  bool val_amp = false;  // validation's
  CheckpointWriter checkpoints;
  bool best_saved = false;  // best.pt exists or is queued (the writer may not have written it yet)
  int global_batch = 16;
};

Trainer::Trainer(YoloModel model, TrainOptions options, fs::path resume_from, bool fresh)
    : options_(std::move(options)),
      model_(std::move(model)),
      resume_from_(std::move(resume_from)),
      fresh_(fresh),
      s_(std::make_unique<State>()) {}

Trainer::~Trainer() = default;

torch::optim::Optimizer& Trainer::optimizer() {
  if (!s_->optimizer) throw EngineError("the optimizer is built when training starts");
  return *s_->optimizer;
}

void Trainer::add_callback(const std::string& event, Callback callback) {
  static const std::vector<std::string> events{"on_train_start",     "on_train_epoch_start",
                                               "on_train_batch_end", "on_train_epoch_end",
                                               "on_fit_epoch_end",   "on_train_end"};
  if (std::find(events.begin(), events.end(), event) == events.end())
    throw EngineError("unknown callback event '" + event + "'");
  callbacks_[event].push_back(std::move(callback));
}

void Trainer::run_callbacks(const std::string& event) {
  auto it = callbacks_.find(event);
  if (it == callbacks_.end()) return;
  for (auto& cb : it->second) cb(*this);
}

void Trainer::setup() {
  configure_compute_threads(options_.threads);
  torch::manual_seed(options_.seed);
  s_->amp = resolve_amp(options_.amp, AmpUse::train);
  s_->val_amp = resolve_amp(options_.amp, AmpUse::predict);
  s_->group = options_.group;
  s_->main = !s_->group || s_->group->is_main();
  check_options();
  fit_model_to_data();
  if (s_->group) {
    // Every rank starts from rank 0's weights, however it built or loaded its own.
    std::vector<torch::Tensor> state;
    for (auto& p : model_->parameters(true)) state.push_back(p);
    for (auto& b : model_->buffers(true)) state.push_back(b);
    s_->group->broadcast(state);
    for (auto& b : model_->buffers(true))
      if (b.is_floating_point()) s_->buffers.push_back(b);
  }
  // Data, before the run folder: a dataset that cannot be trained on leaves nothing behind
  // that looks like a run.
  build_loaders();
  create_run_folder();

  loss_names = model_->is_segment()
                   ? std::vector<std::string>{"box_loss", "seg_loss", "cls_loss", "dfl_loss"}
                   : std::vector<std::string>{"box_loss", "cls_loss", "dfl_loss"};
  s_->accumulate = std::max(int(std::lround(double(options_.nbs) / s_->global_batch)), 1);
  build_optimizer();
  if (s_->group) {
    // ORVANE_DIST_OVERLAP=0 all-reduces once after the backward pass (for measurements).
    const char* overlap = std::getenv("ORVANE_DIST_OVERLAP");
    GradientSyncOptions so;
    so.overlap = !(overlap && std::string(overlap) == "0");
    s_->sync = std::make_unique<GradientSync>(*s_->group, s_->trainable, so);
  }
  build_ema();
  if (options_.resume && !resume_from_.empty())
    restore_resumed_run();
  else
    save_start();
  if (s_->group) {
    // Scanning a large dataset can take one rank much longer than another: wait for each rank
    // while it is alive, so the first collective's timeout only has to cover one step.
    const int rank = s_->group->rank();
    s_->group->publish("ready/" + std::to_string(rank), "1");
    for (int r = 0; r < s_->group->world_size(); ++r)
      if (r != rank) s_->group->await("ready/" + std::to_string(r), r);
  }
  const int nb = batches;
  s_->warmup_iters = options_.warmup_epochs > 0
                         ? std::max(int(std::lround(options_.warmup_epochs * nb)), 100)
                         : -1;
}

void Trainer::check_options() {
  auto& o = options_;
  if (o.device != "cpu" && !o.device.empty())
    LOGGER.warning("device=" + o.device +
                   " is not available in this build (no CUDA); training on the CPU");
  if (o.data.empty()) throw EngineError("train needs data=path/to/data.yaml");
  s_->data = load_data_config(o.data);
  if (s_->data.val.empty())
    throw EngineError(o.data + " names no 'val' split; training needs one to validate");
  if (o.epochs < 1) throw EngineError("epochs must be at least 1");
  if (o.imgsz < 32) {
    LOGGER.warning("imgsz=" + std::to_string(o.imgsz) + " is below 32, using 32");
    o.imgsz = 32;
  } else if (o.imgsz % 32 != 0) {
    const int rounded = (o.imgsz + 31) / 32 * 32;
    LOGGER.warning("imgsz=" + std::to_string(o.imgsz) +
                   " must be a multiple of max stride 32, updating to " + std::to_string(rounded));
    o.imgsz = rounded;
  }
  if (o.batch == -1 || o.batch == 0) {
    LOGGER.info("AutoBatch: using batch=16 on the CPU");
    o.batch = 16;
  } else if (o.batch < -1) {
    throw EngineError("batch must be a positive number or -1");
  }
  if (o.workers < 0) o.workers = 0;
  epochs = o.epochs;
}

// Classes come from the data: a model with other classes keeps its body and gets a new head.
void Trainer::fit_model_to_data() {
  const auto& o = options_;
  const auto& names = s_->data.names;
  const std::string nc_text = std::to_string(names.size());
  if (model_->nc() != int(names.size()) && !(o.resume && !resume_from_.empty()))
    LOGGER.info("Overriding model nc=" + std::to_string(model_->nc()) + " with nc=" + nc_text +
                ": the head is rebuilt for " + nc_text +
                (names.size() == 1 ? " class" : " classes"));
  if (fresh_) {
    ModelSpec arch = model_->arch();
    arch.nc = int(names.size());
    model_ = YoloModel(arch, names);
  } else if (model_->nc() != int(names.size())) {
    if (!resume_from_.empty() && o.resume)
      throw EngineError("cannot resume: the data has " + std::to_string(names.size()) +
                        " classes, the checkpoint " + std::to_string(model_->nc()));
    ModelSpec arch = model_->arch();
    arch.nc = int(names.size());
    YoloModel fresh(arch, names);
    torch::NoGradGuard no_grad;
    auto old_params = model_->named_parameters(true);
    auto old_buffers = model_->named_buffers(true);
    int transferred = 0, total = 0;
    for (auto& p : fresh->named_parameters(true)) {
      ++total;
      if (auto* old = old_params.find(p.key()); old && old->sizes() == p.value().sizes()) {
        p.value().copy_(*old);
        ++transferred;
      }
    }
    for (auto& b : fresh->named_buffers(true)) {
      ++total;
      if (auto* old = old_buffers.find(b.key()); old && old->sizes() == b.value().sizes()) {
        b.value().copy_(*old);
        ++transferred;
      }
    }
    LOGGER.info("Transferred " + std::to_string(transferred) + "/" + std::to_string(total) +
                " items from pretrained weights");
    model_ = fresh;
  } else if (!(o.resume && !resume_from_.empty())) {
    // Same classes: every tensor carries over as it is.
    const auto count = model_->named_parameters(true).size() + model_->named_buffers(true).size();
    LOGGER.info("Transferred " + std::to_string(count) + "/" + std::to_string(count) +
                " items from pretrained weights");
  }
  model_->names = names;
  // The model that trains, once: the one the caller built may have had another head.
  LOGGER.info(model_->summary());
}

void Trainer::build_loaders() {
  auto& o = options_;
  LoaderOptions train_opts;
  train_opts.imgsz = o.imgsz;
  train_opts.batch = o.batch;
  train_opts.workers = o.workers;
  train_opts.augment = true;
  train_opts.shuffle = true;
  train_opts.segment = model_->is_segment();
  train_opts.mosaic = o.hyp.mosaic > 0;
  train_opts.hyp = o.hyp;
  train_opts.seed = o.seed;
  train_opts.prefix = "train";
  auto train_set = build_dataset(s_->data, "train", train_opts);
  const auto n_train = int(train_set->size());
  if (o.batch > n_train) {
    LOGGER.warning("batch=" + std::to_string(o.batch) + " is larger than the " +
                   std::to_string(n_train) +
                   " training images; using batch=" + std::to_string(n_train));
    o.batch = n_train;
    train_opts.batch = n_train;
  }
  s_->batch = o.batch;
  s_->global_batch = o.batch;
  if (s_->group) {
    // batch is the global batch: each rank takes an equal share of it.
    const int world = s_->group->world_size();
    if (o.batch < world)
      throw EngineError("batch=" + std::to_string(o.batch) + " is smaller than the " +
                        std::to_string(world) + " ranks; each rank needs at least one image");
    if (o.batch % world != 0)
      LOGGER.warning("batch=" + std::to_string(o.batch) + " does not divide over " +
                     std::to_string(world) + " ranks; using " + std::to_string(o.batch / world) +
                     " per rank");
    s_->batch = o.batch / world;
    s_->global_batch = s_->batch * world;
    train_opts.batch = s_->batch;
    train_opts.rank = s_->group->rank();
    train_opts.world_size = world;
    LOGGER.info("DDP: rank " + std::to_string(train_opts.rank) + " of " + std::to_string(world) +
                ", batch " + std::to_string(s_->batch) + " per rank, " +
                std::to_string(s_->global_batch) + " in all");
  }
  LoaderOptions val_opts;
  val_opts.imgsz = o.imgsz;
  val_opts.batch = o.batch * 2;
  val_opts.workers = o.workers;
  val_opts.rect = true;
  val_opts.rect_pad = kValidationRectPad;
  val_opts.segment = model_->is_segment();
  val_opts.seed = o.seed;
  val_opts.prefix = "val";
  // Validation often reads some of the training files: their faults were named already.
  auto val_set = build_dataset(s_->data, "val", val_opts, train_set->named());
  s_->train_loader = std::make_unique<DataLoader>(std::move(train_set), train_opts);
  s_->val_loader = std::make_unique<DataLoader>(std::move(val_set), val_opts);
  batches = int(s_->train_loader->size());
}

void Trainer::create_run_folder() {
  const auto& o = options_;
  if (!s_->main) {
    // Rank 0 alone owns the run folder; the others learn its name for their callbacks.
    save_dir = s_->group->await("save_dir");
    return;
  }
  if (o.resume && !resume_from_.empty()) {
    save_dir = resume_from_.parent_path().parent_path();
  } else {
    save_dir = increment_path(fs::path(o.project) / o.name, o.exist_ok);
  }
  std::error_code ec;
  fs::create_directories(save_dir / "weights", ec);
  if (ec || !fs::is_directory(save_dir / "weights"))
    throw EngineError("cannot create the run folder " + save_dir.string() +
                      (ec ? ": " + ec.message() : ""));
  s_->best_saved = fs::exists(save_dir / "weights" / "best.pt", ec);  // a resumed run's
  {
    // Prove the folder is writable now, not after the first epoch.
    const auto probe = save_dir / ".write_test";
    std::ofstream out(probe);
    if (!out) throw EngineError("cannot write into the run folder " + save_dir.string());
    out.close();
    fs::remove(probe, ec);
  }
  YAML::Emitter args;
  args << YAML::BeginMap;
  for (const auto& [k, v] : train_args_list(o)) args << YAML::Key << k << YAML::Value << v;
  args << YAML::Key << "save_dir" << YAML::Value << save_dir.string();
  args << YAML::EndMap;
  files::write_atomically_or_throw<EngineError>(save_dir / "args.yaml",
                                                std::string(args.c_str()) + "\n");

  if (o.plots) plot_labels(s_->train_loader->dataset(), save_dir / "labels.jpg");
  if (s_->group) s_->group->publish("save_dir", save_dir.string());
}

void Trainer::build_ema() {
  ema_ = clone_model(model_);
  ema_->eval();
  for (auto& p : ema_->parameters()) p.set_requires_grad(false);
  {
    auto mp = model_->named_parameters(true);
    for (auto& p : ema_->named_parameters(true))
      if (p.value().is_floating_point()) s_->ema_pairs.emplace_back(p.value(), mp[p.key()]);
    auto mb = model_->named_buffers(true);
    for (auto& b : ema_->named_buffers(true))
      if (b.value().is_floating_point()) s_->ema_pairs.emplace_back(b.value(), mb[b.key()]);
  }
}

void Trainer::restore_resumed_run() {
  if (is_torch_save_file(resume_from_)) {
    restore_ecosystem_run();
    return;
  }
  auto loaded = load_checkpoint(resume_from_);
  load_optimizer_state(resume_from_, *s_->optimizer);
  s_->start_epoch = loaded.meta.epoch + 1;
  start_epoch = s_->start_epoch;
  best_fitness = loaded.meta.best_fitness;
  s_->ema_updates = loaded.meta.ema_updates;
  LOGGER.info("Resuming training from " + resume_from_.string() + " from epoch " +
              std::to_string(s_->start_epoch + 1) + " to " + std::to_string(epochs));
  auto state = load_resume_state(resume_from_);
  if (!state) {
    // A last.pt of an earlier version: the averaged weights train on and the earlier rows come
    // from results.csv. The run goes on, but not exactly as it would have.
    LOGGER.warning(resume_from_.string() +
                   " holds no resume state (an earlier version wrote it): training goes on from "
                   "its averaged weights and will not repeat an uninterrupted run exactly");
    read_results_rows();
    restore_last_metrics();
    return;
  }
  {
    // Into the tensors the optimizer and the EMA already hold.
    torch::NoGradGuard no_grad;
    auto params = state->model->named_parameters(true);
    for (auto& p : model_->named_parameters(true)) p.value().copy_(params[p.key()]);
    auto buffers = state->model->named_buffers(true);
    for (auto& b : model_->named_buffers(true)) b.value().copy_(buffers[b.key()]);
  }
  {
    auto generator = at::detail::getDefaultCPUGenerator();
    std::lock_guard<std::mutex> lock(generator.mutex());
    generator.set_state(state->rng);
  }
  const auto rows = state->results.contiguous();
  for (int64_t r = 0; r < rows.size(0); ++r) {
    const double* row = rows[r].data_ptr<double>();
    s_->csv_rows.emplace_back(row, row + rows.size(1));
  }
  fitness = state->fitness;
  best_fitness = state->best_fitness;
  s_->last_opt_step = state->last_opt_step;
  s_->accumulate = state->accumulate;
  s_->stale = state->stale;
  s_->best_epoch = state->best_epoch;
  restore_last_metrics();
}

// The YOLO ecosystem's last.pt: the averaged weights (the model was built from them) train on,
// with its optimizer state mapped onto ours, its epoch, best fitness and EMA update count (the
// EMA's decay ramp goes on where it was). The earlier rows come from the run's results.csv.
void Trainer::restore_ecosystem_run() {
  const auto loaded = load_weights(resume_from_);
  const auto restored = restore_ecosystem_optimizer(resume_from_, s_->named_groups,
                                                    *s_->optimizer, s_->optimizer_name);
  s_->start_epoch = loaded.meta.epoch + 1;
  start_epoch = s_->start_epoch;
  best_fitness = loaded.meta.best_fitness;
  s_->ema_updates = loaded.meta.ema_updates;
  LOGGER.info(format("Resuming training from %s, the YOLO ecosystem's checkpoint (%lld "
                     "parameters' %s state, %lld EMA updates), from epoch %d to %d",
                     resume_from_.string().c_str(),
                     static_cast<long long>(restored.parameters_with_state),
                     s_->optimizer_name.c_str(), static_cast<long long>(s_->ema_updates),
                     s_->start_epoch + 1, epochs));
  read_results_rows();
  restore_last_metrics();
}

// An epoch without validation repeats the last metrics and validation losses.
void Trainer::restore_last_metrics() {
  if (s_->csv_rows.empty()) return;
  const auto& last = s_->csv_rows.back();
  s_->elapsed_before = last.at(1);
  size_t c = 2 + loss_names.size();
  metrics.clear();
  for (const auto& name : metric_names()) metrics.emplace_back(name, last.at(c++));
  s_->val_losses.clear();
  for (size_t k = 0; k < loss_names.size(); ++k) s_->val_losses.push_back(float(last.at(c++)));
}

// The rows of results.csv up to the resumed epoch (a last.pt without resume state), each column
// found by its name: the ecosystem's older runs have no time column and pad their cells.
void Trainer::read_results_rows() {
  std::ifstream in(save_dir / "results.csv");
  auto cells = [](const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    for (std::string cell; std::getline(ss, cell, ',');) {
      const auto first = cell.find_first_not_of(" \t\r");
      const auto last = cell.find_last_not_of(" \t\r");
      out.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return out;
  };
  std::string line;
  if (!std::getline(in, line)) return;
  const auto header = cells(line);
  const auto ours = results_header();
  std::vector<std::optional<size_t>> column;
  std::string missing;
  for (const auto& name : ours) {
    const auto it = std::find(header.begin(), header.end(), name);
    column.push_back(it == header.end() ? std::nullopt
                                        : std::optional<size_t>(size_t(it - header.begin())));
    if (it == header.end() && name != "time") missing += (missing.empty() ? "" : ", ") + name;
  }
  if (!column[0]) {
    LOGGER.warning((save_dir / "results.csv").string() +
                   " has no epoch column; the resumed run's results.csv starts afresh");
    return;
  }
  if (!missing.empty())
    LOGGER.warning((save_dir / "results.csv").string() + " lacks " + missing +
                   "; the earlier rows keep 0 there");
  while (std::getline(in, line)) {
    const auto values = cells(line);
    std::vector<double> row;
    for (const auto& c : column)
      row.push_back(c && *c < values.size() ? std::strtod(values[*c].c_str(), nullptr) : 0.0);
    if (!values.empty() && int(row[0]) >= 1 && int(row[0]) <= s_->start_epoch)
      s_->csv_rows.push_back(row);
  }
}

namespace {

// The three parameter groups, in the order the optimizer holds them (pg0, pg1, pg2).
struct ParameterGroups {
  std::vector<torch::Tensor> bias, decay, bn;
};

// `defaults` holds lr, momentum/betas and no weight decay; the weights with decay get `decay`.
template <class Optimizer, class Options>
std::unique_ptr<torch::optim::Optimizer> make_optimizer(const ParameterGroups& p,
                                                        const Options& defaults, double decay) {
  Options decayed = defaults;
  decayed.weight_decay(decay);
  std::vector<torch::optim::OptimizerParamGroup> groups;
  groups.emplace_back(p.bias, std::make_unique<Options>(defaults));
  groups.emplace_back(p.decay, std::make_unique<Options>(decayed));
  groups.emplace_back(p.bn, std::make_unique<Options>(defaults));
  return std::make_unique<Optimizer>(groups, defaults);
}

}  // namespace

// optimizer=auto: SGD for long runs, AdamW with a learning rate fitted to the class count for
// short ones; lr0 and momentum are then ignored, and so is the warm-up bias lr.
Trainer::OptimizerChoice Trainer::choose_optimizer() {
  const auto& o = options_;
  s_->warmup_bias_lr = o.warmup_bias_lr;
  if (o.optimizer != "auto") return {o.optimizer, o.lr0, o.momentum};
  const int64_t n_train = int64_t(s_->train_loader->dataset().size());
  const int64_t iterations =
      int64_t(std::ceil(double(n_train) / std::max(o.batch, o.nbs)) * o.epochs);
  const double lr_fit = std::round(0.002 * 5 / (4 + model_->nc()) * 1e6) / 1e6;
  LOGGER.info(
      format("optimizer: 'optimizer=auto' found, ignoring 'lr0=%g' and 'momentum=%g' "
             "and determining best 'optimizer', 'lr0' and 'momentum' automatically...",
             o.lr0, o.momentum));
  s_->warmup_bias_lr = 0.0;  // a bias lr of 0.1 is far too high for Adam
  if (iterations > kAutoOptimizerSgdIterations) return {"SGD", 0.01, 0.9};
  return {"AdamW", lr_fit, 0.9};
}

void Trainer::build_optimizer() {
  const auto& o = options_;
  ParameterGroups p;
  for (auto& param : model_->named_parameters(true)) {
    if (!param.value().requires_grad() || model_->is_frozen(param.key())) continue;
    s_->trainable.push_back(param.value());
    const int group = ends_with(param.key(), "bias")                         ? 0
                      : param.key().find(".bn.") != std::string::npos ? 2
                                                                      : 1;
    (group == 0 ? p.bias : group == 1 ? p.decay : p.bn).push_back(param.value());
    s_->named_groups[size_t(group)].emplace_back(param.key(), param.value());
  }
  const double decay = o.weight_decay * s_->global_batch * s_->accumulate / o.nbs;
  const auto [name, lr, momentum] = choose_optimizer();
  // Group order: pg0 biases, pg1 weights with decay, pg2 BN weights (the lr/pg0..2 columns).
  if (name == "SGD")
    s_->optimizer = make_optimizer<torch::optim::SGD>(
        p, torch::optim::SGDOptions(lr).momentum(momentum).nesterov(true).weight_decay(0.0), decay);
  else if (name == "Adam")
    s_->optimizer = make_optimizer<torch::optim::Adam>(
        p, torch::optim::AdamOptions(lr).betas({momentum, 0.999}).weight_decay(0.0), decay);
  else if (name == "AdamW")
    s_->optimizer = make_optimizer<torch::optim::AdamW>(
        p, torch::optim::AdamWOptions(lr).betas({momentum, 0.999}).weight_decay(0.0), decay);
  else
    throw EngineError("optimizer '" + o.optimizer +
                      "' is not supported; use SGD, Adam, AdamW or auto");
  s_->optimizer_name = name;
  s_->sgd = name == "SGD";
  s_->momentum = momentum;
  s_->initial_lr.assign(3, lr);
  LOGGER.info(
      format("optimizer: %s(lr=%g, momentum=%g) with parameter groups %zu weight(decay=0.0), "
             "%zu weight(decay=%g), %zu bias(decay=0.0)",
             name.c_str(), lr, momentum, p.bn.size(), p.decay.size(), decay, p.bias.size()));
}

void Trainer::ema_update() {
  torch::NoGradGuard no_grad;
  ++s_->ema_updates;
  const double d = kEmaDecay * (1.0 - std::exp(-double(s_->ema_updates) / kEmaRampUpdates));
  for (auto& [e, m] : s_->ema_pairs) {
    e.mul_(d);
    e.add_(m.detach(), 1.0 - d);
  }
}

double Trainer::begin_epoch() {
  const auto& o = options_;
  model_->train();
  // From epochs - close_mosaic on (a resumed run may start past that epoch); never when the
  // run is shorter than close_mosaic.
  const int close_at = o.epochs - o.close_mosaic;
  if (o.close_mosaic > 0 && close_at >= 0 && epoch >= close_at && !s_->mosaic_closed) {
    LOGGER.info("Closing dataloader mosaic");
    s_->train_loader->set_mosaic(false);
    s_->mosaic_closed = true;
  }
  s_->train_loader->begin_epoch(epoch);
  // Linear decay from lr0 to lr0 * lrf over the run.
  const double lf = (1.0 - double(epoch) / o.epochs) * (1.0 - o.lrf) + o.lrf;
  auto& groups = s_->optimizer->param_groups();
  for (size_t j = 0; j < groups.size(); ++j) groups[j].options().set_lr(s_->initial_lr[j] * lf);
  tloss.assign(loss_names.size(), 0.0f);

  std::string head = format("%11s%11s", "Epoch", "GPU_mem");
  for (const auto& n : loss_names) head += format("%11s", n.c_str());
  head += format("%11s%11s", "Instances", "Size");
  LOGGER.info("\n" + head);
  return lf;
}

// Warm-up: accumulation grows to the nominal batch, bias lr falls from warmup_bias_lr, other
// lrs rise from 0, SGD momentum rises from warmup_momentum.
void Trainer::warm_up(int64_t ni, double lf) {
  if (ni > s_->warmup_iters) return;
  const auto& o = options_;
  const double xi = double(s_->warmup_iters);
  s_->accumulate = std::max(
      1, int(std::lround(interp(double(ni), 0, xi, 1.0, double(o.nbs) / s_->global_batch))));
  auto& groups = s_->optimizer->param_groups();
  for (size_t j = 0; j < groups.size(); ++j) {
    auto& g = groups[j];
    g.options().set_lr(
        interp(double(ni), 0, xi, j == 0 ? s_->warmup_bias_lr : 0.0, s_->initial_lr[j] * lf));
    if (s_->sgd)
      static_cast<torch::optim::SGDOptions&>(g.options())
          .momentum(interp(double(ni), 0, xi, o.warmup_momentum, s_->momentum));
  }
}

void Trainer::backward(const torch::Tensor& total, bool step_now) {
  if (s_->sync && step_now) s_->sync->arm();
  StageTimer timer("backward");
  // The loss scales with the rank's batch and the ranks' gradients are averaged: times the
  // world size, a step moves the weights as one process's step over the global batch does.
  if (s_->group)
    (total * double(s_->group->world_size())).backward();
  else
    total.backward();
}

// One optimizer step over the accumulated gradients, unless the group drops it for a
// non-finite loss on some rank.
void Trainer::step_optimizer(bool finite, int64_t ni) {
  auto& opt = *s_->optimizer;
  bool dropped = false;
  if (s_->sync) {
    StageTimer timer("allreduce");
    dropped = s_->sync->finish(!finite);
  }
  if (dropped) {
    opt.zero_grad();
    return;
  }
  {
    StageTimer timer("optimizer");
    torch::nn::utils::clip_grad_norm_(s_->trainable, kMaxGradNorm);
    opt.step();
    opt.zero_grad();
  }
  if (s_->group) {
    // BatchNorm statistics are each rank's own; rank 0's hold, as in DDP.
    StageTimer timer("allreduce");
    s_->group->broadcast(s_->buffers);
  }
  StageTimer timer("ema");
  ema_update();
  s_->last_opt_step = ni;
}

// The running mean losses and the console line of batch `i`.
std::string Trainer::log_batch(int i, const Batch& batch, const torch::Tensor& loss_items,
                               double elapsed) {
  auto items = loss_items.to(torch::kFloat).contiguous();
  for (size_t k = 0; k < tloss.size(); ++k)
    tloss[k] = (tloss[k] * float(i) + items[int64_t(k)].item<float>()) / float(i + 1);

  std::string line =
      format("%11s%11s", (std::to_string(epoch + 1) + "/" + std::to_string(epochs)).c_str(), "0G");
  for (float v : tloss) line += format("%11.4g", double(v));
  line += format("%11ld%11ld", long(batch.cls.defined() ? batch.cls.numel() : 0),
                 long(batch.images.size(3)));
  line += ": " + progress_bar(i + 1, batches, elapsed);
  if (options_.verbose) LOGGER.progress(line);
  return line;
}

// A stop on any rank (a signal, the studio) ends every rank after this batch.
bool Trainer::stop_agreed() {
  if (s_->group) {
    StageTimer timer("allreduce");
    stop = s_->group->any(stop.load());
  }
  return stop;
}

void Trainer::train_epoch() {
  const auto& o = options_;
  const double lf = begin_epoch();
  const int nb = batches;
  const auto t0 = Clock::now();
  std::string line;
  s_->optimizer->zero_grad();
  for (int i = 0; i < nb; ++i) {
    StageTimer data_timer("data");
    auto batch = s_->train_loader->next();
    data_timer.stop();
    if (!batch) break;
    const int64_t ni = i + int64_t(nb) * epoch;
    warm_up(ni, lf);
    if (s_->bn_warming) s_->bn_warming = warm_up_batchnorm(*model_);
    StageTimer forward_timer("forward");
    ModelOutput out;
    {
      AutocastGuard autocast(s_->amp);
      out = to_float32(model_->forward(batch->images));
    }
    forward_timer.stop();
    auto loss = compute_loss(model_, out, *batch, o.gains);
    const bool finite = std::isfinite(loss.total.item<double>());
    const bool step_now = ni - s_->last_opt_step >= s_->accumulate;
    if (!finite) {
      LOGGER.warning("non-finite loss in epoch " + std::to_string(epoch + 1) + " batch " +
                     std::to_string(i + 1) + "; batch skipped");
      s_->optimizer->zero_grad();
      // Alone, the batch is simply dropped. In a group this rank still takes part in the
      // step's all-reduce and the stop check, and the whole group drops the step.
      if (!s_->sync) continue;
    } else {
      backward(loss.total, step_now);
    }
    if (step_now) step_optimizer(finite, ni);
    if (!finite) {
      if (s_->group && (stop = s_->group->any(stop.load()))) break;
      continue;
    }
    StageTimer log_timer("logging");
    line = log_batch(i, *batch, loss.items, seconds_since(t0));
    if (o.plots && s_->main && epoch == 0 && i < 3) {
      StageTimer timer("charts");
      plot_batch(*batch, model_->names, save_dir / ("train_batch" + std::to_string(i) + ".jpg"));
    }

    batch_index = i;
    run_callbacks("on_train_batch_end");
    if (stop_agreed()) break;
  }
  if (!line.empty()) LOGGER.info(line);
  lr.clear();
  const auto& groups = s_->optimizer->param_groups();
  for (size_t j = 0; j < groups.size(); ++j)
    lr["lr/pg" + std::to_string(j)] = groups[j].options().get_lr();
}

std::optional<ValResult> Trainer::validate_epoch() {
  if (!s_->main) return std::nullopt;  // rank 0 validates for the group
  ValOptions vo;
  vo.names = model_->names;
  vo.compute_loss = true;
  vo.plots = false;
  vo.amp = s_->val_amp;
  auto result = validate(ema_, *s_->val_loader, vo);
  metrics = result.metrics();
  fitness = result.fitness;
  s_->val_losses = result.losses;
  return result;
}

void Trainer::record_profile(const StageProfile& profile) {
  epoch_profile = profile;
  s_->profile_rows.push_back({epoch + 1, batches, profile});
  // The console line: the stages by time, largest first (the small ones left out).
  auto stages = profile.stages();
  std::stable_sort(stages.begin(), stages.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  const double total = profile.total();
  std::string line = format("profile epoch %d: %.2fs =", epoch + 1, total);
  for (const auto& [name, seconds] : stages)
    if (total > 0 && seconds >= 0.005 * total)
      line += format(" %s %.2fs (%.0f%%)", name.c_str(), seconds, 100.0 * seconds / total);
  LOGGER.info(line);

  // profile.csv: one row per epoch, one column per stage in seconds; a stage that did not run
  // in an epoch is 0 (validation with val=false, the pictures of the first epoch).
  std::vector<std::string> names;
  for (const auto& row : s_->profile_rows)
    for (const auto& stage : row.profile.stages())
      if (std::find(names.begin(), names.end(), stage.first) == names.end())
        names.push_back(stage.first);
  std::string text = "epoch,batches,total";
  for (const auto& n : names) text += "," + n;
  text += "\n";
  for (const auto& row : s_->profile_rows) {
    text += format("%d,%d,%.6f", row.epoch, row.batches, row.profile.total());
    for (const auto& n : names) text += format(",%.6f", row.profile.seconds(n));
    text += "\n";
  }
  if (!s_->main) return;
  // Atomic but not synced: rewritten every epoch, and a sync here would wait for the
  // checkpoints the writer thread is putting on the disk.
  try {
    files::write_atomically(save_dir / "profile.csv", text, files::Durability::kRenameOnly);
  } catch (const files::WriteError& e) {
    LOGGER.warning(std::string("could not write profile.csv: ") + e.what());
  }
}

std::vector<std::string> Trainer::metric_names() const {
  std::vector<std::string> names;
  for (const char* suffix : {"(B)", "(M)"}) {
    if (std::string(suffix) == "(M)" && !model_->is_segment()) break;
    for (const char* m : {"precision", "recall", "mAP50", "mAP50-95"})
      names.push_back(std::string("metrics/") + m + suffix);
  }
  return names;
}

std::vector<std::string> Trainer::results_header() const {
  std::vector<std::string> header{"epoch", "time"};
  for (const auto& n : loss_names) header.push_back("train/" + n);
  for (const auto& k : metric_names()) header.push_back(k);
  for (const auto& n : loss_names) header.push_back("val/" + n);
  for (int j = 0; j < 3; ++j) header.push_back("lr/pg" + std::to_string(j));
  return header;
}

void Trainer::write_results_row(double elapsed) {
  if (!s_->main) return;
  // The columns are fixed by the task; an epoch without validation repeats the last metrics.
  const std::vector<std::string> metric_names = this->metric_names();
  if (s_->csv_header.empty()) s_->csv_header = results_header();
  std::vector<double> row{double(epoch + 1), elapsed};
  for (float v : tloss) row.push_back(v);
  for (const auto& k : metric_names) {
    double value = 0.0;
    for (const auto& [name, v] : metrics)
      if (name == k) value = v;
    row.push_back(value);
  }
  for (size_t k = 0; k < loss_names.size(); ++k)
    row.push_back(k < s_->val_losses.size() ? s_->val_losses[k] : 0.0);
  for (int j = 0; j < 3; ++j) row.push_back(lr["lr/pg" + std::to_string(j)]);
  s_->csv_rows.push_back(row);

  // results.csv in the layout of the YOLO ecosystem's 8.3 runs, so its tools read ours: a header of
  // the metric names, one row per epoch, fixed-width columns; readers trim the spaces.
  std::string text;
  for (size_t c = 0; c < s_->csv_header.size(); ++c)
    text += format(c ? ",%23s" : "%23s", s_->csv_header[c].c_str());
  text += "\n";
  for (const auto& r : s_->csv_rows) {
    for (size_t c = 0; c < r.size(); ++c) text += format(c ? ",%23.5g" : "%23.5g", r[c]);
    text += "\n";
  }
  files::write_atomically_or_throw<EngineError>(save_dir / "results.csv", text);
}

CheckpointMeta Trainer::checkpoint_meta(int finished_epoch, bool finished) {
  CheckpointMeta meta;
  meta.arch = ema_->arch();
  meta.names = ema_->names = model_->names;
  meta.imgsz = options_.imgsz;
  meta.epoch = finished_epoch;
  meta.epochs = epochs;
  meta.best_fitness = best_fitness;
  meta.ema_updates = s_->ema_updates;
  meta.finished = finished;
  meta.date = files::utc_timestamp();
  for (const auto& [k, v] : metrics) meta.metrics.emplace_back(k, v);
  for (const auto& [k, v] : train_args_list(options_)) meta.train_args[k] = v;
  return meta;
}

// last.pt with everything a resume needs, serialised while the tensors are this epoch's.
std::string Trainer::last_checkpoint_bytes(const CheckpointMeta& meta) {
  ResumeState state;
  state.model = model_;
  {
    auto generator = at::detail::getDefaultCPUGenerator();
    std::lock_guard<std::mutex> lock(generator.mutex());
    state.rng = generator.get_state();
  }
  const int64_t columns = s_->csv_header.empty() ? 0 : int64_t(s_->csv_header.size());
  state.results = torch::empty({int64_t(s_->csv_rows.size()), columns}, torch::kDouble);
  for (size_t r = 0; r < s_->csv_rows.size(); ++r)
    for (int64_t c = 0; c < columns && c < int64_t(s_->csv_rows[r].size()); ++c)
      state.results[int64_t(r)][c] = s_->csv_rows[r][size_t(c)];
  state.fitness = fitness;
  state.best_fitness = best_fitness;
  state.last_opt_step = s_->last_opt_step;
  state.accumulate = s_->accumulate;
  state.stale = s_->stale;
  state.best_epoch = s_->best_epoch;
  return checkpoint_bytes(ema_, meta, s_->optimizer.get(), &state);
}

// A fresh run's last.pt before its first batch: killed in the first epoch, it resumes from the
// start instead of having nothing to resume from.
void Trainer::save_start() {
  if (!s_->main) return;
  s_->checkpoints.write(save_dir / "weights" / "last.pt",
                        last_checkpoint_bytes(checkpoint_meta(-1, false)));
}

void Trainer::save(bool finished) {
  if (!s_->main) return;
  const CheckpointMeta meta = checkpoint_meta(epoch, finished);
  const auto weights = save_dir / "weights";
  // Serialised here, while the weights are this epoch's; written and synced in the background.
  std::string last = last_checkpoint_bytes(meta);
  // save_period: a numbered copy of last.pt every N epochs, written through its own temporary.
  if (options_.save_period > 0 && (epoch + 1) % options_.save_period == 0)
    s_->checkpoints.write(weights / ("epoch" + std::to_string(epoch + 1) + ".pt"), last);
  s_->checkpoints.write(weights / "last.pt", std::move(last));
  if (fitness >= best_fitness || !s_->best_saved) {
    s_->checkpoints.write(weights / "best.pt", checkpoint_bytes(ema_, meta));
    s_->best_saved = true;
  }
}

std::optional<ValResult> Trainer::final_eval() {
  const auto best = save_dir / "weights" / "best.pt";
  std::error_code ec;
  if (!fs::exists(best, ec)) return std::nullopt;
  LOGGER.info("\nValidating " + best.string() + "...");
  auto loaded = load_checkpoint(best);
  LOGGER.info(loaded.model->summary());
  ValOptions vo;
  vo.names = loaded.model->names;
  vo.save_dir = save_dir;
  vo.plots = options_.plots;
  vo.per_class = true;
  vo.render_plots = options_.render_plots;
  auto result = validate(loaded.model, *s_->val_loader, vo);
  metrics = result.metrics();
  return result;
}

TrainResult Trainer::train() {
  try {
    return run_training();
  } catch (const std::exception& e) {
    // The other ranks' errors then say why this one left.
    if (options_.group) options_.group->report_failure(e.what());
    throw;
  }
}

void Trainer::log_run_start() {
  const auto& o = options_;
  LOGGER.info(format("Image sizes %d train, %d val", o.imgsz, o.imgsz));
  LOGGER.info(format("Using %d dataloader workers, %d compute threads", o.workers,
                     torch::get_num_threads()));
  if (s_->amp || s_->val_amp)
    LOGGER.info(format("AMP: bfloat16 convolutions for %s (amp=%s)",
                       s_->amp && s_->val_amp ? "training and validation"
                       : s_->amp             ? "training"
                                             : "validation",
                       o.amp.c_str()));
  LOGGER.info("Logging results to " + save_dir.string());
  LOGGER.info(format("Starting training for %d epochs...", epochs));
}

// Best epoch, best fitness and the count of epochs without improvement (for patience).
void Trainer::track_fitness() {
  int& stale = s_->stale;
  if (fitness > best_fitness || s_->csv_rows.empty()) s_->best_epoch = epoch;
  if (fitness >= best_fitness) {
    best_fitness = fitness;
    stale = 0;
  } else {
    ++stale;
  }
}

// results.csv, the charts and the checkpoints of a finished epoch.
void Trainer::save_epoch(bool finished) {
  const auto& o = options_;
  {
    StageTimer timer("save");
    write_results_row(s_->elapsed_before + seconds_since(s_->start));
  }
  // The charts (from results.csv) before the checkpoints: their files are synced, and a sync
  // behind the checkpoints' would wait for those to reach the disk, which otherwise happens
  // on the writer's thread while the next epoch trains.
  if (o.render_plots && s_->main) {
    StageTimer timer("charts");
    o.render_plots(save_dir);
  }
  StageTimer timer("save");
  save(finished);
}

// Rank 0 alone validated: its verdict holds for every rank. A stop another rank got meanwhile
// stays set and ends the group at the next batch.
Trainer::EpochOutcome Trainer::agree_outcome(EpochOutcome own) {
  if (!s_->group) return own;
  const std::string key = "epoch/" + std::to_string(epoch);
  if (s_->main) {
    s_->group->publish(key, own == EpochOutcome::stop    ? "stop"
                            : own == EpochOutcome::early ? "early"
                                                         : "go");
    return own;
  }
  const std::string verdict = s_->group->await(key);
  return verdict == "stop"    ? EpochOutcome::stop
         : verdict == "early" ? EpochOutcome::early
                              : EpochOutcome::go;
}

Trainer::EpochOutcome Trainer::run_epoch() {
  const auto& o = options_;
  const auto t_epoch = Clock::now();
  // With profile=true every stage of the epoch is timed; whatever no stage claims (callbacks,
  // learning-rate updates, console output) is "other", so the stages add up to the epoch.
  StageProfile profile;
  std::optional<StageProfileScope> profile_scope;
  std::optional<StageTimer> epoch_timer;
  if (o.profile) {
    profile_scope.emplace(&profile);
    epoch_timer.emplace("other");
  }
  run_callbacks("on_train_epoch_start");
  train_epoch();
  run_callbacks("on_train_epoch_end");
  if (s_->group) stop = s_->group->any(stop.load());
  const bool final_epoch = epoch + 1 >= epochs;
  if (stop) {
    // Answer the stop at once, without validation. The half-trained epoch is not saved:
    // last.pt stays that of the last finished epoch (or of the start), so a resume repeats
    // this epoch from exactly where it began and ends as an uninterrupted run would.
    epoch_time = seconds_since(t_epoch);
    run_callbacks("on_fit_epoch_end");
    LOGGER.info(format("Training stopped in epoch %d; %s holds epoch %d, from which a resume "
                       "repeats epoch %d",
                       epoch + 1, (save_dir / "weights" / "last.pt").c_str(), epoch, epoch + 1));
    return EpochOutcome::stopped_in_epoch;
  }
  if (o.val || final_epoch) validate_epoch();
  track_fitness();
  const int& stale = s_->stale;
  save_epoch(final_epoch || (!stop && stale >= o.patience));
  ++s_->epochs_completed;
  epoch_time = seconds_since(t_epoch);
  if (o.profile) {
    epoch_timer.reset();
    profile_scope.reset();
    record_profile(profile);
  }
  run_callbacks("on_fit_epoch_end");
  return agree_outcome(stop                                  ? EpochOutcome::stop
                       : stale >= o.patience && !final_epoch ? EpochOutcome::early
                                                             : EpochOutcome::go);
}

TrainResult Trainer::run_training() {
  s_->start = Clock::now();
  setup();
  log_run_start();
  run_callbacks("on_train_start");

  TrainResult result;
  result.save_dir = save_dir;
  s_->epochs_completed = s_->start_epoch;
  for (epoch = s_->start_epoch; epoch < epochs; ++epoch) {
    const EpochOutcome outcome = run_epoch();
    if (outcome == EpochOutcome::stopped_in_epoch) {
      result.stopped = true;
      break;
    }
    if (outcome == EpochOutcome::stop) {
      result.stopped = true;
      LOGGER.info(format("Training stopped after epoch %d", epoch + 1));
      break;
    }
    if (outcome == EpochOutcome::early) {
      LOGGER.info(
          format("Stopping training early as no improvement observed in last %d epochs. "
                 "Best results observed at epoch %d, best model saved as best.pt.",
                 options_.patience, s_->best_epoch + 1));
      break;
    }
  }
  result.epochs_completed = s_->epochs_completed;
  // Every rank leaves the loop at the same epoch; none goes before rank 0's files are on disk.
  s_->checkpoints.wait();
  if (s_->group) s_->group->barrier();
  if (!result.stopped && s_->main) {
    // This session's epochs, which its clock timed (a resumed run's earlier ones are not).
    LOGGER.info(format("\n%d epochs completed in %.3f hours.",
                       s_->epochs_completed - s_->start_epoch, seconds_since(s_->start) / 3600.0));
    result.metrics = final_eval();
    if (options_.render_plots) options_.render_plots(save_dir);
    LOGGER.info("Results saved to " + save_dir.string());
  }
  run_callbacks("on_train_end");
  return result;
}

}  // namespace orvane::engine
