#include "engine/validator.h"

#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>

#include "engine/error.h"
#include "engine/logger.h"
#include "engine/loss.h"
#include "engine/plotting.h"
#include "engine/predictor.h"

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

ValResult validate(YoloModel& model, DataLoader& loader, const ValOptions& options) {
  const bool was_training = model->is_training();
  model->eval();
  torch::NoGradGuard no_grad;
  const std::vector<std::string> names = options.names.empty() ? model->names : options.names;
  const int nc = model->nc();
  const bool segment = model->is_segment();
  const bool plots = options.plots && !options.save_dir.empty();

  std::vector<torch::Tensor> tp_box, tp_mask, confs, pred_classes, target_classes;
  ConfusionMatrix confusion(nc);
  std::vector<int> images_with_class(nc, 0), instances_of_class(nc, 0);
  torch::Tensor loss_sum;
  int loss_batches = 0;
  ValResult result;
  ValSpeed total;

  loader.begin_epoch(0);
  std::size_t batch_number = 0;
  while (true) {
    auto t0 = Clock::now();
    std::optional<Batch> batch = loader.next();
    if (!batch) break;
    total.preprocess += ms_since(t0);
    const int64_t bs = batch->images.size(0);
    const int64_t H = batch->images.size(2), W = batch->images.size(3);

    t0 = Clock::now();
    ModelOutput out = model->forward(batch->images);
    torch::Tensor decoded = model->decode(out);
    total.inference += ms_since(t0);

    if (options.compute_loss) {
      t0 = Clock::now();
      try {
        LossResult loss = compute_loss(model, out, *batch);
        loss_sum = loss_sum.defined() ? loss_sum + loss.items : loss.items.clone();
        ++loss_batches;
      } catch (const c10::Error& e) {
        throw EngineError(std::string("validation loss failed: ") + e.what_without_backtrace());
      }
      total.loss += ms_since(t0);
    }

    t0 = Clock::now();
    NmsOptions nms_options;
    nms_options.conf = options.conf;
    nms_options.iou = options.iou;
    nms_options.max_det = options.max_det;
    nms_options.multi_label = true;
    std::vector<torch::Tensor> dets = non_max_suppression(decoded, nc, nms_options);
    std::vector<torch::Tensor> pred_masks(bs);

    auto batch_idx = batch->batch_idx;
    auto gt_xyxy =
        xywh2xyxy(batch->bboxes) * torch::tensor({static_cast<float>(W), static_cast<float>(H),
                                                  static_cast<float>(W), static_cast<float>(H)});
    for (int64_t i = 0; i < bs; ++i) {
      auto sel = (batch_idx == i).nonzero().view(-1);
      auto gt_cls = batch->cls.index({sel});
      auto gt_boxes = gt_xyxy.index({sel});
      // Boxes are judged as they come out in the source image (scaled back and clipped to the
      // picture, so a box reaching into the letterbox margin ends at the edge). IoU is the same
      // there as in input pixels otherwise. Masks keep the input-pixel box.
      torch::Tensor det = dets[i];
      if (i < static_cast<int64_t>(batch->letterbox.size())) {
        const cv::Size2i source(batch->ori_shapes[i][1], batch->ori_shapes[i][0]);
        det = unletterbox_boxes(det, batch->letterbox[i], source);
        gt_boxes = unletterbox_boxes(gt_boxes, batch->letterbox[i], source);
      }
      const int64_t npred = det.size(0), ngt = gt_cls.size(0);
      ++result.images;
      result.instances += static_cast<int>(ngt);
      std::set<int> present;
      for (int64_t k = 0; k < ngt; ++k) {
        const int c = static_cast<int>(gt_cls[k].item<int64_t>());
        if (c >= 0 && c < nc) ++instances_of_class[c], present.insert(c);
      }
      for (int c : present) ++images_with_class[c];
      target_classes.push_back(gt_cls);
      confusion.process_batch(det, gt_boxes, gt_cls);
      if (npred == 0) continue;
      auto det_cls = det.select(1, 5).to(torch::kInt64);
      tp_box.push_back(match_predictions(det_cls, gt_cls, box_iou(gt_boxes, det.narrow(1, 0, 4))));
      confs.push_back(det.select(1, 4));
      pred_classes.push_back(det_cls);
      if (segment) {
        // Masks are compared on the prototype grid (1/4 of the input), where the loader also
        // rasterises the ground truth.
        auto pm =
            process_mask(out.proto[i], det.narrow(1, 6, det.size(1) - 6), dets[i].narrow(1, 0, 4),
                         static_cast<int>(H), static_cast<int>(W), false);
        pred_masks[i] = pm;
        if (ngt) {
          auto gm = batch->masks.index({sel});
          if (gm.size(1) != pm.size(1) || gm.size(2) != pm.size(2))
            gm = torch::nn::functional::interpolate(
                     gm.unsqueeze(0), torch::nn::functional::InterpolateFuncOptions()
                                          .size(std::vector<int64_t>{pm.size(1), pm.size(2)})
                                          .mode(torch::kBilinear)
                                          .align_corners(false))
                     .squeeze(0)
                     .gt(0.5)
                     .to(torch::kFloat32);
          auto iou = mask_iou(gm.flatten(1), pm.flatten(1));
          tp_mask.push_back(match_predictions(det_cls, gt_cls, iou));
        } else {
          tp_mask.push_back(torch::zeros({npred, 10}, torch::kBool));
        }
      }
    }
    total.postprocess += ms_since(t0);

    if (plots && batch_number == 0) {
      plot_batch(*batch, names, options.save_dir / (options.prefix_batch_plots + "0_labels.jpg"));
      plot_batch(*batch, names, options.save_dir / (options.prefix_batch_plots + "0_pred.jpg"),
                 &dets, segment ? &pred_masks : nullptr);
    }
    ++batch_number;
  }
  if (was_training) model->train();

  auto cat_or = [](const std::vector<torch::Tensor>& v, torch::Tensor empty) {
    return v.empty() ? empty : torch::cat(v);
  };
  const auto empty_tp = torch::zeros({0, 10}, torch::kBool);
  const auto empty_f = torch::zeros({0});
  const auto empty_i = torch::zeros({0}, torch::kInt64);
  auto conf_all = cat_or(confs, empty_f);
  auto pcls_all = cat_or(pred_classes, empty_i);
  auto tcls_all = cat_or(target_classes, empty_i);
  result.box = ap_per_class(cat_or(tp_box, empty_tp), conf_all, pcls_all, tcls_all);
  if (segment) result.mask = ap_per_class(cat_or(tp_mask, empty_tp), conf_all, pcls_all, tcls_all);
  result.fitness = result.box.fitness() + (result.mask ? result.mask->fitness() : 0.0);
  if (loss_batches) {
    auto mean = (loss_sum / loss_batches).to(torch::kFloat32).contiguous();
    result.losses.assign(mean.data_ptr<float>(), mean.data_ptr<float>() + mean.numel());
  }
  if (result.images) {
    total.preprocess /= result.images, total.inference /= result.images;
    total.loss /= result.images, total.postprocess /= result.images;
  }
  result.speed = total;

  // The table, in the familiar layout.
  std::ostringstream table;
  char header[256];
  if (segment)
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
                   images_with_class[c], instances_of_class[c], v);
    }
  }
  LOGGER.info(table.str());
  if (options.per_class) {
    char speed[160];
    std::snprintf(speed, sizeof speed,
                  "Speed: %.1fms preprocess, %.1fms inference, %.1fms loss, %.1fms postprocess per "
                  "image",
                  total.preprocess, total.inference, total.loss, total.postprocess);
    LOGGER.info(speed);
  }

  if (plots) {
    try {
      confusion.save_json(options.save_dir / "confusion_matrix.json", names);
      std::vector<std::pair<std::string, const ApResult*>> sets;
      if (segment)
        sets = {{"Box", &result.box}, {"Mask", &*result.mask}};
      else
        sets = {{"", &result.box}};
      save_curves_json(options.save_dir / "curves.json", names, sets);
    } catch (const EngineError& e) {
      LOGGER.warning(std::string("could not write the chart data: ") + e.what());
    }
    if (options.render_plots) options.render_plots(options.save_dir);
  }
  return result;
}

}  // namespace orvane::engine
