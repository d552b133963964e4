#include "engine/predictor.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "engine/data/augment.h"
#include "engine/data/dataset.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/metrics/metrics.h"
#include "engine/plotting.h"

namespace orvane::engine {

torch::Tensor process_mask(const torch::Tensor& proto, const torch::Tensor& coef,
                           const torch::Tensor& boxes, int height, int width, bool upsample) {
  const int64_t c = proto.size(0), mh = proto.size(1), mw = proto.size(2);
  if (coef.size(0) == 0) return torch::zeros({0, upsample ? height : mh, upsample ? width : mw});
  auto masks = torch::matmul(coef.to(torch::kFloat32), proto.to(torch::kFloat32).view({c, -1}))
                   .sigmoid()
                   .view({-1, mh, mw});
  // Crop to the boxes on the prototype grid.
  auto scale = torch::tensor({static_cast<float>(mw) / width, static_cast<float>(mh) / height,
                              static_cast<float>(mw) / width, static_cast<float>(mh) / height});
  auto b = (boxes.to(torch::kFloat32) * scale).unsqueeze(2);  // [K,4,1]
  auto x1 = b.select(1, 0).unsqueeze(1), y1 = b.select(1, 1).unsqueeze(1);
  auto x2 = b.select(1, 2).unsqueeze(1), y2 = b.select(1, 3).unsqueeze(1);
  auto cols = torch::arange(mw, torch::kFloat32).view({1, 1, mw});
  auto rows = torch::arange(mh, torch::kFloat32).view({1, mh, 1});
  masks = masks * ((cols >= x1) & (cols < x2) & (rows >= y1) & (rows < y2));
  if (upsample)
    masks = torch::nn::functional::interpolate(masks.unsqueeze(0),
                                               torch::nn::functional::InterpolateFuncOptions()
                                                   .size(std::vector<int64_t>{height, width})
                                                   .mode(torch::kBilinear)
                                                   .align_corners(false))
                .squeeze(0);
  return masks.gt(0.5).to(torch::kFloat32);
}

namespace {

std::string name_of(const std::vector<std::string>& names, int c) {
  return c >= 0 && c < static_cast<int>(names.size()) ? names[c] : std::to_string(c);
}

}  // namespace

Results predict_image(YoloModel& model, const cv::Mat& bgr, const std::string& path,
                      const PredictOptions& options) {
  Network network;
  network.names = model->names;
  network.segment = model->is_segment();
  network.forward = [&model](const torch::Tensor& x) {
    const bool was_training = model->is_training();
    model->eval();
    ModelOutput out = model->forward(x);
    NetworkOutput result{model->decode(out), out.proto};
    if (was_training) model->train();
    return result;
  };
  return predict_image(network, bgr, path, options);
}

Results predict_image(const Network& network, const cv::Mat& bgr, const std::string& path,
                      const PredictOptions& options) {
  if (bgr.empty() || bgr.type() != CV_8UC3) throw EngineError("image " + path + " cannot be read");
  const auto start = std::chrono::steady_clock::now();
  const bool fixed = network.fixed_height > 0 && network.fixed_width > 0;
  const int imgsz = std::max(32, (options.imgsz + 31) / 32 * 32);
  cv::Mat input;
  const LetterboxInfo lb =
      fixed ? letterbox(bgr, input, {network.fixed_height, network.fixed_width}, false, true, 32)
            : letterbox(bgr, input, {imgsz, imgsz}, true, true, 32);
  const int H = input.rows, W = input.cols;
  cv::Mat rgb;
  cv::cvtColor(input, rgb, cv::COLOR_BGR2RGB);
  auto x = torch::from_blob(rgb.data, {1, H, W, 3}, torch::kUInt8)
               .permute({0, 3, 1, 2})
               .to(torch::kFloat32)
               .div_(255.0f)
               .contiguous();

  torch::NoGradGuard no_grad;
  NetworkOutput out = network.forward(x);
  const int nc = static_cast<int>(network.names.size());
  NmsOptions nms_options;
  nms_options.conf = options.conf;
  nms_options.iou = options.iou;
  nms_options.max_det = options.max_det;
  torch::Tensor det = non_max_suppression(out.pred, nc, nms_options)[0];

  Results r;
  r.orig_img = bgr;
  r.path = path;
  r.names = network.names;
  if (network.segment) {
    Masks masks;
    if (det.size(0)) {
      auto m = process_mask(out.proto[0], det.narrow(1, 6, det.size(1) - 6), det.narrow(1, 0, 4), H,
                            W, true);
      // The part of the input that shows the image (letterbox padding removed).
      const cv::Rect inner(static_cast<int>(lb.pad_x), static_cast<int>(lb.pad_y),
                           std::min(W - static_cast<int>(lb.pad_x),
                                    static_cast<int>(std::lround(bgr.cols * lb.gain))),
                           std::min(H - static_cast<int>(lb.pad_y),
                                    static_cast<int>(std::lround(bgr.rows * lb.gain))));
      using torch::indexing::Slice;
      // A box whose mask vanished (or lies only on the padding) is not a detection.
      auto keep = m.index({Slice(), Slice(inner.y, inner.y + inner.height),
                           Slice(inner.x, inner.x + inner.width)})
                      .sum({1, 2}) > 0;
      det = det.index({keep});
      m = m.index({keep}).to(torch::kUInt8).contiguous();
      for (int64_t k = 0; k < m.size(0); ++k) {
        cv::Mat full(H, W, CV_8U, m[k].data_ptr<uint8_t>());
        cv::Mat visible = full(inner).clone();
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(visible, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, inner.tl());
        std::vector<cv::Point2f> outline;
        if (!contours.empty()) {
          const auto largest =
              std::max_element(contours.begin(), contours.end(),
                               [](const auto& a, const auto& b) { return a.size() < b.size(); });
          std::vector<cv::Point2f> pts(largest->begin(), largest->end());
          outline = unletterbox_points(pts, lb, {bgr.cols, bgr.rows});
        }
        masks.xy.push_back(std::move(outline));
        masks.data.push_back(full(inner).clone());  // findContours may have altered `visible`
      }
    }
    r.masks = std::move(masks);
  }
  r.boxes.xyxy = unletterbox_boxes(det.narrow(1, 0, 4), lb, {bgr.cols, bgr.rows}).contiguous();
  r.boxes.conf = det.select(1, 4).contiguous();
  r.boxes.cls = det.select(1, 5).contiguous();
  r.inference_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (options.verbose) {
    std::ostringstream s;
    s.precision(1);
    s << "image 1/1 " << path << ": " << H << "x" << W << " " << r.summary() << ", " << std::fixed
      << r.inference_ms << "ms";
    LOGGER.info(s.str());
  }
  return r;
}

namespace {
cv::Mat read_image(const std::string& image_path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(image_path, ec))
    throw EngineError("image " + image_path + " does not exist or is not a file");
  cv::Mat bgr = read_bgr(image_path);
  if (bgr.empty()) throw EngineError("image " + image_path + " cannot be read");
  return bgr;
}
}  // namespace

std::vector<Results> predict(const Network& network, const std::string& image_path,
                             const PredictOptions& options) {
  return {predict_image(network, read_image(image_path), image_path, options)};
}

std::vector<Results> predict(YoloModel& model, const std::string& image_path,
                             const PredictOptions& options) {
  return {predict_image(model, read_image(image_path), image_path, options)};
}

std::string Results::summary() const {
  if (boxes.size() == 0) return "(no detections)";
  std::map<int, int> counts;
  for (std::size_t i = 0; i < boxes.size(); ++i)
    ++counts[static_cast<int>(boxes.cls[static_cast<int64_t>(i)].item<float>())];
  std::string out;
  for (const auto& [c, n] : counts) {
    if (!out.empty()) out += ", ";
    out += std::to_string(n) + " " + name_of(names, c) + (n > 1 ? "s" : "");
  }
  return out;
}

std::string Results::to_label_text() const {
  std::ostringstream s;
  s.precision(6);
  const float w = static_cast<float>(orig_img.cols), h = static_cast<float>(orig_img.rows);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const int64_t k = static_cast<int64_t>(i);
    s << static_cast<int>(boxes.cls[k].item<float>());
    if (masks && i < masks->xy.size() && masks->xy[i].size() >= 3) {
      for (const auto& p : masks->xy[i]) s << " " << p.x / w << " " << p.y / h;
    } else {
      auto b = boxes.xyxy[k];
      const float x1 = b[0].item<float>(), y1 = b[1].item<float>();
      const float x2 = b[2].item<float>(), y2 = b[3].item<float>();
      s << " " << (x1 + x2) / 2 / w << " " << (y1 + y2) / 2 / h << " " << (x2 - x1) / w << " "
        << (y2 - y1) / h;
    }
    s << "\n";
  }
  return s.str();
}

cv::Mat Results::plot(bool show_conf) const {
  cv::Mat image = orig_img.clone();
  if (image.empty()) return image;
  const int lw =
      std::max(static_cast<int>(std::lround((image.rows + image.cols) / 2.0 * 0.003)), 2);
  if (masks) {
    // Masks first, so boxes and labels stay readable on top.
    for (std::size_t i = 0; i < masks->data.size() && i < boxes.size(); ++i) {
      const int c = static_cast<int>(boxes.cls[static_cast<int64_t>(i)].item<float>());
      cv::Mat m;
      cv::resize(masks->data[i] * 255, m, image.size(), 0, 0, cv::INTER_LINEAR);
      m = m > 127;
      const cv::Rect roi = cv::boundingRect(m);
      if (roi.empty()) continue;
      cv::Mat region = image(roi);
      cv::Mat tinted;
      cv::addWeighted(region, 0.5, cv::Mat(region.size(), CV_8UC3, class_color(c)), 0.5, 0, tinted);
      tinted.copyTo(region, m(roi));
    }
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const int64_t k = static_cast<int64_t>(i);
    const int c = static_cast<int>(boxes.cls[k].item<float>());
    auto b = boxes.xyxy[k];
    const cv::Rect2f box(b[0].item<float>(), b[1].item<float>(),
                         b[2].item<float>() - b[0].item<float>(),
                         b[3].item<float>() - b[1].item<float>());
    std::string label = name_of(names, c);
    if (show_conf) {
      char buf[16];
      std::snprintf(buf, sizeof buf, " %.2f", boxes.conf[k].item<float>());
      label += buf;
    }
    draw_box_label(image, box, class_color(c), label, lw);
  }
  return image;
}

}  // namespace orvane::engine
