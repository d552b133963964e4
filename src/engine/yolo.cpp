#include "engine/yolo.h"

#include <algorithm>
#include <set>

#include "engine/compute_thread.h"
#include "engine/data/data_config.h"
#include "engine/data/loader.h"
#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/export/exported_model.h"
#include "engine/exporter.h"
#include "engine/logger.h"
#include "engine/precision.h"
#include "engine/sliced_validator.h"
#include "engine/train_args.h"

namespace orvane::engine {

namespace fs = std::filesystem;

namespace {

// LibTorch as Debian ships it starts with one intra-op thread; on one thread a training step is
// several times slower, so every entry point asks for all cores.
void use_all_cores(int requested = 0) { configure_compute_threads(requested); }

int round_imgsz(int imgsz) {
  if (imgsz < 32) {
    LOGGER.warning("imgsz=" + std::to_string(imgsz) + " is below 32, using 32");
    return 32;
  }
  if (imgsz % 32 == 0) return imgsz;
  const int rounded = (imgsz + 31) / 32 * 32;
  LOGGER.warning("imgsz=" + std::to_string(imgsz) +
                 " must be a multiple of max stride 32, updating to " + std::to_string(rounded));
  return rounded;
}

}  // namespace

YOLO::YOLO(const std::string& model, const ZooOptions& zoo) {
  const fs::path path(model);
  std::error_code ec;
  if (model.empty()) throw EngineError("no model given (a weights file or a name like yolov8n.pt)");
  if (fs::is_directory(path, ec))
    throw EngineError(model + " is a folder, not a weights file");
  if (fs::exists(path, ec) && ExportedModel::is_exported_path(path)) {
    exported_ = ExportedModel::load(path);
    if (exported_->task() == "classify")
      throw EngineError(model + " is an image classifier: it ranks classes, it finds no boxes " +
                        "(orvane predict model=" + path.filename().string() + " source=...)");
    path_ = path;
    LOGGER.info("Loaded " + path.filename().string() + " (" + exported_->format() + ", " +
                (exported_->is_segment() ? "segment" : "detect") + ", " +
                std::to_string(exported_->names().size()) + " classes, input " +
                std::to_string(exported_->height()) + "x" + std::to_string(exported_->width()) +
                ")");
    return;
  }
  const bool fresh_name = path.extension() == ".yaml" && !path.has_parent_path();
  if (fs::exists(path, ec) || is_zoo_name(model)) {
    // A zoo name is the ecosystem's pretrained file: found or downloaded, never fresh weights.
    const fs::path file = resolve_weights(model, zoo);
    auto loaded = load_weights(file);
    model_ = loaded.model;
    meta_ = loaded.meta;
    path_ = file;
    foreign_ = loaded.foreign;
    has_optimizer_ = loaded.has_optimizer;
  } else if (auto arch = parse_model_name(model); arch && fresh_name) {
    model_ = YoloModel(*arch);
    model_->eval();
    LOGGER.info("Building " + arch->name() + " with fresh weights from " + model);
  } else if (arch && !path.has_parent_path()) {
    throw EngineError(model + ": give a weights file, a zoo name (" + arch->name() +
                      ".pt, pretrained) or " + arch->name() + ".yaml (fresh weights)");
  } else {
    throw EngineError("weights file not found: " + model);
  }
  // No summary here: training prints the model that really trains (its head may be rebuilt for
  // the data's classes), validation and prediction the fused model they run.
}

namespace {
void refuse_exported(const std::shared_ptr<ExportedModel>& exported, const fs::path& path,
                     const std::string& what) {
  if (exported)
    throw EngineError(what + " needs a .pt checkpoint; " + path.filename().string() +
                      " is an exported model that can only predict");
}
}  // namespace

namespace {
std::string saved_value(const CheckpointMeta& meta, const std::string& key) {
  auto it = meta.train_args.find(key);
  return it == meta.train_args.end() ? "" : it->second;
}
}  // namespace

// The options of the run being resumed, from its last.pt. A key the caller gave that would
// change what the run computes is refused; the few in kResumeMayChange are taken from the caller.
TrainOptions resumed_options(const CheckpointMeta& meta, const TrainOptions& given,
                             const fs::path& path) {
  TrainOptions restored;
  std::set<std::string> known;
  const auto given_text = train_args_list(given);
  for (const auto& [k, v] : given_text) known.insert(k);
  std::string unknown;
  for (const auto& [k, v] : meta.train_args) {
    // Every resume continues the run: the saved value says nothing more (the ecosystem keeps the
    // path it resumed from there).
    if (k == "resume") continue;
    if (!known.count(k)) {
      // An option this version does not know (the ecosystem's files name dozens): its default
      // applies, and the log says so once.
      unknown += (unknown.empty() ? "" : ", ") + k;
      continue;
    }
    // A value that no longer parses would silently change the run being resumed (another
    // learning rate, another data set): refuse rather than continue a different training.
    try {
      set_train_arg(restored, k, v);
    } catch (const EngineError& e) {
      throw EngineError("cannot resume from " + path.string() + ": its saved training option " +
                        k + "=" + v + " does not parse (" + e.what() + ")");
    }
  }
  if (!unknown.empty())
    LOGGER.warning("resume: " + path.string() +
                   " names training options this version does not know; they are ignored: " +
                   unknown);
  const auto saved_text = train_args_list(restored);
  for (const auto& key : given.given_keys) {
    if (key == "resume") continue;
    const auto mine = std::find_if(given_text.begin(), given_text.end(),
                                   [&](const auto& kv) { return kv.first == key; });
    if (mine == given_text.end()) continue;  // not an option (model, progress)
    const bool may_change = std::find(kResumeMayChange.begin(), kResumeMayChange.end(), key) !=
                            kResumeMayChange.end();
    if (may_change) {
      set_train_arg(restored, key, mine->second);
      continue;
    }
    const auto theirs = std::find_if(saved_text.begin(), saved_text.end(),
                                     [&](const auto& kv) { return kv.first == key; });
    if (theirs != saved_text.end() && theirs->second != mine->second) {
      std::string allowed;
      for (const auto& k : kResumeMayChange) allowed += (allowed.empty() ? "" : ", ") + k;
      throw EngineError("cannot resume with " + key + "=" + mine->second + ": the run was " +
                        "started with " + key + "=" + saved_value(meta, key) +
                        " and a resume continues it unchanged (only " + allowed +
                        " may change)");
    }
  }
  // The rest, threads included, stays as saved: another intra-op thread count sums in another
  // order and the run would no longer repeat its uninterrupted self to the last digit.
  restored.resume = true;
  restored.render_plots = given.render_plots;
  restored.group = given.group;
  return restored;
}

const std::vector<std::string>& YOLO::names() const {
  return exported_ ? exported_->names() : model_->names;
}

std::string YOLO::task() const {
  const bool segment = exported_ ? exported_->is_segment() : model_->is_segment();
  return segment ? "segment" : "detect";
}

fs::path YOLO::export_to(const std::string& format, int imgsz) {
  if (!on_compute_thread()) return run_on_compute_thread([&] { return export_to(format, imgsz); });
  refuse_exported(exported_, path_, "export");
  if (path_.empty())
    throw EngineError("export needs trained weights; a fresh " + model_->arch().name() +
                      " has no checkpoint file to export");
  ExportOptions options;
  options.weights = path_.string();
  options.format = format;
  options.imgsz = imgsz;
  return export_model(options);
}

void YOLO::add_callback(const std::string& event, Trainer::Callback callback) {
  refuse_exported(exported_, path_, "training callbacks");
  // Validate the event name now rather than at train time.
  Trainer probe(model_, TrainOptions{});
  probe.add_callback(event, callback);
  callbacks_.emplace_back(event, std::move(callback));
}

TrainResult YOLO::train(TrainOptions options) {
  if (!on_compute_thread()) return run_on_compute_thread([&] { return train(std::move(options)); });
  refuse_exported(exported_, path_, "train");
  fs::path resume_from;
  if (options.resume) {
    if (!meta_ || path_.empty())
      throw EngineError("resume=true needs the last.pt of an earlier run as the model");
    if (foreign_ && !has_optimizer_)
      throw EngineError(path_.filename().string() +
                        " is the YOLO ecosystem's checkpoint without optimizer state (its best.pt, "
                        "a finished run's last.pt, a pretrained file): it cannot be resumed, only "
                        "fine-tuned from (model=" + path_.string() + " without resume)");
    if (!has_optimizer_)
      throw EngineError(path_.filename().string() +
                        " holds no optimizer state (best.pt and exported weights do not): it can "
                        "only be fine-tuned from (model=" + path_.string() +
                        " without resume); resume from the run's weights/last.pt");
    if (meta_->finished || meta_->epoch + 1 >= meta_->epochs) {
      LOGGER.info(path_.string() + ": the run already finished (" +
                  std::to_string(meta_->epoch + 1) + " of " + std::to_string(meta_->epochs) +
                  " epochs); nothing to resume");
      TrainResult done;
      done.save_dir = path_.parent_path().parent_path();
      done.epochs_completed = meta_->epoch + 1;
      done.already_finished = true;
      return done;
    }
    options = resumed_options(*meta_, options, path_);
    resume_from = path_;
  }
  Trainer trainer(model_, std::move(options), resume_from, /*fresh=*/!meta_.has_value());
  for (const auto& [event, cb] : callbacks_) trainer.add_callback(event, cb);
  auto result = trainer.train();
  // Keep what training produced: best.pt, or last.pt after a stop.
  const auto weights = result.save_dir / "weights" / (result.stopped ? "last.pt" : "best.pt");
  std::error_code ec;
  if (fs::exists(weights, ec)) {
    // Still the ecosystem's file when a resume from it stopped before its first epoch ended.
    auto loaded = load_weights(weights);
    model_ = loaded.model;
    meta_ = loaded.meta;
    path_ = weights;
    foreign_ = loaded.foreign;
    has_optimizer_ = loaded.has_optimizer;
    fused_ = nullptr;
  }
  return result;
}

TuneResult YOLO::tune(TuneOptions options) {
  if (!on_compute_thread()) return run_on_compute_thread([&] { return tune(std::move(options)); });
  refuse_exported(exported_, path_, "tune");
  return engine::tune(model_, /*fresh=*/!meta_.has_value(), std::move(options), callbacks_);
}

namespace {

// The validator's options from val's arguments; makes the folder the results go to.
ValOptions val_options(const ValArgs& args, const std::vector<std::string>& names) {
  ValOptions vo;
  vo.conf = args.conf;
  vo.iou = args.iou;
  vo.names = names;
  vo.save_dir = args.save_dir;
  vo.plots = args.plots;
  vo.per_class = true;
  vo.amp = resolve_amp(args.amp, AmpUse::predict);
  vo.render_plots = args.render_plots;
  if (!args.save_dir.empty()) {
    std::error_code ec;
    fs::create_directories(args.save_dir, ec);
    if (ec) throw EngineError("cannot create " + args.save_dir.string() + ": " + ec.message());
  }
  return vo;
}

}  // namespace

ValResult YOLO::val(const ValArgs& args) {
  if (!on_compute_thread()) return run_on_compute_thread([&] { return val(args); });
  refuse_exported(exported_, path_, "val");
  use_all_cores(args.threads);
  if (args.data.empty()) throw EngineError("val needs data=path/to/data.yaml");
  if (args.device != "cpu" && !args.device.empty())
    LOGGER.warning("device=" + args.device + " is not available in this build (no CUDA); using the CPU");
  auto config = load_data_config(args.data);
  if (config.nc() != model_->nc())
    throw EngineError("the model has " + std::to_string(model_->nc()) + " classes, " +
                      args.data + " names " + std::to_string(config.nc()));
  if (args.slice.enabled()) {
    PredictOptions po;
    po.imgsz = round_imgsz(args.imgsz);
    po.slice = args.slice;
    ensure_fused();
    return validate_sliced(network_of(fused_, args.amp), config, args.split, po,
                           val_options(args, model_->names));
  }
  LoaderOptions lo;
  lo.imgsz = round_imgsz(args.imgsz);
  lo.batch = std::max(1, args.batch);
  lo.workers = std::max(0, args.workers);
  lo.rect = true;
  lo.rect_pad = kValidationRectPad;
  lo.segment = model_->is_segment();
  lo.prefix = args.split;
  auto loader = build_loader(config, args.split, lo);
  const ValOptions vo = val_options(args, model_->names);
  ensure_fused();
  return validate(fused_, *loader, vo);
}

void YOLO::ensure_fused() {
  if (fused_) return;
  fused_ = clone_model(model_);
  fused_->eval();
  fused_->fuse();
  LOGGER.info(fused_->summary());
}

std::vector<Results> YOLO::predict(const std::string& image_path, const PredictOptions& options) {
  if (!on_compute_thread())
    return run_on_compute_thread([&] { return predict(image_path, options); });
  use_all_cores();
  if (exported_) return engine::predict(exported_->network(), image_path, options);
  ensure_fused();
  PredictOptions o = options;
  if (o.imgsz % 32 != 0 || o.imgsz < 32) o.imgsz = round_imgsz(o.imgsz);
  return engine::predict(fused_, image_path, o);
}

Results YOLO::predict_image(const cv::Mat& bgr, const std::string& path,
                            const PredictOptions& options) {
  if (!on_compute_thread())
    return run_on_compute_thread([&] { return predict_image(bgr, path, options); });
  use_all_cores();
  if (exported_) return engine::predict_image(exported_->network(), bgr, path, options);
  ensure_fused();
  PredictOptions o = options;
  if (o.imgsz % 32 != 0 || o.imgsz < 32) o.imgsz = round_imgsz(o.imgsz);
  return engine::predict_image(fused_, bgr, path, o);
}

}  // namespace orvane::engine
