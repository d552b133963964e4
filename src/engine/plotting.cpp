#include "engine/plotting.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "files/atomic_file.h"

namespace orvane::engine {

cv::Scalar class_color(int cls) {
  // A fixed palette of 20 well-separated colours (RGB hex), reused cyclically.
  static const unsigned kPalette[20] = {0xFF3838, 0xFF9D97, 0xFF701F, 0xFFB21D, 0xCFD231,
                                        0x48F90A, 0x92CC17, 0x3DDB86, 0x1A9334, 0x00D4BB,
                                        0x2C99A8, 0x00C2FF, 0x344593, 0x6473FF, 0x0018EC,
                                        0x8438FF, 0x520085, 0xCB38FF, 0xFF95C8, 0xFF37C7};
  const unsigned c = kPalette[((cls % 20) + 20) % 20];
  return cv::Scalar(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

namespace {

// Black or white text, whichever reads better on `color`.
cv::Scalar text_color(const cv::Scalar& color) {
  const double luma = 0.299 * color[2] + 0.587 * color[1] + 0.114 * color[0];
  return luma > 150 ? cv::Scalar(0, 0, 0) : cv::Scalar(255, 255, 255);
}

}  // namespace

void draw_box_label(cv::Mat& image, const cv::Rect2f& box, const cv::Scalar& color,
                    const std::string& text, int thickness) {
  const cv::Point p1(static_cast<int>(std::lround(box.x)), static_cast<int>(std::lround(box.y)));
  const cv::Point p2(static_cast<int>(std::lround(box.x + box.width)),
                     static_cast<int>(std::lround(box.y + box.height)));
  cv::rectangle(image, p1, p2, color, thickness, cv::LINE_AA);
  if (text.empty()) return;
  const int font_thickness = std::max(thickness - 1, 1);
  int baseline = 0;
  // Readable on large photos, yet never taller than a tenth of a small image.
  const int unit_height =
      cv::getTextSize("Ag", cv::FONT_HERSHEY_SIMPLEX, 1.0, font_thickness, &baseline).height;
  const double scale =
      std::min(std::max(thickness / 2.5, 0.4), 0.1 * image.rows / std::max(unit_height, 1));
  const cv::Size size =
      cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, font_thickness, &baseline);
  const bool outside = p1.y - size.height - 3 >= 0;  // room for the tab above the box
  const int x = std::clamp(p1.x, 0, std::max(0, image.cols - size.width));
  const cv::Point t1(x, outside ? p1.y - size.height - 3 : p1.y);
  const cv::Point t2(x + size.width, outside ? p1.y : p1.y + size.height + 3);
  cv::rectangle(image, t1, t2, color, cv::FILLED, cv::LINE_AA);
  cv::putText(image, text, cv::Point(x, outside ? p1.y - 2 : p1.y + size.height + 1),
              cv::FONT_HERSHEY_SIMPLEX, scale, text_color(color), font_thickness, cv::LINE_AA);
}

bool write_image_file(const std::filesystem::path& path, const cv::Mat& image) {
  std::vector<uchar> bytes;
  const std::string ext = path.extension().string();
  try {
    if (!cv::imencode(ext.empty() ? ".jpg" : ext, image, bytes, {cv::IMWRITE_JPEG_QUALITY, 95}))
      return false;
  } catch (const cv::Exception&) {
    return false;
  }
  try {
    files::write_atomically(
        path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } catch (const files::WriteError&) {
    return false;
  }
  return true;
}

bool plot_batch(const Batch& batch, const std::vector<std::string>& names,
                const std::filesystem::path& path, const std::vector<torch::Tensor>* predictions,
                const std::vector<torch::Tensor>* prediction_masks) {
  constexpr int kMaxImages = 16;
  constexpr int kMaxSize = 1920;
  if (!batch.images.defined() || batch.images.size(0) == 0) return false;
  const int bs = std::min<int>(static_cast<int>(batch.images.size(0)), kMaxImages);
  const int h = static_cast<int>(batch.images.size(2)), w = static_cast<int>(batch.images.size(3));
  const int ns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(bs))));
  // Small training images are enlarged (up to 640 px a tile) so labels stay readable.
  const double scale = std::min(static_cast<double>(kMaxSize) / (ns * std::max(h, w)),
                                std::max(1.0, 640.0 / std::max(h, w)));
  const int th = static_cast<int>(std::ceil(h * scale)),
            tw = static_cast<int>(std::ceil(w * scale));
  cv::Mat mosaic(ns * th, ns * tw, CV_8UC3, cv::Scalar(255, 255, 255));
  const int thickness = std::max(1, static_cast<int>(std::lround(std::max(th, tw) / 320.0)));
  auto name_of = [&](int c) {
    return c >= 0 && c < static_cast<int>(names.size()) ? names[c] : std::to_string(c);
  };

  auto images = (batch.images.narrow(0, 0, bs).clamp(0, 1) * 255).round().to(torch::kUInt8);
  images = images.permute({0, 2, 3, 1}).contiguous();  // [B,H,W,3] RGB
  for (int i = 0; i < bs; ++i) {
    cv::Mat rgb(h, w, CV_8UC3, images[i].data_ptr<uint8_t>());
    cv::Mat tile;
    cv::cvtColor(rgb, tile, cv::COLOR_RGB2BGR);
    if (scale != 1)
      cv::resize(tile, tile, cv::Size(tw, th), 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    const double sx = static_cast<double>(tile.cols) / w, sy = static_cast<double>(tile.rows) / h;

    auto overlay = [&](const cv::Mat& mask01, const cv::Scalar& color) {
      cv::Mat m;
      cv::resize(mask01 * 255, m, tile.size(), 0, 0, cv::INTER_LINEAR);
      m = m > 127;  // smooth outline at the mask's own boundary, not a dilated one
      // Blend only where the mask is: a tile holds dozens of small objects, and blending the
      // whole tile for each of them made the batch pictures the slowest part of a short epoch.
      const cv::Rect r = cv::boundingRect(m);
      if (r.empty()) return;
      cv::Mat roi = tile(r), blended;
      cv::addWeighted(roi, 0.5, cv::Mat(r.size(), CV_8UC3, color), 0.5, 0, blended);
      blended.copyTo(roi, m(r));
    };

    if (predictions) {
      if (i < static_cast<int>(predictions->size())) {
        const torch::Tensor det = (*predictions)[i].to(torch::kFloat32).contiguous();
        for (int64_t k = 0; k < det.size(0); ++k) {
          auto d = det[k];
          const float conf = d[4].item<float>();
          if (conf < 0.25f) continue;
          const int c = static_cast<int>(d[5].item<float>());
          if (prediction_masks && i < static_cast<int>(prediction_masks->size()) &&
              (*prediction_masks)[i].defined() && k < (*prediction_masks)[i].size(0)) {
            torch::Tensor m = ((*prediction_masks)[i][k] > 0.5).to(torch::kUInt8).contiguous();
            overlay(cv::Mat(static_cast<int>(m.size(0)), static_cast<int>(m.size(1)), CV_8U,
                            m.data_ptr<uint8_t>())
                        .clone(),
                    class_color(c));
          }
          const cv::Rect2f box(d[0].item<float>() * sx, d[1].item<float>() * sy,
                               (d[2].item<float>() - d[0].item<float>()) * sx,
                               (d[3].item<float>() - d[1].item<float>()) * sy);
          char text[32];
          std::snprintf(text, sizeof text, " %.1f", conf);
          draw_box_label(tile, box, class_color(c), name_of(c) + text, thickness);
        }
      }
    } else {
      for (int64_t k = 0; k < batch.cls.size(0); ++k) {
        if (batch.batch_idx[k].item<int64_t>() != i) continue;
        const int c = static_cast<int>(batch.cls[k].item<int64_t>());
        if (batch.masks.defined() && k < batch.masks.size(0)) {
          torch::Tensor m = (batch.masks[k] > 0.5).to(torch::kUInt8).contiguous();
          overlay(cv::Mat(static_cast<int>(m.size(0)), static_cast<int>(m.size(1)), CV_8U,
                          m.data_ptr<uint8_t>())
                      .clone(),
                  class_color(c));
        }
        auto b = batch.bboxes[k];
        const float bw = b[2].item<float>() * tile.cols, bh = b[3].item<float>() * tile.rows;
        const cv::Rect2f box(b[0].item<float>() * tile.cols - bw / 2,
                             b[1].item<float>() * tile.rows - bh / 2, bw, bh);
        draw_box_label(tile, box, class_color(c), name_of(c), thickness);
      }
    }
    const int row = i / ns, col = i % ns;
    tile.copyTo(mosaic(cv::Rect(col * tw, row * th, tile.cols, tile.rows)));
    if (i < static_cast<int>(batch.paths.size())) {
      const std::string file = std::filesystem::path(batch.paths[i]).filename().string();
      cv::putText(mosaic, file.substr(0, 40), cv::Point(col * tw + 5, row * th + 18),
                  cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0), 3, cv::LINE_AA);
      cv::putText(mosaic, file.substr(0, 40), cv::Point(col * tw + 5, row * th + 18),
                  cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    }
    cv::rectangle(mosaic, cv::Rect(col * tw, row * th, tw, th), cv::Scalar(255, 255, 255), 2);
  }
  return write_image_file(path, mosaic);
}

namespace {

constexpr int kLeft = 70;  // left margin of a labels.jpg panel: tick labels and the caption

// One panel of labels.jpg: a frame with a title and axis captions.
int text_width(const std::string& text, double scale) {
  int baseline = 0;
  return cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, 1, &baseline).width;
}

cv::Mat panel(int size, const std::string& title, const std::string& x_caption,
              const std::string& y_caption) {
  cv::Mat p(size, size, CV_8UC3, cv::Scalar(255, 255, 255));
  const cv::Scalar ink(40, 40, 40);
  const cv::Rect area(kLeft, 35, size - kLeft - 20, size - 80);
  cv::putText(p, title, {kLeft, 22}, cv::FONT_HERSHEY_SIMPLEX, 0.55, ink, 1, cv::LINE_AA);
  int baseline = 0;
  if (!x_caption.empty()) {
    const cv::Size t = cv::getTextSize(x_caption, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
    cv::putText(p, x_caption, {area.x + (area.width - t.width) / 2, size - 10},
                cv::FONT_HERSHEY_SIMPLEX, 0.5, ink, 1, cv::LINE_AA);
  }
  if (!y_caption.empty()) {
    // Written upright on its own strip and turned a quarter, so it reads along the axis and
    // stays clear of the tick labels and the title.
    const cv::Size t = cv::getTextSize(y_caption, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
    cv::Mat strip(t.height + baseline + 4, t.width + 4, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::putText(strip, y_caption, {2, t.height + 2}, cv::FONT_HERSHEY_SIMPLEX, 0.5, ink, 1,
                cv::LINE_AA);
    cv::rotate(strip, strip, cv::ROTATE_90_COUNTERCLOCKWISE);
    const int y = std::max(0, area.y + (area.height - strip.rows) / 2);
    if (strip.cols + 8 <= kLeft - 34 && y + strip.rows <= size)
      strip.copyTo(p(cv::Rect(8, y, strip.cols, strip.rows)));
  }
  cv::rectangle(p, area, cv::Scalar(120, 120, 120), 1);
  return p;
}

// A 2-D histogram of points in 0..1 x 0..1 drawn as shaded cells (darker = more).
void draw_histogram2d(cv::Mat& p, const std::vector<cv::Point2f>& points, const cv::Scalar& color) {
  const cv::Rect area(kLeft, 35, p.cols - kLeft - 20, p.rows - 80);
  constexpr int kBins = 50;
  std::vector<int> counts(kBins * kBins, 0);
  int peak = 1;
  for (const auto& q : points) {
    const int bx = std::clamp(static_cast<int>(q.x * kBins), 0, kBins - 1);
    const int by = std::clamp(static_cast<int>(q.y * kBins), 0, kBins - 1);
    peak = std::max(peak, ++counts[by * kBins + bx]);
  }
  for (int by = 0; by < kBins; ++by)
    for (int bx = 0; bx < kBins; ++bx) {
      const int n = counts[by * kBins + bx];
      if (!n) continue;
      const double a = 0.15 + 0.85 * std::log1p(n) / std::log1p(peak);
      const cv::Scalar c(255 - a * (255 - color[0]), 255 - a * (255 - color[1]),
                         255 - a * (255 - color[2]));
      // y grows upwards in the chart
      const int x0 = area.x + bx * area.width / kBins, x1 = area.x + (bx + 1) * area.width / kBins;
      const int y1 = area.y + area.height - by * area.height / kBins;
      const int y0 = area.y + area.height - (by + 1) * area.height / kBins;
      cv::rectangle(p, cv::Point(x0, y0), cv::Point(x1 - 1, y1 - 1), c, cv::FILLED);
    }
  for (int t = 0; t <= 4; ++t) {  // ticks 0, .25 ... 1
    char label[16];
    std::snprintf(label, sizeof label, "%.2g", t / 4.0);
    cv::putText(p, label, {area.x + t * area.width / 4 - 8, area.y + area.height + 14},
                cv::FONT_HERSHEY_SIMPLEX, 0.35, cv::Scalar(60, 60, 60), 1, cv::LINE_AA);
    cv::putText(p, label, {area.x - 30, area.y + area.height - t * area.height / 4 + 4},
                cv::FONT_HERSHEY_SIMPLEX, 0.35, cv::Scalar(60, 60, 60), 1, cv::LINE_AA);
  }
}

}  // namespace

bool plot_labels(const YoloDataset& dataset, const std::filesystem::path& path) {
  constexpr int S = 420;
  const int nc = static_cast<int>(dataset.names().size());
  std::vector<int> per_class(nc, 0);
  std::vector<cv::Point2f> centres, sizes;
  std::vector<std::pair<int, cv::Rect2f>> boxes;
  for (std::size_t i = 0; i < dataset.size(); ++i)
    for (const Instance& inst : dataset.labels(i)) {
      if (inst.cls >= 0 && inst.cls < nc) ++per_class[inst.cls];
      centres.emplace_back(inst.box.x + inst.box.width / 2, inst.box.y + inst.box.height / 2);
      sizes.emplace_back(inst.box.width, inst.box.height);
      if (boxes.size() < 1000) boxes.emplace_back(inst.cls, inst.box);
    }

  // Instances per class.
  cv::Mat bars = panel(S, "instances per class", "", "");
  {
    const cv::Rect area(kLeft, 35, S - kLeft - 20, S - 80);
    const int peak = std::max(1, *std::max_element(per_class.begin(), per_class.end()));
    const int shown = std::min(nc, 60);
    bool crowded = false;
    for (int c = 0; c < shown; ++c)
      crowded =
          crowded || text_width(dataset.names()[c].substr(0, 10), 0.33) + 4 > area.width / shown;
    for (int c = 0; c < shown; ++c) {
      const int x0 = area.x + c * area.width / shown + 1;
      const int x1 = area.x + (c + 1) * area.width / shown - 1;
      const int top = area.y + area.height - per_class[c] * (area.height - 10) / peak;
      cv::rectangle(bars, cv::Point(x0, top), cv::Point(std::max(x0, x1), area.y + area.height - 1),
                    class_color(c), cv::FILLED);
      if (shown <= 20) {
        const std::string n = std::to_string(per_class[c]);
        cv::putText(bars, n, {(x0 + x1 - text_width(n, 0.35)) / 2, std::max(area.y + 12, top - 3)},
                    cv::FONT_HERSHEY_SIMPLEX, 0.35, cv::Scalar(40, 40, 40), 1, cv::LINE_AA);
        // Names centred under their bars; alternate rows only when neighbours would touch.
        std::string name = dataset.names()[c].substr(0, 10);
        const int tw = text_width(name, 0.33);
        cv::putText(bars, name,
                    {(x0 + x1 - tw) / 2, area.y + area.height + 14 + (crowded ? (c % 2) * 12 : 0)},
                    cv::FONT_HERSHEY_SIMPLEX, 0.33, cv::Scalar(40, 40, 40), 1, cv::LINE_AA);
      }
    }
  }
  // Every box drawn around a common centre, to show the shapes.
  cv::Mat shapes = panel(S, "boxes (centred)", "", "");
  {
    const cv::Rect area(kLeft, 35, S - kLeft - 20, S - 80);
    cv::Mat layer = shapes.clone();
    for (const auto& [c, b] : boxes) {
      const float bw = b.width * area.width, bh = b.height * area.height;
      const cv::Point2f centre(area.x + area.width / 2.0f, area.y + area.height / 2.0f);
      cv::rectangle(layer, cv::Point2f(centre.x - bw / 2, centre.y - bh / 2),
                    cv::Point2f(centre.x + bw / 2, centre.y + bh / 2), class_color(c), 1,
                    cv::LINE_AA);
    }
    cv::addWeighted(shapes, 0.6, layer, 0.4, 0, shapes);
  }
  cv::Mat xy = panel(S, "box centres", "x", "y");
  draw_histogram2d(xy, centres, cv::Scalar(180, 90, 30));
  cv::Mat wh = panel(S, "box sizes", "width", "height");
  draw_histogram2d(wh, sizes, cv::Scalar(180, 90, 30));

  cv::Mat top, bottom, all;
  cv::hconcat(bars, shapes, top);
  cv::hconcat(xy, wh, bottom);
  cv::vconcat(top, bottom, all);
  return write_image_file(path, all);
}

}  // namespace orvane::engine
