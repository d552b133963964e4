// Variants per second of get_aug_image, alone and with the JPEG encoding a batch adds, on the
// image named by ORVANE_BENCH_IMAGE (run.sh sets it; a synthetic 1280 x 720 picture otherwise).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "enricher/enricher_core.h"
#include "imaging/image_io.h"

namespace {

const cv::Mat& bench_image() {
  static const cv::Mat image = [] {
    const char* path = std::getenv("ORVANE_BENCH_IMAGE");
    cv::Mat img = path ? orvane::read_image_bgr(QString::fromUtf8(path)) : cv::Mat();
    if (img.empty()) {
      img.create(720, 1280, CV_8UC3);
      cv::randu(img, cv::Scalar::all(0), cv::Scalar::all(255));
      cv::GaussianBlur(img, img, {0, 0}, 4);
    }
    return img;
  }();
  return image;
}

// The tab's default ranges: contrast, brightness, gamma, a 0-5 % skew and a +-15 degree turn.
// In this tight loop glibc hands the freed frame buffers back to the kernel each round and faults
// them in again (about 5 ms at 1920 x 1080; MALLOC_TRIM_THRESHOLD_=1000000000 removes it). The
// batch, which keeps an encode buffer alive between variants, does not pay this.
void BM_Variant(benchmark::State& state) {
  const cv::Mat& base = bench_image();
  orvane::enricher::Rng rng(1);
  for (auto _ : state) benchmark::DoNotOptimize(orvane::enricher::get_aug_image(base, {}, rng));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(base.cols) + "x" + std::to_string(base.rows));
}
BENCHMARK(BM_Variant)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// What one variant of a batch costs before the file write: the variant plus its default JPEG.
void BM_VariantJpeg(benchmark::State& state) {
  const cv::Mat& base = bench_image();
  orvane::enricher::Rng rng(1);
  std::vector<uchar> bytes;
  for (auto _ : state) {
    cv::imencode(".jpg", orvane::enricher::get_aug_image(base, {}, rng), bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VariantJpeg)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
