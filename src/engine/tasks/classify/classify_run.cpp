#include "engine/tasks/classify/classify_run.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iomanip>
#include <numeric>
#include <sstream>

#include "engine/checkpoint.h"
#include "engine/error.h"
#include "engine/export/exported_model.h"
#include "engine/logger.h"
#include "engine/precision.h"
#include "engine/train_args.h"
#include "engine/trainer.h"
#include "files/atomic_file.h"
#include "files/text_format.h"

namespace orvane::engine::classify {

namespace fs = std::filesystem;

namespace {

const char* const kResultsHeader =
    "epoch,train/loss,metrics/accuracy_top1,metrics/accuracy_top5,val/loss,lr/pg0,lr/pg1,lr/pg2";

}  // namespace

void save_classifier(const fs::path& path, ClassifyModel& model, const CheckpointMeta& meta) {
  files::write_atomically_or_throw<EngineError>(path, checkpoint_bytes(*model, meta));
}

namespace {

// The metadata of a classifier's checkpoint; EngineError for any other file.
CheckpointMeta classifier_meta(const fs::path& path, torch::serialize::InputArchive& archive) {
  CheckpointMeta meta = open_archive(path, archive);
  if (meta.arch.task != Task::classify)
    throw EngineError(path.string() + " holds a " + meta.arch.name() +
                      " model, not an image classifier");
  return meta;
}

}  // namespace

LoadedClassifier load_classifier(const fs::path& path) {
  torch::serialize::InputArchive archive;
  LoadedClassifier loaded;
  loaded.meta = classifier_meta(path, archive);
  loaded.model = ClassifyModel(loaded.meta.arch, loaded.meta.names);
  load_archive_weights(path, archive, *loaded.model, loaded.meta);
  return loaded;
}

bool is_classifier(const std::string& model) {
  if (parse_classify_name(model)) return true;
  try {
    if (ExportedModel::is_exported_path(model))
      return ExportedModel::load(model)->task() == "classify";
    torch::serialize::InputArchive archive;
    classifier_meta(model, archive);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

LoadedClassifier open_classifier(const std::string& model, const std::vector<std::string>& names) {
  std::error_code ec;
  if (fs::is_regular_file(model, ec)) return load_classifier(model);
  const auto spec = parse_classify_name(model);
  if (!spec) throw EngineError("weights file not found: " + model);
  if (fs::path(model).extension() != ".yaml")
    throw EngineError("weights file not found: " + model + " (the ecosystem's pretrained " +
                      "classifiers are not read yet; model=" + spec->name() +
                      ".yaml builds fresh weights)");
  LoadedClassifier fresh;
  fresh.meta.arch = *spec;
  fresh.meta.arch.nc = names.empty() ? 1000 : int(names.size());
  fresh.model = ClassifyModel(fresh.meta.arch, names);
  fresh.meta.names = fresh.model->names;
  return fresh;
}

namespace {

// The logits of a batch in float32, the forward pass under bfloat16 autocast with `amp`.
torch::Tensor logits_of(ClassifyModel& model, const torch::Tensor& images, bool amp) {
  const AutocastGuard autocast(amp);
  return model->forward(images).to(torch::kFloat32);
}

}  // namespace

ClassifyMetrics validate_classifier(ClassifyModel& model, const std::vector<Sample>& samples,
                                    int imgsz, int batch, bool amp) {
  torch::NoGradGuard no_grad;
  const bool was_training = model->is_training();
  model->eval();
  ClassifyMetrics m;
  std::vector<size_t> order(samples.size());
  std::iota(order.begin(), order.end(), 0);
  double loss_sum = 0.0;
  int64_t top1 = 0, top5 = 0;
  std::vector<std::string> skipped;
  for (size_t first = 0; first < order.size(); first += size_t(std::max(batch, 1))) {
    auto [images, classes] =
        load_batch(samples, order, first, size_t(std::max(batch, 1)), imgsz, {}, nullptr, &skipped);
    if (!images.defined()) continue;
    const auto logits = logits_of(model, images, amp);
    loss_sum += torch::nn::functional::cross_entropy(
                    logits, classes,
                    torch::nn::functional::CrossEntropyFuncOptions().reduction(torch::kSum))
                    .item<double>();
    const auto k = std::min<int64_t>(5, logits.size(1));
    const auto best = std::get<1>(logits.topk(k, 1));
    const auto hits = best.eq(classes.unsqueeze(1));
    top1 += hits.select(1, 0).sum().item<int64_t>();
    top5 += hits.any(1).sum().item<int64_t>();
    m.images += int(classes.size(0));
  }
  for (const auto& s : skipped) LOGGER.warning(s + " does not decode: left out of validation");
  if (m.images > 0) {
    m.top1 = double(top1) / m.images;
    m.top5 = double(top5) / m.images;
    m.loss = loss_sum / m.images;
  }
  model->train(was_training);
  return m;
}

namespace {

// The k largest of one image's class probabilities [nc], most likely first.
std::vector<std::pair<int, float>> top_classes(const torch::Tensor& probs, int k) {
  const auto top = probs.topk(std::min<int64_t>(k, probs.size(0)));
  std::vector<std::pair<int, float>> out;
  for (int64_t i = 0; i < std::get<0>(top).size(0); ++i)
    out.emplace_back(int(std::get<1>(top)[i].item<int64_t>()), std::get<0>(top)[i].item<float>());
  return out;
}

}  // namespace

std::vector<std::pair<int, float>> predict_classifier(ClassifyModel& model, const cv::Mat& bgr,
                                                      int imgsz, int k, bool amp) {
  torch::NoGradGuard no_grad;
  const bool was_training = model->is_training();
  model->eval();
  const int size = int(std::ceil(std::max(imgsz, 32) / 32.0) * 32);
  const auto probs = logits_of(model, eval_tensor(bgr, size).unsqueeze(0), amp).softmax(1)[0];
  model->train(was_training);
  return top_classes(probs, k);
}

std::vector<std::pair<int, float>> predict_classifier(ExportedModel& model, const cv::Mat& bgr,
                                                      int k) {
  if (model.task() != "classify")
    throw EngineError("the " + model.format() + " model finds " + model.task() +
                      " results, it is not an image classifier");
  torch::NoGradGuard no_grad;
  const auto probs = model.forward(eval_tensor(bgr, model.height()).unsqueeze(0)).pred;
  if (probs.dim() != 2 || probs.size(1) != int64_t(model.names().size()))
    throw EngineError("the " + model.format() + " classifier's output is not one probability " +
                      "per class");
  return top_classes(probs[0], k);
}

namespace {

// Decay on the weights of convolutions and linear layers; none on biases and BatchNorm.
std::unique_ptr<torch::optim::Optimizer> make_optimizer(ClassifyModel& model, const TrainOptions& o,
                                                        int nc, long long iterations, double* lr) {
  std::vector<torch::Tensor> decay, no_decay;
  for (const auto& p : model->named_parameters(true)) {
    if (!p.value().requires_grad()) continue;
    const bool is_weight = p.key().size() > 7 && p.key().substr(p.key().size() - 7) == ".weight";
    (is_weight && p.value().dim() > 1 ? decay : no_decay).push_back(p.value());
  }
  std::string name = o.optimizer;
  double momentum = o.momentum;
  *lr = o.lr0;
  if (name == "auto") {
    if (iterations > kAutoOptimizerSgdIterations) {
      name = "SGD";
      *lr = 0.01;
    } else {
      name = "AdamW";
      *lr = std::round(0.002 * 5 / (4 + nc) * 1e6) / 1e6;
    }
    momentum = 0.9;
  }
  LOGGER.info("optimizer: " + name + " (lr=" + std::to_string(*lr) + ")");
  if (name == "SGD") {
    auto options = [&](double decay_value) {
      auto opts = std::make_unique<torch::optim::SGDOptions>(*lr);
      opts->momentum(momentum).nesterov(true).weight_decay(decay_value);
      return opts;
    };
    std::vector<torch::optim::OptimizerParamGroup> groups;
    groups.emplace_back(no_decay, options(0.0));
    groups.emplace_back(decay, options(o.weight_decay));
    return std::make_unique<torch::optim::SGD>(std::move(groups),
                                               torch::optim::SGDOptions(*lr).momentum(momentum));
  }
  if (name != "Adam" && name != "AdamW")
    throw EngineError("optimizer=" + name + " is not one of SGD, Adam, AdamW, auto");
  auto options = [&](double decay_value) {
    auto opts = std::make_unique<torch::optim::AdamWOptions>(*lr);
    opts->betas({momentum, 0.999}).weight_decay(decay_value);
    return opts;
  };
  std::vector<torch::optim::OptimizerParamGroup> groups;
  groups.emplace_back(no_decay, options(0.0));
  groups.emplace_back(decay, options(name == "AdamW" ? o.weight_decay : 0.0));
  return std::make_unique<torch::optim::AdamW>(std::move(groups), torch::optim::AdamWOptions(*lr));
}

void set_lr(torch::optim::Optimizer& opt, double lr) {
  for (auto& g : opt.param_groups()) g.options().set_lr(lr);
}

std::string results_row(const ClassifyEpoch& e) {
  std::ostringstream row;
  row << e.epoch + 1 << std::setprecision(6);
  for (double v : {e.train_loss, e.val.top1, e.val.top5, e.val.loss, e.lr, e.lr, e.lr})
    row << "," << v;
  return row.str();
}

}  // namespace

ClassifyTrainResult train_classifier(ClassifyModel& model, TrainOptions o,
                                     const ClassifyCallbacks& callbacks) {
  if (o.epochs < 1) throw EngineError("epochs must be at least 1");
  if (o.imgsz % 32 != 0) {
    const int rounded = (o.imgsz / 32 + 1) * 32;
    LOGGER.warning("imgsz=" + std::to_string(o.imgsz) + " must be a multiple of 32, updating to " +
                   std::to_string(rounded));
    o.imgsz = rounded;
  }
  const ClassifyData data = scan_classify_data(o.data);
  for (const auto& w : data.warnings) LOGGER.warning(w);
  if (data.names != model->names && int(data.names.size()) != model->nc())
    throw EngineError("the model has " + std::to_string(model->nc()) + " classes and " + o.data +
                      " " + std::to_string(data.names.size()));
  model->names = data.names;
  const int batch = std::max(1, std::min<int>(o.batch < 1 ? 16 : o.batch, int(data.train.size())));
  const int batches = int((data.train.size() + size_t(batch) - 1) / size_t(batch));

  const bool amp = resolve_amp(o.amp, AmpUse::train);
  if (amp) LOGGER.info("amp: the forward pass in bfloat16");
  torch::manual_seed(o.seed);
  double lr0 = o.lr0;
  auto optimizer = make_optimizer(model, o, model->nc(), (long long)batches * o.epochs, &lr0);

  ClassifyTrainResult result;
  result.save_dir = increment_path(fs::path(o.project) / o.name, o.exist_ok);
  std::error_code ec;
  fs::create_directories(result.save_dir / "weights", ec);
  if (ec) throw EngineError("cannot create the run folder " + result.save_dir.string());
  {
    YAML::Emitter args;
    args << YAML::BeginMap;
    for (const auto& [k, v] : train_args_list(o)) args << YAML::Key << k << YAML::Value << v;
    args << YAML::Key << "task" << YAML::Value << "classify";
    args << YAML::Key << "model" << YAML::Value << model->spec().name();
    args << YAML::Key << "save_dir" << YAML::Value << result.save_dir.string();
    args << YAML::EndMap;
    files::write_atomically_or_throw<EngineError>(result.save_dir / "args.yaml",
                                                  std::string(args.c_str()) + "\n");
  }
  LOGGER.info(model->summary());
  LOGGER.info("train: " + std::to_string(data.train.size()) + " images, " + data.val_split + ": " +
              std::to_string(data.val.size()) + " images, " + std::to_string(data.names.size()) +
              " classes");
  if (callbacks.on_start) callbacks.on_start(result.save_dir, o.epochs, batches);

  CheckpointMeta meta;
  meta.arch = model->spec();
  meta.names = model->names;
  meta.imgsz = o.imgsz;
  meta.epochs = o.epochs;
  for (const auto& [k, v] : train_args_list(o)) meta.train_args[k] = v;
  std::string results = std::string(kResultsHeader) + "\n";
  double best_fitness = -1.0;
  int best_epoch = 0;
  ClassifyModel best = clone_classifier(model);
  const TrainAugment aug{o.hyp.fliplr, o.hyp.hsv_h, o.hyp.hsv_s, o.hyp.hsv_v};
  const double warmup_iters = std::max(0.0, o.warmup_epochs) * batches;
  std::vector<std::string> skipped;

  for (int epoch = 0; epoch < o.epochs && !result.stopped; ++epoch) {
    const auto t0 = std::chrono::steady_clock::now();
    model->train();
    std::mt19937_64 rng(o.seed * 1000003ULL + uint64_t(epoch));
    std::vector<size_t> order(data.train.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    const double lf = (1.0 - double(epoch) / o.epochs) * (1.0 - o.lrf) + o.lrf;
    double loss_sum = 0.0;
    int seen = 0;
    double lr = lr0 * lf;
    for (int b = 0; b < batches; ++b) {
      const double it = double(epoch) * batches + b;
      lr = it < warmup_iters ? lr0 * lf * (it + 1) / (warmup_iters + 1) : lr0 * lf;
      set_lr(*optimizer, lr);
      auto [images, classes] = load_batch(data.train, order, size_t(b) * size_t(batch),
                                          size_t(batch), o.imgsz, aug, &rng, &skipped);
      for (const auto& s : skipped) LOGGER.warning(s + " does not decode: left out");
      skipped.clear();
      if (!images.defined()) continue;
      warm_up_batchnorm(*model);
      optimizer->zero_grad();
      const auto loss =
          torch::nn::functional::cross_entropy(logits_of(model, images, amp), classes);
      if (!std::isfinite(loss.item<double>())) {
        LOGGER.warning("a non-finite loss: batch skipped");
        continue;
      }
      loss.backward();
      torch::nn::utils::clip_grad_norm_(model->parameters(), 10.0);
      optimizer->step();
      loss_sum += loss.item<double>() * double(classes.size(0));
      seen += int(classes.size(0));
      if (callbacks.on_batch_end)
        callbacks.on_batch_end(epoch, b, batches, loss_sum / std::max(seen, 1));
      if (callbacks.stop_requested && callbacks.stop_requested()) {
        result.stopped = true;
        break;
      }
    }
    if (result.stopped) break;
    ClassifyEpoch report;
    report.epoch = epoch;
    report.epochs = o.epochs;
    report.train_loss = loss_sum / std::max(seen, 1);
    report.val = validate_classifier(model, data.val, o.imgsz, batch, amp);
    report.lr = lr;
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    results += results_row(report) + "\n";
    files::write_atomically_or_throw<EngineError>(result.save_dir / "results.csv", results);
    meta.epoch = epoch;
    meta.date = files::utc_timestamp();
    meta.metrics = {{"metrics/accuracy_top1", report.val.top1},
                    {"metrics/accuracy_top5", report.val.top5},
                    {"val/loss", report.val.loss}};
    const bool improved = report.val.fitness() >= best_fitness;
    if (improved) {
      best_fitness = report.val.fitness();
      best_epoch = epoch;
      best = clone_classifier(model);
      result.metrics = report.val;
    }
    meta.best_fitness = best_fitness;
    meta.finished = epoch + 1 == o.epochs || epoch - best_epoch >= o.patience;
    save_classifier(result.save_dir / "weights" / "last.pt", model, meta);
    if (improved) save_classifier(result.save_dir / "weights" / "best.pt", model, meta);
    result.epochs_completed = epoch + 1;
    std::ostringstream line;
    line << std::fixed << std::setprecision(4) << "epoch " << epoch + 1 << "/" << o.epochs
         << " loss " << report.train_loss << " top1 " << report.val.top1 << " top5 "
         << report.val.top5 << " val_loss " << report.val.loss << " (" << std::setprecision(1)
         << report.seconds << " s)";
    LOGGER.info(line.str());
    if (callbacks.on_epoch_end) callbacks.on_epoch_end(report);
    if (callbacks.stop_requested && callbacks.stop_requested()) result.stopped = true;
    if (epoch - best_epoch >= o.patience && epoch + 1 < o.epochs) {
      LOGGER.info("no improvement for " + std::to_string(o.patience) + " epochs: stopping early");
      break;
    }
  }
  if (result.epochs_completed > 0) copy_module_state(*best, *model);
  model->eval();
  return result;
}

}  // namespace orvane::engine::classify
