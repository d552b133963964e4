#include "engine/sliced_predictor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <unordered_map>

#include "engine/data/augment.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/metrics/metrics.h"

namespace orvane::engine {

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Tile origins along one side: a step apart, the last one against the far edge.
std::vector<int> origins(int length, int tile, int step) {
  std::vector<int> out{0};
  if (tile >= length) return out;
  for (int x = step; x + tile < length; x += step) out.push_back(x);
  out.push_back(length - tile);
  return out;
}

float area(const cv::Rect2f& r) { return std::max(0.f, r.width) * std::max(0.f, r.height); }

float intersection(const cv::Rect2f& a, const cv::Rect2f& b) { return area(a & b); }

cv::Rect2f united(const cv::Rect2f& a, const cv::Rect2f& b) {
  const float x1 = std::min(a.x, b.x), y1 = std::min(a.y, b.y);
  const float x2 = std::max(a.x + a.width, b.x + b.width);
  const float y2 = std::max(a.y + a.height, b.y + b.height);
  return {x1, y1, x2 - x1, y2 - y1};
}

// The union of two source-pixel masks, on the union of their rectangles.
void unite_masks(SlicedObject& into, const SlicedObject& other) {
  if (other.mask.empty()) return;
  if (into.mask.empty()) {
    into.mask = other.mask.clone();
    into.mask_rect = other.mask_rect;
    return;
  }
  const cv::Rect all = into.mask_rect | other.mask_rect;
  cv::Mat merged = cv::Mat::zeros(all.size(), CV_8U);
  into.mask.copyTo(merged(into.mask_rect - all.tl()));
  cv::Mat part = merged(other.mask_rect - all.tl());
  cv::bitwise_or(part, other.mask, part);
  into.mask = merged;
  into.mask_rect = all;
}

// Boxes by the cells of a coarse grid they touch, so a merge looks only at its neighbours: a
// sliced image at a low confidence holds tens of thousands of raw boxes.
class BoxIndex {
 public:
  BoxIndex(const std::vector<SlicedObject>& objects, float cell) : cell_(cell) {
    for (std::size_t i = 0; i < objects.size(); ++i)
      visit(objects[i].box, [&](int64_t key) { cells_[key].push_back(i); });
  }
  // Indices of boxes that may overlap `box` (each at most once per call, in ascending order).
  std::vector<std::size_t> near(const cv::Rect2f& box) {
    std::vector<std::size_t> out;
    visit(box, [&](int64_t key) {
      const auto it = cells_.find(key);
      if (it != cells_.end()) out.insert(out.end(), it->second.begin(), it->second.end());
    });
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  }

 private:
  template <typename F>
  void visit(const cv::Rect2f& box, F&& f) {
    const int64_t c0 = static_cast<int64_t>(std::floor(box.x / cell_));
    const int64_t r0 = static_cast<int64_t>(std::floor(box.y / cell_));
    const int64_t c1 = static_cast<int64_t>(std::floor((box.x + box.width) / cell_));
    const int64_t r1 = static_cast<int64_t>(std::floor((box.y + box.height) / cell_));
    for (int64_t r = r0; r <= r1; ++r)
      for (int64_t c = c0; c <= c1; ++c) f(static_cast<int64_t>((static_cast<uint64_t>(r) << 32) ^ static_cast<uint32_t>(c)));
  }
  float cell_;
  std::unordered_map<int64_t, std::vector<std::size_t>> cells_;
};

}  // namespace

std::vector<cv::Rect> slice_grid(cv::Size image, cv::Size tile, float overlap) {
  if (tile.width < 1 || tile.height < 1)
    throw EngineError("slice: the tile size must be at least 1 pixel");
  if (!(overlap >= 0.f && overlap < 1.f))
    throw EngineError("overlap must be at least 0 and below 1");
  std::vector<cv::Rect> tiles;
  if (image.width < 1 || image.height < 1) return tiles;
  const int tw = std::min(tile.width, image.width), th = std::min(tile.height, image.height);
  const int sx = std::max(1, static_cast<int>(std::lround(tile.width * (1.0 - overlap))));
  const int sy = std::max(1, static_cast<int>(std::lround(tile.height * (1.0 - overlap))));
  for (int y : origins(image.height, th, sy))
    for (int x : origins(image.width, tw, sx)) tiles.emplace_back(x, y, tw, th);
  return tiles;
}

cv::Size parse_slice_size(const std::string& text) {
  auto number = [&](const std::string& part) {
    if (part.empty() || part.size() > 6 ||
        !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      throw EngineError("slice=" + text + ": give the tile size as W or WxH in pixels (slice=640)");
    const int v = std::stoi(part);
    if (v < 32)
      throw EngineError("slice=" + text + ": a tile needs at least 32 pixels a side");
    return v;
  };
  const auto x = text.find_first_of("xX");
  if (x == std::string::npos) {
    const int v = number(text);
    return {v, v};
  }
  return {number(text.substr(0, x)), number(text.substr(x + 1))};
}

std::vector<SlicedObject> merge_sliced_objects(std::vector<SlicedObject> objects,
                                               SliceMerge merge, float threshold) {
  std::stable_sort(objects.begin(), objects.end(),
                   [](const SlicedObject& a, const SlicedObject& b) { return a.conf > b.conf; });
  float cell = 32;
  for (const auto& o : objects) cell = std::max(cell, std::max(o.box.width, o.box.height));
  BoxIndex index(objects, cell);
  std::vector<char> taken(objects.size(), 0);
  std::vector<SlicedObject> out;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (taken[i]) continue;
    taken[i] = 1;
    SlicedObject group = objects[i];
    const cv::Rect2f first = group.box;
    // A union grows, and a grown box may reach a piece the first one did not: look again until
    // nothing joins (a handful of rounds at most, since pieces lie within one object).
    for (bool grew = true; grew;) {
      grew = false;
      for (std::size_t j : index.near(group.box)) {
        if (taken[j] || objects[j].cls != group.cls) continue;
        const cv::Rect2f& b = objects[j].box;
        if (merge == SliceMerge::kNms) {
          const float inter = intersection(first, b);
          if (inter <= 0 || inter / (area(first) + area(b) - inter) <= threshold) continue;
          taken[j] = 1;
          continue;
        }
        const float smaller = std::min(area(group.box), area(b));
        if (smaller <= 0 || intersection(group.box, b) / smaller < threshold) continue;
        taken[j] = 1;
        if (objects[j].conf < 0.5f * group.conf || !(group.cut || objects[j].cut)) continue;
        group.box = united(group.box, b);
        unite_masks(group, objects[j]);
        grew = true;
      }
    }
    out.push_back(std::move(group));
  }
  return out;
}

namespace {

// The tiles' inputs: each tile letterboxed to the network's size, [B,3,H,W] 0..1 RGB.
torch::Tensor tile_batch(const cv::Mat& bgr, const std::vector<cv::Rect>& tiles,
                         std::size_t first, std::size_t count, cv::Size2i shape, bool scaleup,
                         std::vector<LetterboxInfo>& placements) {
  auto bytes = torch::empty({static_cast<int64_t>(count), shape.height, shape.width, 3},
                            torch::kUInt8);
  placements.clear();
  for (std::size_t k = 0; k < count; ++k) {
    cv::Mat input;
    // A copy, not a view: copyMakeBorder would fill a view's padding with the pixels around it
    // rather than grey, and the tile would see past its border.
    placements.push_back(
        letterbox(bgr(tiles[first + k]).clone(), input, shape, false, scaleup, 32));
    cv::Mat slot(shape.height, shape.width, CV_8UC3,
                 bytes.data_ptr<uint8_t>() + k * shape.area() * 3);
    cv::cvtColor(input, slot, cv::COLOR_BGR2RGB);
  }
  return bytes.permute({0, 3, 1, 2}).to(torch::kFloat32).div_(255.0f).contiguous();
}

// One tile's detections [K, 6 + 32] (input pixels) as objects in source pixels.
void collect_tile(const torch::Tensor& det, const torch::Tensor& proto, const cv::Rect& tile,
                  cv::Size image, const LetterboxInfo& lb, cv::Size2i input,
                  std::vector<SlicedObject>& out) {
  const int64_t k = det.size(0);
  if (k == 0) return;
  const auto boxes = unletterbox_boxes(det.narrow(1, 0, 4), lb, {tile.width, tile.height})
                         .to(torch::kFloat32)
                         .contiguous();
  const auto scores = det.narrow(1, 4, 2).to(torch::kFloat32).contiguous();
  const float* b = boxes.data_ptr<float>();
  const float* s = scores.data_ptr<float>();
  std::vector<BoxMask> masks;
  if (proto.defined() && det.size(1) > 6)
    masks = box_masks(proto, det.narrow(1, 6, det.size(1) - 6), det.narrow(1, 0, 4),
                      input.height, input.width);
  // The part of the input that shows the tile (letterbox padding removed).
  const cv::Rect inner(static_cast<int>(lb.pad_x), static_cast<int>(lb.pad_y),
                       std::min(input.width - static_cast<int>(lb.pad_x),
                                static_cast<int>(std::lround(tile.width * lb.gain))),
                       std::min(input.height - static_cast<int>(lb.pad_y),
                                static_cast<int>(std::lround(tile.height * lb.gain))));
  for (int64_t i = 0; i < k; ++i) {
    SlicedObject o;
    o.box = cv::Rect2f(b[4 * i] + tile.x, b[4 * i + 1] + tile.y, b[4 * i + 2] - b[4 * i],
                       b[4 * i + 3] - b[4 * i + 1]);
    o.conf = s[2 * i];
    o.cls = static_cast<int>(s[2 * i + 1]);
    // Within a pixel of a side the tile shares with a neighbour (not the image's own edge).
    o.cut = (tile.x > 0 && o.box.x <= tile.x + 1) || (tile.y > 0 && o.box.y <= tile.y + 1) ||
            (tile.br().x < image.width && o.box.br().x >= tile.br().x - 1) ||
            (tile.br().y < image.height && o.box.br().y >= tile.br().y - 1);
    if (!masks.empty()) {
      const BoxMask& m = masks[static_cast<std::size_t>(i)];
      const cv::Rect visible = m.window & inner;
      if (visible.empty()) continue;
      cv::Mat part = m.mask(visible - m.window.tl());
      if (cv::countNonZero(part) == 0) continue;  // a box whose mask vanished is no object
      // Back to source pixels: exact at gain 1 (a tile at its own size); resized otherwise.
      const double g = lb.gain;
      const int x0 = static_cast<int>(std::floor((visible.x - inner.x) / g));
      const int y0 = static_cast<int>(std::floor((visible.y - inner.y) / g));
      const int x1 = std::min(tile.width, static_cast<int>(std::ceil((visible.br().x - inner.x) / g)));
      const int y1 =
          std::min(tile.height, static_cast<int>(std::ceil((visible.br().y - inner.y) / g)));
      if (x1 <= x0 || y1 <= y0) continue;
      o.mask_rect = cv::Rect(x0 + tile.x, y0 + tile.y, x1 - x0, y1 - y0);
      if (o.mask_rect.size() == part.size()) {
        o.mask = part.clone();
      } else {
        cv::resize(part * 255, o.mask, o.mask_rect.size(), 0, 0, cv::INTER_LINEAR);
        o.mask = o.mask > 127;
        o.mask /= 255;
      }
    }
    out.push_back(std::move(o));
  }
}

// The whole-image pass's objects, its masks brought to source resolution inside their roi.
void collect_full(const Results& full, std::vector<SlicedObject>& out) {
  const auto xyxy = full.boxes.xyxy.to(torch::kFloat32).contiguous();
  const auto conf = full.boxes.conf.to(torch::kFloat32).contiguous();
  const auto cls = full.boxes.cls.to(torch::kFloat32).contiguous();
  const cv::Size image = full.orig_img.size();
  for (std::size_t i = 0; i < full.boxes.size(); ++i) {
    const float* b = xyxy.data_ptr<float>() + 4 * i;
    SlicedObject o;
    o.box = cv::Rect2f(b[0], b[1], b[2] - b[0], b[3] - b[1]);
    o.conf = conf.data_ptr<float>()[i];
    o.cls = static_cast<int>(cls.data_ptr<float>()[i]);
    if (full.masks && i < full.masks->data.size() && !full.masks->data[i].empty()) {
      const cv::Mat& data = full.masks->data[i];
      const cv::Rect roi = full.masks->roi[i] & cv::Rect(0, 0, data.cols, data.rows);
      const double sx = static_cast<double>(image.width) / data.cols;
      const double sy = static_cast<double>(image.height) / data.rows;
      const int x0 = static_cast<int>(std::floor(roi.x * sx)), y0 = static_cast<int>(std::floor(roi.y * sy));
      const int x1 = std::min(image.width, static_cast<int>(std::ceil(roi.br().x * sx)));
      const int y1 = std::min(image.height, static_cast<int>(std::ceil(roi.br().y * sy)));
      if (!roi.empty() && x1 > x0 && y1 > y0) {
        o.mask_rect = cv::Rect(x0, y0, x1 - x0, y1 - y0);
        cv::resize(data(roi) * 255, o.mask, o.mask_rect.size(), 0, 0, cv::INTER_LINEAR);
        o.mask = o.mask > 127;
        o.mask /= 255;
      }
    }
    out.push_back(std::move(o));
  }
}

// The merged objects as a Results, outlines traced on the source-resolution masks.
void fill_results(std::vector<SlicedObject>& objects, bool segment, Results& r) {
  const auto n = static_cast<int64_t>(objects.size());
  r.boxes.xyxy = torch::empty({n, 4});
  r.boxes.conf = torch::empty({n});
  r.boxes.cls = torch::empty({n});
  float* b = r.boxes.xyxy.data_ptr<float>();
  const cv::Size image = r.orig_img.size();
  for (int64_t i = 0; i < n; ++i) {
    const SlicedObject& o = objects[static_cast<std::size_t>(i)];
    b[4 * i] = std::clamp(o.box.x, 0.f, static_cast<float>(image.width));
    b[4 * i + 1] = std::clamp(o.box.y, 0.f, static_cast<float>(image.height));
    b[4 * i + 2] = std::clamp(o.box.x + o.box.width, 0.f, static_cast<float>(image.width));
    b[4 * i + 3] = std::clamp(o.box.y + o.box.height, 0.f, static_cast<float>(image.height));
    r.boxes.conf.data_ptr<float>()[i] = o.conf;
    r.boxes.cls.data_ptr<float>()[i] = static_cast<float>(o.cls);
  }
  if (!segment) return;
  Masks masks;
  masks.source_pixels = true;
  for (SlicedObject& o : objects) {
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Point2f> outline;
    if (!o.mask.empty()) {
      cv::findContours(o.mask.clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                       o.mask_rect.tl());
      if (!contours.empty()) {
        const auto largest =
            std::max_element(contours.begin(), contours.end(),
                             [](const auto& a, const auto& c) { return a.size() < c.size(); });
        outline.assign(largest->begin(), largest->end());
      }
    }
    masks.xy.push_back(std::move(outline));
    masks.data.push_back(std::move(o.mask));
    masks.roi.push_back(o.mask_rect);
  }
  r.masks = std::move(masks);
}

// Tiles per forward: about 1.6 megapixels of input, at most 64 tiles.
std::size_t tiles_per_batch(const SliceOptions& slice, cv::Size2i input, int max_batch) {
  std::size_t n = slice.batch > 0 ? static_cast<std::size_t>(slice.batch)
                                  : std::clamp<std::size_t>(
                                        static_cast<std::size_t>(4 * 640 * 640) /
                                            static_cast<std::size_t>(std::max(1, input.area())),
                                        1, 64);
  return std::max<std::size_t>(1, std::min(n, static_cast<std::size_t>(std::max(1, max_batch))));
}

}  // namespace

Results predict_sliced(const Network& network, const cv::Mat& bgr, const std::string& path,
                       const PredictOptions& options, SliceTiming* timing) {
  if (bgr.empty() || bgr.type() != CV_8UC3) throw EngineError("image " + path + " cannot be read");
  const SliceOptions& slice = options.slice;
  if (!slice.enabled()) throw EngineError("sliced prediction needs a tile size (slice=W[xH])");
  const auto start = Clock::now();
  SliceTiming t;
  const std::vector<cv::Rect> tiles =
      slice_grid(bgr.size(), {slice.width, slice.height}, slice.overlap);
  t.tiles = static_cast<int>(tiles.size());
  // Every tile has the same size (the grid clips the tile to the image, never a single one), so
  // every batch has one input shape: the tile rounded up to the stride, or an exported
  // network's fixed size.
  const bool fixed = network.fixed_height > 0 && network.fixed_width > 0;
  const cv::Size2i input = fixed ? cv::Size2i(network.fixed_width, network.fixed_height)
                                 : cv::Size2i((tiles[0].width + 31) / 32 * 32,
                                              (tiles[0].height + 31) / 32 * 32);
  const std::size_t per_batch = tiles_per_batch(slice, input, network.max_batch);
  const int nc = static_cast<int>(network.names.size());
  NmsOptions nms;
  nms.conf = options.conf;
  nms.iou = options.iou;
  nms.max_det = options.max_det;

  torch::NoGradGuard no_grad;
  std::vector<SlicedObject> objects;
  std::vector<LetterboxInfo> placements;
  for (std::size_t first = 0; first < tiles.size(); first += per_batch) {
    const std::size_t count = std::min(per_batch, tiles.size() - first);
    const torch::Tensor x = tile_batch(bgr, tiles, first, count, input, fixed, placements);
    const auto f0 = Clock::now();
    NetworkOutput out = network.forward(x);
    t.forward_ms += ms_since(f0);
    ++t.batches;
    const std::vector<torch::Tensor> dets = non_max_suppression(out.pred, nc, nms);
    for (std::size_t k = 0; k < count; ++k)
      collect_tile(dets[k],
                   network.segment ? out.proto[static_cast<int64_t>(k)] : torch::Tensor(),
                   tiles[first + k], bgr.size(), placements[k], input, objects);
  }
  if (slice.full) {
    PredictOptions whole = options;
    whole.slice = SliceOptions{};
    whole.verbose = false;
    const auto f0 = Clock::now();
    const Results full = predict_image(network, bgr, path, whole);
    t.full_ms = ms_since(f0);
    collect_full(full, objects);
  }
  std::vector<SlicedObject> merged =
      merge_sliced_objects(std::move(objects), slice.merge, slice.match_threshold);
  if (options.max_det > 0 && merged.size() > static_cast<std::size_t>(options.max_det))
    merged.resize(static_cast<std::size_t>(options.max_det));

  Results r;
  r.orig_img = bgr;
  r.path = path;
  r.names = network.names;
  fill_results(merged, network.segment, r);
  t.total_ms = ms_since(start);
  r.inference_ms = t.total_ms;
  if (timing) *timing = t;
  if (options.verbose) {
    std::ostringstream s;
    s.precision(1);
    s << "image 1/1 " << path << ": " << bgr.cols << "x" << bgr.rows << " in " << t.tiles
      << " tiles of " << tiles[0].width << "x" << tiles[0].height << (slice.full ? " + whole" : "")
      << " " << r.summary() << ", " << std::fixed << t.total_ms << "ms";
    LOGGER.info(s.str());
  }
  return r;
}

}  // namespace orvane::engine
