#include "engine/predictor.h"

#include <algorithm>
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
#include "engine/precision.h"
#include "engine/sliced_predictor.h"

namespace orvane::engine {

namespace {

// sigmoid(coef . proto) on the prototype grid, zero outside each box: [K, mh, mw] float.
torch::Tensor masks_in_boxes(const torch::Tensor& proto, const torch::Tensor& coef,
                             const torch::Tensor& boxes, int height, int width) {
  const int64_t mh = proto.size(1), mw = proto.size(2);
  auto masks = mask_logits(coef.to(torch::kFloat32), proto.to(torch::kFloat32)).sigmoid();
  auto scale = torch::tensor({static_cast<float>(mw) / width, static_cast<float>(mh) / height,
                              static_cast<float>(mw) / width, static_cast<float>(mh) / height});
  auto b = (boxes.to(torch::kFloat32) * scale).unsqueeze(2);  // [K,4,1]
  auto x1 = b.select(1, 0).unsqueeze(1), y1 = b.select(1, 1).unsqueeze(1);
  auto x2 = b.select(1, 2).unsqueeze(1), y2 = b.select(1, 3).unsqueeze(1);
  auto cols = torch::arange(mw, torch::kFloat32).view({1, 1, mw});
  auto rows = torch::arange(mh, torch::kFloat32).view({1, mh, 1});
  return masks * ((cols >= x1) & (cols < x2) & (rows >= y1) & (rows < y2));
}

torch::Tensor upsample_bilinear(const torch::Tensor& masks, int64_t height, int64_t width) {
  return torch::nn::functional::interpolate(masks.unsqueeze(0),
                                            torch::nn::functional::InterpolateFuncOptions()
                                                .size(std::vector<int64_t>{height, width})
                                                .mode(torch::kBilinear)
                                                .align_corners(false))
      .squeeze(0);
}

}  // namespace

torch::Tensor process_mask(const torch::Tensor& proto, const torch::Tensor& coef,
                           const torch::Tensor& boxes, int height, int width, bool upsample) {
  const int64_t mh = proto.size(1), mw = proto.size(2);
  if (coef.size(0) == 0) return torch::zeros({0, upsample ? height : mh, upsample ? width : mw});
  auto masks = masks_in_boxes(proto, coef, boxes, height, width);
  if (upsample) masks = upsample_bilinear(masks, height, width);
  return masks.gt(0.5).to(torch::kFloat32);
}

std::vector<BoxMask> box_masks(const torch::Tensor& proto, const torch::Tensor& coef,
                               const torch::Tensor& boxes, int height, int width) {
  std::vector<BoxMask> out;
  const int64_t k = coef.size(0), mh = proto.size(1), mw = proto.size(2);
  if (k == 0) return out;
  auto soft = masks_in_boxes(proto, coef, boxes, height, width);
  out.reserve(static_cast<size_t>(k));
  auto to_mat = [](const torch::Tensor& binary) {
    auto bytes = binary.to(torch::kUInt8).contiguous();
    return cv::Mat(static_cast<int>(bytes.size(0)), static_cast<int>(bytes.size(1)), CV_8U,
                   bytes.data_ptr<uint8_t>())
        .clone();
  };
  if (height != 4 * mh || width != 4 * mw) {
    // Not the 4x grid of a YOLO head: upsample whole masks.
    auto full = upsample_bilinear(soft, height, width).gt(0.5);
    for (int64_t i = 0; i < k; ++i) out.push_back({to_mat(full[i]), cv::Rect(0, 0, width, height)});
    return out;
  }
  // Each mask is zero outside its box, and an upsampled pixel only reads the two grid cells on
  // either side of it. So upsampling a crop of the grid around the box, whose border cells are
  // zero (or the grid's own border), gives exactly the pixels that upsampling the whole grid
  // gives there, and zero everywhere else: the same masks at a fraction of the work.
  auto b = boxes.to(torch::kFloat32).contiguous();
  const float* p = b.data_ptr<float>();
  using torch::indexing::Slice;
  for (int64_t i = 0; i < k; ++i) {
    const double x1 = p[4 * i] * mw / width, y1 = p[4 * i + 1] * mh / height;
    const double x2 = p[4 * i + 2] * mw / width, y2 = p[4 * i + 3] * mh / height;
    const int64_t c0 = std::clamp<int64_t>(static_cast<int64_t>(std::floor(x1)) - 2, 0, mw);
    const int64_t c1 = std::clamp<int64_t>(static_cast<int64_t>(std::ceil(x2)) + 2, c0, mw);
    const int64_t r0 = std::clamp<int64_t>(static_cast<int64_t>(std::floor(y1)) - 2, 0, mh);
    const int64_t r1 = std::clamp<int64_t>(static_cast<int64_t>(std::ceil(y2)) + 2, r0, mh);
    const cv::Rect window(static_cast<int>(4 * c0), static_cast<int>(4 * r0),
                          static_cast<int>(4 * (c1 - c0)), static_cast<int>(4 * (r1 - r0)));
    if (window.empty()) {
      out.push_back({cv::Mat(), window});
      continue;
    }
    auto crop = soft[i].index({Slice(r0, r1), Slice(c0, c1)}).unsqueeze(0);
    out.push_back(
        {to_mat(upsample_bilinear(crop, 4 * (r1 - r0), 4 * (c1 - c0))[0].gt(0.5)), window});
  }
  return out;
}

namespace {

std::string name_of(const std::vector<std::string>& names, int c) {
  return c >= 0 && c < static_cast<int>(names.size()) ? names[c] : std::to_string(c);
}

// Half-tints the pixels of `region` (a view into the picture) where `mask` is set.
void tint(cv::Mat region, const cv::Mat& mask, const cv::Scalar& colour) {
  cv::Mat tinted;
  cv::addWeighted(region, 0.5, cv::Mat(region.size(), CV_8UC3, colour), 0.5, 0, tinted);
  tinted.copyTo(region, mask);
}

}  // namespace

Network network_of(YoloModel& model, const std::string& amp_text) {
  Network network;
  network.names = model->names;
  network.segment = model->is_segment();
  network.max_batch = 1024;  // the model takes any batch; the slicer bounds it
  network.forward = [&model, amp = resolve_amp(amp_text, AmpUse::predict)](const torch::Tensor& x) {
    const bool was_training = model->is_training();
    model->eval();
    ModelOutput out;
    {
      AutocastGuard autocast(amp);
      out = to_float32(model->forward(x));
    }
    NetworkOutput result{model->decode(out), out.proto};
    if (was_training) model->train();
    return result;
  };
  return network;
}

Results predict_image(YoloModel& model, const cv::Mat& bgr, const std::string& path,
                      const PredictOptions& options) {
  return predict_image(network_of(model, options.amp), bgr, path, options);
}

Results predict_image(const Network& network, const cv::Mat& bgr, const std::string& path,
                      const PredictOptions& options) {
  if (bgr.empty() || bgr.type() != CV_8UC3) throw EngineError("image " + path + " cannot be read");
  if (options.slice.enabled()) return predict_sliced(network, bgr, path, options);
  const auto start = std::chrono::steady_clock::now();
  const bool fixed = network.fixed_height > 0 && network.fixed_width > 0;
  const int imgsz = std::max(32, (options.imgsz + 31) / 32 * 32);
  cv::Mat input;
  const LetterboxInfo lb =
      fixed ? letterbox(bgr, input, cv::Size2i(network.fixed_width, network.fixed_height), false,
                        true, 32)
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
      std::vector<BoxMask> bm =
          box_masks(out.proto[0], det.narrow(1, 6, det.size(1) - 6), det.narrow(1, 0, 4), H, W);
      // The part of the input that shows the image (letterbox padding removed).
      const cv::Rect inner(static_cast<int>(lb.pad_x), static_cast<int>(lb.pad_y),
                           std::min(W - static_cast<int>(lb.pad_x),
                                    static_cast<int>(std::lround(bgr.cols * lb.gain))),
                           std::min(H - static_cast<int>(lb.pad_y),
                                    static_cast<int>(std::lround(bgr.rows * lb.gain))));
      std::vector<int64_t> kept;
      for (size_t k = 0; k < bm.size(); ++k) {
        const cv::Rect visible = bm[k].window & inner;
        // A box whose mask vanished (or lies only on the padding) is not a detection.
        if (visible.empty()) continue;
        const cv::Mat part = bm[k].mask(visible - bm[k].window.tl());
        if (cv::countNonZero(part) == 0) continue;
        kept.push_back(static_cast<int64_t>(k));
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(part.clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                         visible.tl());
        std::vector<cv::Point2f> outline;
        if (!contours.empty()) {
          const auto largest =
              std::max_element(contours.begin(), contours.end(),
                               [](const auto& a, const auto& b) { return a.size() < b.size(); });
          std::vector<cv::Point2f> pts(largest->begin(), largest->end());
          outline = unletterbox_points(pts, lb, {bgr.cols, bgr.rows});
        }
        masks.xy.push_back(std::move(outline));
        cv::Mat data = cv::Mat::zeros(inner.size(), CV_8U);
        part.copyTo(data(visible - inner.tl()));
        masks.data.push_back(data);
        masks.roi.push_back(visible - inner.tl());
      }
      det = det.index({torch::tensor(kept, torch::kLong)});
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
      const cv::Mat& data = masks->data[i];
      if (data.empty()) continue;
      // Only the part of the picture under the mask is scaled and tinted: a few boxes on a large
      // photo would otherwise cost a full-size resize each.
      const int c = static_cast<int>(boxes.cls[static_cast<int64_t>(i)].item<float>());
      if (masks->source_pixels) {
        const cv::Rect target = masks->roi[i] & cv::Rect(0, 0, image.cols, image.rows);
        if (target.empty()) continue;
        tint(image(target), data(target - masks->roi[i].tl()), class_color(c));
        continue;
      }
      const cv::Rect all(0, 0, data.cols, data.rows);
      cv::Rect part = i < masks->roi.size() ? masks->roi[i] : cv::boundingRect(data);
      part = (part - cv::Point(1, 1) + cv::Size(2, 2)) & all;
      if (part.empty()) continue;
      const double sx = static_cast<double>(image.cols) / data.cols;
      const double sy = static_cast<double>(image.rows) / data.rows;
      const int x0 = static_cast<int>(std::lround(part.x * sx));
      const int y0 = static_cast<int>(std::lround(part.y * sy));
      const int x1 = std::min(image.cols, static_cast<int>(std::lround(part.br().x * sx)));
      const int y1 = std::min(image.rows, static_cast<int>(std::lround(part.br().y * sy)));
      if (x1 <= x0 || y1 <= y0) continue;
      const cv::Rect target(x0, y0, x1 - x0, y1 - y0);
      cv::Mat m;
      cv::resize(data(part) * 255, m, target.size(), 0, 0, cv::INTER_LINEAR);
      tint(image(target), m > 127, class_color(c));
    }
  }
  if (boxes.size() == 0) return image;
  const auto xyxy = boxes.xyxy.to(torch::kFloat32).contiguous();
  const auto conf = boxes.conf.to(torch::kFloat32).contiguous();
  const auto cls = boxes.cls.to(torch::kFloat32).contiguous();
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const float* b = xyxy.data_ptr<float>() + 4 * i;
    const int c = static_cast<int>(cls.data_ptr<float>()[i]);
    const cv::Rect2f box(b[0], b[1], b[2] - b[0], b[3] - b[1]);
    std::string label = name_of(names, c);
    if (show_conf) {
      char buf[16];
      std::snprintf(buf, sizeof buf, " %.2f", conf.data_ptr<float>()[i]);
      label += buf;
    }
    draw_box_label(image, box, class_color(c), label, lw);
  }
  return image;
}

}  // namespace orvane::engine
