// Duplicates and leakage: planted copies (re-encoded, halved, cropped, brightened) are found,
// different pictures and two frames of a moving scene are not, splits are named, the cache is used
// and a dropped copy is moved, never deleted.
#include "dataset/duplicates.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <bit>

#include "dataset/test_files.h"

using namespace orvane::dataset;
using orvane::test::read_file;
using orvane::test::write_file;

namespace {

// A photo-like picture: smooth colour fields, a few shapes and sensor-like noise.
cv::Mat scene(unsigned seed, int width = 320, int height = 240) {
  cv::RNG rng(seed);
  cv::Mat coarse(6, 8, CV_32FC3);
  rng.fill(coarse, cv::RNG::UNIFORM, 0, 255);
  cv::Mat image;
  cv::resize(coarse, image, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  image.convertTo(image, CV_8UC3);
  for (int i = 0; i < 6; ++i) {
    const cv::Scalar colour(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255));
    const cv::Point c(rng.uniform(0, width), rng.uniform(0, height));
    if (i % 2)
      cv::circle(image, c, rng.uniform(10, 50), colour, cv::FILLED, cv::LINE_AA);
    else
      cv::rectangle(image, cv::Rect(c, cv::Size(rng.uniform(20, 90), rng.uniform(20, 90))), colour,
                    cv::FILLED);
  }
  cv::Mat noise(image.size(), CV_8UC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 6);
  image += noise;
  return image;
}

QByteArray encode(const cv::Mat& image, const char* ext = ".png", int quality = 95) {
  std::vector<uchar> buffer;
  cv::imencode(ext, image, buffer, {cv::IMWRITE_JPEG_QUALITY, quality});
  return QByteArray(reinterpret_cast<const char*>(buffer.data()), qsizetype(buffer.size()));
}

ImageHash hashed(const cv::Mat& image, const char* ext = ".png", int quality = 95) {
  return hash_image_bytes(encode(image, ext, quality));
}

// The planted variants of the issue: quality 70, half size, 2 % cropped off each side, +10.
std::vector<std::pair<const char*, ImageHash>> variants(const cv::Mat& original) {
  const int cx = original.cols / 50, cy = original.rows / 50;
  cv::Mat half, bright;
  cv::resize(original, half, original.size() / 2, 0, 0, cv::INTER_AREA);
  original.convertTo(bright, -1, 1, 10);
  return {{"jpeg q70", hashed(original, ".jpg", 70)},
          {"half size", hashed(half)},
          {"2% crop", hashed(original(cv::Rect(cx, cy, original.cols - 2 * cx, original.rows - 2 * cy)).clone())},
          {"+10 brightness", hashed(bright, ".jpg", 90)}};
}

TEST(NearCopies, EveryPlantedVariantIsFound) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    const cv::Mat original = scene(seed);
    const ImageHash base = hashed(original, ".jpg", 95);
    for (const auto& [name, copy] : variants(original)) {
      const ThumbDifference d = aligned_difference(base.thumb, copy.thumb);
      EXPECT_TRUE(near_copies(base, copy))
          << "seed " << seed << ", " << name << ": bits " << std::popcount(base.phash ^ copy.phash)
          << ", mean " << d.mean << ", block " << d.block;
    }
  }
}

TEST(NearCopies, DifferentPicturesAndTwoFramesOfAMovingSceneAreNot) {
  std::vector<ImageHash> all;
  for (unsigned seed = 1; seed <= 40; ++seed) all.push_back(hashed(scene(seed), ".jpg", 90));
  for (size_t i = 0; i < all.size(); ++i)
    for (size_t j = i + 1; j < all.size(); ++j) EXPECT_FALSE(near_copies(all[i], all[j])) << i << " " << j;

  // One background, an object crossing it: frames 40 pixels apart on a 320 x 240 scene.
  for (unsigned seed = 1; seed <= 12; ++seed) {
    const cv::Mat background = scene(seed + 100);
    cv::RNG rng(seed);
    const cv::Scalar colour(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255));
    const int y = rng.uniform(40, 150);
    cv::Mat a = background.clone(), b = background.clone();
    cv::rectangle(a, cv::Rect(60, y, 50, 45), colour, cv::FILLED);
    cv::rectangle(b, cv::Rect(100, y, 50, 45), colour, cv::FILLED);
    const ImageHash ha = hashed(a, ".jpg", 90), hb = hashed(b, ".jpg", 90);
    const ThumbDifference d = aligned_difference(ha.thumb, hb.thumb);
    EXPECT_FALSE(near_copies(ha, hb)) << "seed " << seed << ": bits " << std::popcount(ha.phash ^ hb.phash)
                                      << ", mean " << d.mean << ", block " << d.block;
  }
}

TEST(NearCopies, UndecodableBytesHashAsUnusable) {
  EXPECT_FALSE(hash_image_bytes("not an image").ok);
  EXPECT_FALSE(hash_image_bytes({}).ok);
}

// A data.yaml with train and val, copies planted across and within the splits.
class SplitDuplicates : public ::testing::Test {
 protected:
  SplitDuplicates() {
    write_file(d.filePath("data.yaml"), "path: .\ntrain: train/images\nval: val/images\nnames: [a]\n");
    for (unsigned i = 0; i < 6; ++i) {
      write_file(d.filePath(QStringLiteral("train/images/t%1.jpg").arg(i)), encode(scene(i + 1), ".jpg", 92));
      write_file(d.filePath(QStringLiteral("train/labels/t%1.txt").arg(i)), "0 0.5 0.5 0.2 0.2\n");
      write_file(d.filePath(QStringLiteral("val/images/v%1.jpg").arg(i)), encode(scene(i + 50), ".jpg", 92));
    }
    // Leaks: an exact copy and a re-encoded one of train images in val; a halved copy within train.
    write_file(d.filePath("val/images/leak_exact.jpg"), read_file(d.filePath("train/images/t0.jpg")));
    write_file(d.filePath("val/labels/leak_exact.txt"), "0 0.5 0.5 0.2 0.2\n");
    write_file(d.filePath("val/images/leak_q70.jpg"), encode(scene(2), ".jpg", 70));
    cv::Mat half;
    cv::resize(scene(3), half, cv::Size(160, 120), 0, 0, cv::INTER_AREA);
    write_file(d.filePath("train/images/t2_half.png"), encode(half));
  }

  QTemporaryDir tmp;
  QDir d{tmp.path()};
};

TEST_F(SplitDuplicates, FindsTheLeaksWithTheirSplitsAndUsesTheCache) {
  const auto images = yaml_images(d.filePath("data.yaml"));
  ASSERT_TRUE(images.ok()) << images.error().toStdString();
  ASSERT_EQ(images->size(), 15u);
  DuplicateOptions options;
  options.cache_file = d.filePath("cache/hashes.tsv");
  const DuplicateReport first = find_duplicates(*images, options);
  QStringList lines;
  for (const DuplicatePair& p : first.pairs)
    lines << pair_line(*images, p).replace(d.path() + QLatin1Char('/'), QString());
  lines.sort();
  EXPECT_EQ(lines, (QStringList{
                       "exact\ttrain\ttrain/images/t0.jpg\tval\tval/images/leak_exact.jpg\tleak",
                       "near\ttrain\ttrain/images/t1.jpg\tval\tval/images/leak_q70.jpg\tleak",
                       "near\ttrain\ttrain/images/t2.jpg\ttrain\ttrain/images/t2_half.png",
                   }));
  EXPECT_EQ(first.hashed, 15);
  EXPECT_EQ(first.cached, 0);
  const DuplicateReport second = find_duplicates(*images, options);
  EXPECT_EQ(second.cached, 15);
  EXPECT_EQ(second.pairs.size(), first.pairs.size());
  // A changed file is hashed again.
  write_file(d.filePath("val/images/v0.jpg"), encode(scene(99), ".jpg", 92));
  EXPECT_EQ(find_duplicates(*images, options).hashed, 1);
}

TEST_F(SplitDuplicates, DroppingACopyMovesItAndItsLabelOutOfTheSplit) {
  const auto images = yaml_images(d.filePath("data.yaml"));
  const auto leak = std::find_if(images->begin(), images->end(),
                                 [](const DatasetImage& i) { return i.path.endsWith("leak_exact.jpg"); });
  ASSERT_NE(leak, images->end());
  const QByteArray bytes = read_file(leak->path);
  const auto moved = drop_copy(*leak);
  ASSERT_TRUE(moved.ok()) << moved.error().toStdString();
  EXPECT_EQ(*moved, d.filePath("val/removed/images/leak_exact.jpg"));
  EXPECT_EQ(read_file(*moved), bytes);
  EXPECT_TRUE(QFileInfo::exists(d.filePath("val/removed/labels/leak_exact.txt")));
  EXPECT_FALSE(QFileInfo::exists(leak->path));
  EXPECT_FALSE(QFileInfo::exists(leak->label));
  // The split no longer lists it; a second copy of the same name does not overwrite the first.
  EXPECT_EQ(yaml_images(d.filePath("data.yaml"))->size(), 14u);
  write_file(leak->path, "again");
  const auto again = drop_copy(*leak);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, d.filePath("val/removed/images/leak_exact (2).jpg"));
  EXPECT_EQ(read_file(*moved), bytes);
}

TEST(FolderDuplicates, AnnotatorFolderDropsIntoRemovedInside) {
  QTemporaryDir tmp;
  const QDir d(tmp.path());
  write_file(d.filePath("a.jpg"), encode(scene(7), ".jpg", 90));
  write_file(d.filePath("a.txt"), "0 0.5 0.5 0.1 0.1\n");
  write_file(d.filePath("b.jpg"), encode(scene(7), ".jpg", 70));
  write_file(d.filePath("c.jpg"), encode(scene(8), ".jpg", 90));
  const std::vector<DatasetImage> images = folder_images(d.path());
  const DuplicateReport report = find_duplicates(images);
  ASSERT_EQ(report.pairs.size(), 1u);
  EXPECT_EQ(pair_line(images, report.pairs[0]),
            QStringLiteral("near\t-\t%1\t-\t%2").arg(d.filePath("a.jpg"), d.filePath("b.jpg")));
  ASSERT_TRUE(drop_copy(images[0]).ok());
  EXPECT_TRUE(QFileInfo::exists(d.filePath("removed/a.jpg")));
  EXPECT_EQ(read_file(d.filePath("removed/a.txt")), "0 0.5 0.5 0.1 0.1\n");
}

}  // namespace
