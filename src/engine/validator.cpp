#include "engine/validator.h"

#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>

#include "engine/error.h"
#include "engine/logger.h"
#include "engine/loss.h"
#include "engine/plotting.h"
#include "engine/precision.h"
#include "engine/predictor.h"
#include "engine/stage_profile.h"

namespace orvane::engine {

std::vector<std::pair<std::string, double>> ValResult::metrics() const {
  std::vector<std::pair<std::string, double>> out{{"metrics/precision(B)", box.mp()},
                                                  {"metrics/recall(B)", box.mr()},
                                                  {"metrics/mAP50(B)", box.map50()},
                                                  {"metrics/mAP50-95(B)", box.map()}};
  if (mask) {
    out.emplace_back("metrics/precision(M)", mask->mp());
    out.emplace_back("metrics/recall(M)", mask->mr());
    out.emplace_back("metrics/mAP50(M)", mask->map50());
    out.emplace_back("metrics/mAP50-95(M)", mask->map());
  }
  return out;
}

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string row(const std::string& name, int images, int instances,
                const std::vector<double>& values) {
  char buf[64];
  std::string out;
  std::snprintf(buf, sizeof buf, "%22s%11d%11d", name.substr(0, 22).c_str(), images, instances);
  out = buf;
  for (double v : values) {
    std::snprintf(buf, sizeof buf, "%11.3g", v);
    out += buf;
  }
  return out;
}

}  // namespace

namespace {

// Puts the model in eval mode for its lifetime and gives it back its training mode afterwards,
// on every way out (an exception from the loss or the loader included).
class EvalModeGuard {
 public:
  explicit EvalModeGuard(YoloModel& model) : model_(model), was_training_(model->is_training()) {
    model_->eval();
  }
  ~EvalModeGuard() {
    if (was_training_) model_->train();
  }
  EvalModeGuard(const EvalModeGuard&) = delete;
  EvalModeGuard& operator=(const EvalModeGuard&) = delete;

 private:
  YoloModel& model_;
  bool was_training_;
};

// Everything gathered over the batches, reduced to the result at the end.
struct Tally {
  explicit Tally(int nc) : confusion(nc), images_with_class(nc, 0), instances_of_class(nc, 0) {}
  std::vector<torch::Tensor> tp_box, tp_mask, confs, pred_classes, target_classes;
  ConfusionMatrix confusion;
  std::vector<int> images_with_class, instances_of_class;
  torch::Tensor loss_sum;
  int loss_batches = 0;
  int images = 0, instances = 0;
  ValSpeed total;  // summed milliseconds until `summarise` turns them into per-image figures
};

void add_batch_loss(YoloModel& model, const ModelOutput& out, const Batch& batch, Tally& tally) {
  try {
    LossResult loss = compute_loss(model, out, batch);
    tally.loss_sum = tally.loss_sum.defined() ? tally.loss_sum + loss.items : loss.items.clone();
    ++tally.loss_batches;
  } catch (const c10::Error& e) {
    throw EngineError(std::string("validation loss failed: ") + e.what_without_backtrace());
  }
}

// Counts an image's labels and scores its boxes (source pixels). False when it has no detection.
bool tally_image(const torch::Tensor& det, const torch::Tensor& gt_boxes,
                 const torch::Tensor& gt_cls, int nc, Tally& tally) {
  const int64_t npred = det.size(0), ngt = gt_cls.size(0);
  ++tally.images;
  tally.instances += static_cast<int>(ngt);
  std::set<int> present;
  for (int64_t k = 0; k < ngt; ++k) {
    const int c = static_cast<int>(gt_cls[k].item<int64_t>());
    if (c >= 0 && c < nc) ++tally.instances_of_class[c], present.insert(c);
  }
  for (int c : present) ++tally.images_with_class[c];
  tally.target_classes.push_back(gt_cls);
  tally.confusion.process_batch(det, gt_boxes, gt_cls);
  if (npred == 0) return false;
  auto det_cls = det.select(1, 5).to(torch::kInt64);
  tally.tp_box.push_back(
      match_predictions(det_cls, gt_cls, box_iou(gt_boxes, det.narrow(1, 0, 4))));
  tally.confs.push_back(det.select(1, 4));
  tally.pred_classes.push_back(det_cls);
  return true;
}

// Which predicted masks match which true ones, at every IoU threshold. Masks are compared on the
// prototype grid (1/4 of the input), where the loader also rasterises the ground truth.
torch::Tensor match_masks(const torch::Tensor& predicted, const Batch& batch,
                          const torch::Tensor& sel, const torch::Tensor& det_cls,
                          const torch::Tensor& gt_cls) {
  if (gt_cls.size(0) == 0) return torch::zeros({det_cls.size(0), kIouThresholds}, torch::kBool);
  auto gm = batch.masks.index({sel});
  if (gm.size(1) != predicted.size(1) || gm.size(2) != predicted.size(2))
    gm = torch::nn::functional::interpolate(
             gm.unsqueeze(0), torch::nn::functional::InterpolateFuncOptions()
                                  .size(std::vector<int64_t>{predicted.size(1), predicted.size(2)})
                                  .mode(torch::kBilinear)
                                  .align_corners(false))
             .squeeze(0)
             .gt(0.5)
             .to(torch::kFloat32);
  return match_predictions(det_cls, gt_cls, mask_iou(gm.flatten(1), predicted.flatten(1)));
}

// Scores the detections of image `i` of the batch against its labels.
void score_image(int64_t i, const Batch& batch, const ModelOutput& out,
                 const std::vector<torch::Tensor>& dets, const torch::Tensor& gt_xyxy, int nc,
                 bool segment, Tally& tally, std::vector<torch::Tensor>& pred_masks) {
  const int64_t H = batch.images.size(2), W = batch.images.size(3);
  auto sel = (batch.batch_idx == i).nonzero().view(-1);
  auto gt_cls = batch.cls.index({sel});
  auto gt_boxes = gt_xyxy.index({sel});
  // Boxes are judged as they come out in the source image (scaled back and clipped to the
  // picture, so a box reaching into the letterbox margin ends at the edge). IoU is the same
  // there as in input pixels otherwise. Masks keep the input-pixel box.
  torch::Tensor det = dets[i];
  if (i < static_cast<int64_t>(batch.letterbox.size())) {
    const cv::Size2i source(batch.ori_shapes[i][1], batch.ori_shapes[i][0]);
    det = unletterbox_boxes(det, batch.letterbox[i], source);
    gt_boxes = unletterbox_boxes(gt_boxes, batch.letterbox[i], source);
  }
  if (det.size(0) == 0 || !tally_image(det, gt_boxes, gt_cls, nc, tally)) return;
  const auto det_cls = det.select(1, 5).to(torch::kInt64);
  if (segment) {
    StageTimer timer("val_mask_metrics");
    pred_masks[i] =
        process_mask(out.proto[i], det.narrow(1, 6, det.size(1) - 6), dets[i].narrow(1, 0, 4),
                     static_cast<int>(H), static_cast<int>(W), false);
    tally.tp_mask.push_back(match_masks(pred_masks[i], batch, sel, det_cls, gt_cls));
  }
}

// Runs the model over every batch of the loader and scores what it finds; plots the first batch.
void run_batches(YoloModel& model, DataLoader& loader, const ValOptions& options,
                 const std::vector<std::string>& names, bool plots, Tally& tally) {
  EvalModeGuard eval_mode(model);
  torch::NoGradGuard no_grad;
  const int nc = model->nc();
  const bool segment = model->is_segment();
  NmsOptions nms_options;
  nms_options.conf = options.conf;
  nms_options.iou = options.iou;
  nms_options.max_det = options.max_det;
  nms_options.multi_label = true;

  loader.begin_epoch(0);
  for (std::size_t batch_number = 0;; ++batch_number) {
    auto t0 = Clock::now();
    StageTimer data_timer("val_data");
    std::optional<Batch> batch = loader.next();
    data_timer.stop();
    if (!batch) break;
    tally.total.preprocess += ms_since(t0);

    t0 = Clock::now();
    StageTimer inference_timer("val_inference");
    ModelOutput out;
    {
      AutocastGuard autocast(options.amp);
      out = to_float32(model->forward(batch->images));
    }
    torch::Tensor decoded = model->decode(out);
    inference_timer.stop();
    tally.total.inference += ms_since(t0);

    if (options.compute_loss) {
      t0 = Clock::now();
      StageTimer timer("val_loss", true);
      add_batch_loss(model, out, *batch, tally);
      tally.total.loss += ms_since(t0);
    }

    t0 = Clock::now();
    const int64_t bs = batch->images.size(0);
    const auto H = static_cast<float>(batch->images.size(2));
    const auto W = static_cast<float>(batch->images.size(3));
    StageTimer nms_timer("val_nms");
    std::vector<torch::Tensor> dets = non_max_suppression(decoded, nc, nms_options);
    nms_timer.stop();
    StageTimer matching_timer("val_matching");
    std::vector<torch::Tensor> pred_masks(bs);
    const auto gt_xyxy = xywh2xyxy(batch->bboxes) * torch::tensor({W, H, W, H});
    for (int64_t i = 0; i < bs; ++i)
      score_image(i, *batch, out, dets, gt_xyxy, nc, segment, tally, pred_masks);
    matching_timer.stop();
    tally.total.postprocess += ms_since(t0);

    if (plots && batch_number == 0) {
      StageTimer timer("charts");
      plot_batch(*batch, names, options.save_dir / (options.prefix_batch_plots + "0_labels.jpg"));
      plot_batch(*batch, names, options.save_dir / (options.prefix_batch_plots + "0_pred.jpg"),
                 &dets, segment ? &pred_masks : nullptr);
    }
  }
}

// AP per class, fitness, mean losses and per-image speeds from what the batches gathered.
ValResult summarise(Tally& tally, bool segment) {
  ValResult result;
  result.images = tally.images;
  result.instances = tally.instances;
  auto cat_or = [](const std::vector<torch::Tensor>& v, torch::Tensor empty) {
    return v.empty() ? empty : torch::cat(v);
  };
  const auto empty_tp = torch::zeros({0, kIouThresholds}, torch::kBool);
  const auto empty_f = torch::zeros({0});
  const auto empty_i = torch::zeros({0}, torch::kInt64);
  auto conf_all = cat_or(tally.confs, empty_f);
  auto pcls_all = cat_or(tally.pred_classes, empty_i);
  auto tcls_all = cat_or(tally.target_classes, empty_i);
  result.box = ap_per_class(cat_or(tally.tp_box, empty_tp), conf_all, pcls_all, tcls_all);
  if (segment)
    result.mask = ap_per_class(cat_or(tally.tp_mask, empty_tp), conf_all, pcls_all, tcls_all);
  result.fitness = result.box.fitness() + (result.mask ? result.mask->fitness() : 0.0);
  if (tally.loss_batches) {
    auto mean = (tally.loss_sum / tally.loss_batches).to(torch::kFloat32).contiguous();
    result.losses.assign(mean.data_ptr<float>(), mean.data_ptr<float>() + mean.numel());
  }
  ValSpeed speed = tally.total;
  if (result.images) {
    speed.preprocess /= result.images, speed.inference /= result.images;
    speed.loss /= result.images, speed.postprocess /= result.images;
  }
  result.speed = speed;
  return result;
}

// The table, in the familiar layout, and (with per_class) the speed line.
void log_table(const ValResult& result, const Tally& tally, const std::vector<std::string>& names,
               int nc, const ValOptions& options) {
  std::ostringstream table;
  char header[256];
  if (result.mask)
    std::snprintf(header, sizeof header, "%22s%11s%11s%11s%11s%11s%11s%11s%11s%11s%11s", "Class",
                  "Images", "Instances", "Box(P", "R", "mAP50", "mAP50-95)", "Mask(P", "R", "mAP50",
                  "mAP50-95)");
  else
    std::snprintf(header, sizeof header, "%22s%11s%11s%11s%11s%11s%11s", "Class", "Images",
                  "Instances", "Box(P", "R", "mAP50", "mAP50-95)");
  table << header << "\n";
  std::vector<double> all{result.box.mp(), result.box.mr(), result.box.map50(), result.box.map()};
  if (result.mask)
    for (double v :
         {result.mask->mp(), result.mask->mr(), result.mask->map50(), result.mask->map()})
      all.push_back(v);
  table << row("all", result.images, result.instances, all);
  if (result.instances == 0)
    LOGGER.warning("no labels found in the validation set, metrics cannot be computed");
  if (options.per_class && nc > 1) {
    for (int c : result.box.classes) {
      if (c < 0 || c >= nc) continue;
      std::vector<double> v{result.box.p_of(c), result.box.r_of(c), result.box.ap50_of(c),
                            result.box.ap_of(c)};
      if (result.mask)
        for (double m : {result.mask->p_of(c), result.mask->r_of(c), result.mask->ap50_of(c),
                         result.mask->ap_of(c)})
          v.push_back(m);
      table << "\n"
            << row(c < static_cast<int>(names.size()) ? names[c] : std::to_string(c),
                   tally.images_with_class[c], tally.instances_of_class[c], v);
    }
  }
  LOGGER.info(table.str());
  if (options.per_class) {
    char speed[160];
    std::snprintf(speed, sizeof speed,
                  "Speed: %.1fms preprocess, %.1fms inference, %.1fms loss, %.1fms postprocess per "
                  "image",
                  result.speed.preprocess, result.speed.inference, result.speed.loss,
                  result.speed.postprocess);
    LOGGER.info(speed);
  }
}

// confusion_matrix.json and curves.json for the chart renderer, then the renderer itself.
void save_chart_data(const ValResult& result, const Tally& tally,
                     const std::vector<std::string>& names, const ValOptions& options) {
  try {
    tally.confusion.save_json(options.save_dir / "confusion_matrix.json", names);
    std::vector<std::pair<std::string, const ApResult*>> sets;
    if (result.mask)
      sets = {{"Box", &result.box}, {"Mask", &*result.mask}};
    else
      sets = {{"", &result.box}};
    save_curves_json(options.save_dir / "curves.json", names, sets);
  } catch (const EngineError& e) {
    LOGGER.warning(std::string("could not write the chart data: ") + e.what());
  }
  if (options.render_plots) options.render_plots(options.save_dir);
}

}  // namespace

ValResult validate(YoloModel& model, DataLoader& loader, const ValOptions& options) {
  const std::vector<std::string> names = options.names.empty() ? model->names : options.names;
  const bool plots = options.plots && !options.save_dir.empty();
  Tally tally(model->nc());
  run_batches(model, loader, options, names, plots, tally);
  StageTimer summary_timer("val_summary");
  const ValResult result = summarise(tally, model->is_segment());
  log_table(result, tally, names, model->nc(), options);
  summary_timer.stop();
  if (plots) save_chart_data(result, tally, names, options);
  return result;
}

ValResult validate_scored(const std::function<std::optional<ScoredImage>()>& next, int nc,
                          bool segment, const std::vector<std::string>& names,
                          const ValOptions& options) {
  Tally tally(nc);
  for (std::optional<ScoredImage> image = next(); image; image = next()) {
    const auto det = image->det.defined() ? image->det : torch::zeros({0, 6});
    if (!tally_image(det, image->gt_boxes, image->gt_cls, nc, tally) || !segment) continue;
    tally.tp_mask.push_back(image->tp_mask.defined()
                                ? image->tp_mask
                                : torch::zeros({det.size(0), kIouThresholds}, torch::kBool));
  }
  tally.total = options.speed;
  const ValResult result = summarise(tally, segment);
  log_table(result, tally, names, nc, options);
  if (options.plots && !options.save_dir.empty()) save_chart_data(result, tally, names, options);
  return result;
}

}  // namespace orvane::engine
