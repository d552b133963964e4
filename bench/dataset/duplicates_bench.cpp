// duplicates_bench FOLDER [count=10000]
//
// Times `find_duplicates` on FOLDER: cold (every file hashed, no cache, one thread per core) and
// warm (all from the cache), and beside it the plain way of getting perceptual hashes: one
// thread, every image decoded at full size in colour, OpenCV's PHash. Prints seconds and the
// ratio peer / ours. When FOLDER holds no image it is filled with `count` synthetic 640 x 480
// JPEG pictures first (distinct scenes: no pair should be reported).

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <opencv2/img_hash.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "dataset/duplicates.h"

using namespace orvane::dataset;

namespace {

cv::Mat scene(unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat coarse(6, 8, CV_32FC3);
  rng.fill(coarse, cv::RNG::UNIFORM, 0, 255);
  cv::Mat image;
  cv::resize(coarse, image, cv::Size(640, 480), 0, 0, cv::INTER_CUBIC);
  image.convertTo(image, CV_8UC3);
  for (int i = 0; i < 8; ++i) {
    const cv::Scalar colour(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255));
    cv::circle(image, {rng.uniform(0, 640), rng.uniform(0, 480)}, rng.uniform(15, 90), colour,
               cv::FILLED);
  }
  cv::Mat noise(image.size(), CV_8UC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 6);
  return image + noise;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: duplicates_bench FOLDER [count]\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const int count = argc > 2 ? std::atoi(argv[2]) : 10000;
  QDir().mkpath(folder);
  if (folder_images(folder).empty()) {
    std::fprintf(stderr, "writing %d images into %s ...\n", count, argv[1]);
    for (int i = 0; i < count; ++i)
      cv::imwrite(QDir(folder).filePath(QStringLiteral("s%1.jpg").arg(i, 5, 10, QLatin1Char('0'))).toStdString(),
                  scene(unsigned(i) + 1), {cv::IMWRITE_JPEG_QUALITY, 90});
  }
  const std::vector<DatasetImage> images = folder_images(folder);
  QTemporaryDir cache;
  DuplicateOptions options;
  options.cache_file = cache.filePath("hashes.tsv");
  const DuplicateReport cold = find_duplicates(images, options);
  const DuplicateReport warm = find_duplicates(images, options);

  QElapsedTimer timer;
  timer.start();
  auto hasher = cv::img_hash::PHash::create();
  for (const DatasetImage& image : images) {
    const cv::Mat pixels = cv::imread(image.path.toStdString(), cv::IMREAD_COLOR);
    cv::Mat hash;
    if (!pixels.empty()) hasher->compute(pixels, hash);
  }
  const double peer = timer.elapsed() / 1000.0;
  std::printf("images %zu, pairs %zu (unreadable %lld)\n", images.size(), cold.pairs.size(),
              static_cast<long long>(cold.unreadable.size()));
  std::printf("ours cold  %.2f s (%d hashed)\n", cold.seconds, cold.hashed);
  std::printf("ours warm  %.2f s (%d from the cache)\n", warm.seconds, warm.cached);
  std::printf("peer       %.2f s (one thread, full decode, PHash)\n", peer);
  std::printf("ratio peer/ours: cold %.2f, warm %.2f\n", peer / cold.seconds, peer / warm.seconds);
  return 0;
}
