// The training loader's sample preparation on any geometry. The input chooses the image size,
// each object's outline (any points: repeated, collinear, far outside, tiny), the augmentation
// settings and the random seed; mosaic, the random perspective, HSV and flips run as in
// training, and the targets' masks are rasterised. Nothing may throw or crash, every mask has
// the size of the 1/4 grid, and every kept box is finite and inside the image.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/data/augment.h"
#include "engine/data/masks.h"

namespace {

using orvane::engine::Sample;

// Reads the input front to back; past its end every value is zero.
struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t u8() { return at < size ? data[at++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  float real() {  // any float, NaN and infinities included
    uint32_t bits = static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  float coordinate(int extent) {  // mostly near the image, sometimes anywhere
    const uint8_t kind = u8();
    if (kind < 200) return (static_cast<float>(u16()) / 65535.f) * 1.5f * extent - 0.25f * extent;
    if (kind < 250) return static_cast<float>(static_cast<int16_t>(u16()));
    return real();
  }
};

Sample make_sample(Bytes& in) {
  const int w = 8 + in.u8() % 120, h = 8 + in.u8() % 120;
  Sample s;
  s.image = cv::Mat(h, w, CV_8UC3, cv::Scalar(in.u8(), in.u8(), in.u8()));
  const int objects = in.u8() % 9;
  for (int k = 0; k < objects; ++k) {
    s.cls.push_back(in.u8() % 3);
    const int points = in.u8() % 10;  // 0..2 make a box-only object
    std::vector<cv::Point2f> poly;
    for (int p = 0; p < points; ++p) poly.emplace_back(in.coordinate(w), in.coordinate(h));
    if (poly.size() >= 3) {
      // The loader's objects come from clipped labels: their box is the visible part.
      const cv::Rect2f box = orvane::engine::clipped_polygon_box(poly, cv::Size2f(w, h));
      if (box.width <= 0 || box.height <= 0) {
        s.cls.pop_back();
        continue;
      }
      s.boxes.push_back(box);
    } else {
      const float x = std::fmod(std::fabs(in.coordinate(w)), static_cast<float>(w));
      const float y = std::fmod(std::fabs(in.coordinate(h)), static_cast<float>(h));
      const float bw = 1 + in.u8() % w, bh = 1 + in.u8() % h;
      if (!std::isfinite(x) || !std::isfinite(y)) {
        s.cls.pop_back();
        continue;
      }
      s.boxes.emplace_back(x, y, std::min(bw, w - x), std::min(bh, h - y));
      poly.clear();
    }
    s.polygons.push_back(std::move(poly));
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size};
  const int imgsz = 16 + in.u8() % 113;  // 16..128, mostly not a multiple of 32
  orvane::engine::AugmentHyp hyp;
  hyp.degrees = in.u8() % 91;
  hyp.shear = in.u8() % 21;
  hyp.perspective = (in.u8() % 11) * 0.0002f;
  hyp.translate = (in.u8() % 50) / 100.f;
  hyp.scale = (in.u8() % 95) / 100.f;
  hyp.flipud = (in.u8() % 2) * 0.5f;
  std::mt19937 rng(in.u16());
  Sample sample;
  if (in.u8() % 2) {
    std::vector<Sample> four;
    for (int k = 0; k < 4; ++k) four.push_back(make_sample(in));
    sample = orvane::engine::mosaic4(four, imgsz, rng);
    orvane::engine::random_perspective(sample, hyp, cv::Size2i(imgsz, imgsz), -imgsz / 2, rng);
  } else {
    sample = make_sample(in);
    orvane::engine::letterbox_sample(sample, cv::Size2i(imgsz, imgsz), false, true, 32);
    orvane::engine::random_perspective(sample, hyp, cv::Size2i(imgsz, imgsz), 0, rng);
  }
  orvane::engine::augment_hsv(sample.image, hyp, rng);
  orvane::engine::random_flip(sample, hyp, rng);
  const std::vector<cv::Mat> masks = orvane::engine::sample_masks(sample);
  if (masks.size() != sample.cls.size()) std::abort();
  for (const cv::Mat& m : masks)
    if (m.rows != sample.image.rows / 4 || m.cols != sample.image.cols / 4) std::abort();
  const float W = sample.image.cols, H = sample.image.rows;
  for (const cv::Rect2f& b : sample.boxes) {
    if (!std::isfinite(b.x) || !std::isfinite(b.y) || !std::isfinite(b.width) ||
        !std::isfinite(b.height))
      std::abort();
    if (b.x < -1e-3f || b.y < -1e-3f || b.x + b.width > W + 1e-3f || b.y + b.height > H + 1e-3f)
      std::abort();
  }
  return 0;
}
