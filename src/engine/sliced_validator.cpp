#include "engine/sliced_validator.h"

#include <chrono>
#include <opencv2/imgproc.hpp>

#include "engine/data/augment.h"
#include "engine/data/dataset.h"
#include "engine/data/loader.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/metrics/metrics.h"
#include "engine/sliced_predictor.h"

namespace orvane::engine {

namespace {

// A true object's mask at source resolution: its polygon, or its box for a box line, filled
// inside its bounding rectangle.
struct TrueMask {
  cv::Mat mask;
  cv::Rect rect;
};

TrueMask true_mask(const Instance& object, cv::Size image) {
  const cv::Rect all(0, 0, image.width, image.height);
  TrueMask out;
  if (object.polygon.size() >= 3) {
    std::vector<cv::Point> pts;
    for (const auto& p : object.polygon)
      pts.emplace_back(static_cast<int>(std::lround(p.x * image.width)),
                       static_cast<int>(std::lround(p.y * image.height)));
    out.rect = cv::boundingRect(pts) & all;
    if (out.rect.empty()) return out;
    out.mask = cv::Mat::zeros(out.rect.size(), CV_8U);
    cv::fillPoly(out.mask, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(1), cv::LINE_8, 0,
                 -out.rect.tl());
    return out;
  }
  out.rect = cv::Rect(cv::Point(static_cast<int>(std::lround(object.box.x * image.width)),
                                static_cast<int>(std::lround(object.box.y * image.height))),
                      cv::Point(static_cast<int>(std::lround(object.box.br().x * image.width)),
                                static_cast<int>(std::lround(object.box.br().y * image.height)))) &
             all;
  out.mask = cv::Mat::ones(out.rect.size(), CV_8U);
  return out;
}

// IoU of two masks placed in the image, compared on the union of their rectangles.
float placed_mask_iou(const cv::Mat& a, const cv::Rect& ra, const cv::Mat& b, const cv::Rect& rb) {
  if (a.empty() || b.empty() || (ra & rb).empty()) return 0.f;
  const cv::Rect all = ra | rb;
  cv::Mat ca = cv::Mat::zeros(all.size(), CV_8U), cb = cv::Mat::zeros(all.size(), CV_8U);
  a.copyTo(ca(ra - all.tl()));
  b.copyTo(cb(rb - all.tl()));
  cv::Mat both, either;
  cv::bitwise_and(ca, cb, both);
  cv::bitwise_or(ca, cb, either);
  const int u = cv::countNonZero(either);
  return u ? static_cast<float>(cv::countNonZero(both)) / static_cast<float>(u) : 0.f;
}

// [N, K] mask IoU between the true objects and the predictions, computed only where their
// boxes meet (every other pair is 0): a large image holds hundreds of each.
torch::Tensor mask_ious(const std::vector<TrueMask>& truth, const Results& r) {
  const auto n = static_cast<int64_t>(truth.size());
  const auto k = static_cast<int64_t>(r.boxes.size());
  auto iou = torch::zeros({n, k});
  if (!r.masks) return iou;
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < k; ++j)
      iou[i][j] = placed_mask_iou(truth[static_cast<std::size_t>(i)].mask,
                                  truth[static_cast<std::size_t>(i)].rect,
                                  r.masks->data[static_cast<std::size_t>(j)],
                                  r.masks->roi[static_cast<std::size_t>(j)]);
  return iou;
}

}  // namespace

ValResult validate_sliced(const Network& network, const DataConfig& config,
                          const std::string& split, const PredictOptions& predict,
                          ValOptions options) {
  if (!predict.slice.enabled()) throw EngineError("sliced validation needs slice=W[xH]");
  using Clock = std::chrono::steady_clock;
  LoaderOptions lo;
  lo.imgsz = std::max(predict.slice.width, predict.slice.height);
  lo.segment = network.segment;
  lo.prefix = split;
  lo.cache_limit_bytes = 1;  // read each image once when its turn comes: nothing is cached
  const auto dataset = build_dataset(config, split, lo);
  const int nc = static_cast<int>(network.names.size());
  PredictOptions po = predict;
  po.conf = options.conf;
  po.iou = options.iou;
  po.max_det = options.max_det;
  po.verbose = false;
  LOGGER.info("slicing each " + split + " image into " + std::to_string(predict.slice.width) +
              "x" + std::to_string(predict.slice.height) + " tiles, overlap " +
              std::to_string(predict.slice.overlap).substr(0, 4) +
              (predict.slice.full ? ", with a whole-image pass" : ""));
  std::size_t next_index = 0;
  auto next = [&]() -> std::optional<ScoredImage> {
    while (next_index < dataset->size()) {
      const std::size_t i = next_index++;
      const std::string& path = dataset->image_path(i);
      auto t0 = Clock::now();
      const cv::Mat bgr = read_bgr(path);
      options.speed.preprocess +=
          std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      if (bgr.empty()) {
        LOGGER.warning(path + ": cannot be read now; left out");
        continue;
      }
      SliceTiming timing;
      const Results r = predict_sliced(network, bgr, path, po, &timing);
      options.speed.inference += timing.forward_ms + timing.full_ms;
      options.speed.postprocess += timing.total_ms - timing.forward_ms - timing.full_ms;
      const auto& labels = dataset->labels(i);
      const auto n = static_cast<int64_t>(labels.size());
      ScoredImage s;
      s.gt_boxes = torch::empty({n, 4});
      s.gt_cls = torch::empty({n}, torch::kInt64);
      const float w = static_cast<float>(bgr.cols), h = static_cast<float>(bgr.rows);
      std::vector<TrueMask> truth;
      for (int64_t k = 0; k < n; ++k) {
        const Instance& o = labels[static_cast<std::size_t>(k)];
        s.gt_boxes[k][0] = o.box.x * w, s.gt_boxes[k][1] = o.box.y * h;
        s.gt_boxes[k][2] = o.box.br().x * w, s.gt_boxes[k][3] = o.box.br().y * h;
        s.gt_cls[k] = o.cls;
        if (network.segment) truth.push_back(true_mask(o, bgr.size()));
      }
      s.det = torch::cat({r.boxes.xyxy, r.boxes.conf.unsqueeze(1), r.boxes.cls.unsqueeze(1)}, 1);
      if (network.segment && s.det.size(0))
        s.tp_mask = match_predictions(s.det.select(1, 5).to(torch::kInt64), s.gt_cls,
                                      mask_ious(truth, r));
      return s;
    }
    return std::nullopt;
  };
  const std::vector<std::string> names = options.names.empty() ? network.names : options.names;
  ValResult result = validate_scored(next, nc, network.segment, names, options);
  return result;
}

}  // namespace orvane::engine
