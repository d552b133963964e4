#include "enricher/enricher_core.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace en = orvane::enricher;

namespace {

// A picture with no black pixel and different content in every region, so rotations, crops and
// warps that fetch the wrong place or fill with black are visible.
cv::Mat gradient(int w, int h) {
  cv::Mat img(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      img.at<cv::Vec3b>(y, x) =
          cv::Vec3b(uchar(20 + x * 200 / w), uchar(20 + y * 200 / h), uchar(60 + (x + y) % 7));
  return img;
}

bool equal(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

en::AugRanges identity_ranges() {
  en::AugRanges r;
  r.brightness = {0, 0};
  r.contrast = {1, 1};
  r.rotation = {0, 0};
  r.gamma = {1, 1};
  r.warp = {0, 0};
  return r;
}

bool has_black(const cv::Mat& img) {
  cv::Mat grey;
  cv::cvtColor(img, grey, cv::COLOR_BGR2GRAY);
  return cv::countNonZero(grey) != int(grey.total());
}

}  // namespace

TEST(Uniform, EitherOrderAndCollapsedRange) {
  en::Rng rng(7);
  for (int i = 0; i < 200; ++i) {
    const double v = en::uniform(rng, 5.0, -3.0);
    EXPECT_GE(v, -3.0);
    EXPECT_LE(v, 5.0);
  }
  EXPECT_EQ(en::uniform(rng, 1.2, 1.2), 1.2);
}

TEST(GetAugImage, IdentityRangesGiveTheBaseBack) {
  const cv::Mat base = gradient(97, 61);
  en::Rng rng(1);
  const cv::Mat out = en::get_aug_image(base, identity_ranges(), rng);
  EXPECT_TRUE(equal(out, base));
  EXPECT_NE(out.data, base.data);  // a new image, the base is never touched
}

TEST(GetAugImage, WarpSkippedWhenMaximumIsNotPositive) {
  const cv::Mat base = gradient(80, 60);
  auto ranges = identity_ranges();
  ranges.warp = {20, 0};  // a large minimum does not matter: the maximum decides
  en::Rng rng(3);
  EXPECT_TRUE(equal(en::get_aug_image(base, ranges, rng), base));
  ranges.warp = {20, 20};
  en::Rng rng2(3);
  EXPECT_FALSE(equal(en::get_aug_image(base, ranges, rng2), base));
}

TEST(GetAugImage, BrightnessIsAbsoluteAndSaturated) {
  const cv::Mat base(4, 4, CV_8UC3, cv::Scalar(30, 100, 250));
  auto ranges = identity_ranges();
  ranges.brightness = {-100, -100};
  en::Rng rng(1);
  // |30 - 100| = 70 (the absolute value, not a clamp to 0); 250 - 100 = 150.
  EXPECT_EQ(en::get_aug_image(base, ranges, rng).at<cv::Vec3b>(2, 2), cv::Vec3b(70, 0, 150));
  ranges.brightness = {40, 40};
  ranges.contrast = {2, 2};
  EXPECT_EQ(en::get_aug_image(base, ranges, rng).at<cv::Vec3b>(1, 1), cv::Vec3b(100, 240, 255));
}

TEST(GetAugImage, GammaTableTruncates) {
  const cv::Mat t = en::gamma_table(2.0);
  EXPECT_EQ(t.at<uchar>(0), 0);
  EXPECT_EQ(t.at<uchar>(64), 127);  // 127.75 truncated, not rounded
  EXPECT_EQ(t.at<uchar>(255), 255);
  const cv::Mat id = en::gamma_table(1.0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(id.at<uchar>(i), i);
}

TEST(GetAugImage, RotationAndWarpKeepTheSizeAndReplicateEdges) {
  const cv::Mat base = gradient(64, 40);
  auto ranges = identity_ranges();
  ranges.rotation = {90, 90};
  en::Rng rng(5);
  cv::Mat out = en::get_aug_image(base, ranges, rng);
  EXPECT_EQ(out.size(), base.size());
  EXPECT_FALSE(has_black(out));
  EXPECT_FALSE(equal(out, base));

  ranges = en::AugRanges{};
  ranges.warp = {10, 30};
  for (int i = 0; i < 5; ++i) {
    out = en::get_aug_image(base, ranges, rng);
    EXPECT_EQ(out.size(), base.size());
    EXPECT_FALSE(has_black(out));
  }
}

TEST(GetAugImage, SeedReproducesVariant) {
  const cv::Mat base = gradient(50, 50);
  en::Rng a(42), b(42), c(43);
  const cv::Mat va = en::get_aug_image(base, {}, a);
  EXPECT_TRUE(equal(va, en::get_aug_image(base, {}, b)));
  EXPECT_FALSE(equal(va, en::get_aug_image(base, {}, c)));
}

TEST(RotateGrow, GrowsTheCanvas) {
  const cv::Mat square = gradient(100, 100);
  const cv::Mat r45 = en::rotate_grow(square, 45);
  EXPECT_EQ(r45.cols, 141);
  EXPECT_EQ(r45.rows, 141);
  EXPECT_FALSE(has_black(r45));  // corners repeat the edge pixels

  // Clockwise (-90): the top-left corner goes to the top-right.
  cv::Mat img = gradient(640, 480);
  cv::rectangle(img, cv::Rect(0, 0, 20, 20), cv::Scalar(255, 255, 255), cv::FILLED);
  const cv::Mat cw = en::rotate_grow(img, -90);
  EXPECT_EQ(cw.size(), cv::Size(480, 640));
  EXPECT_EQ(cw.at<cv::Vec3b>(5, 474), cv::Vec3b(255, 255, 255));
  EXPECT_NE(cw.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 255, 255));
  const cv::Mat ccw = en::rotate_grow(img, 90);
  EXPECT_EQ(ccw.at<cv::Vec3b>(634, 5), cv::Vec3b(255, 255, 255));

  // Four quarter turns either way restore the size (the centre rounds, so the picture may shift
  // by a pixel, but the marker stays in its corner).
  for (const double angle : {-90.0, 90.0}) {
    cv::Mat turned = img;
    for (int i = 0; i < 4; ++i) turned = en::rotate_grow(turned, angle);
    EXPECT_EQ(turned.size(), img.size());
    EXPECT_EQ(turned.at<cv::Vec3b>(8, 8), cv::Vec3b(255, 255, 255));
  }
}

TEST(RotateGrow, NonFiniteAngleChangesNothing) {
  const cv::Mat img = gradient(30, 20);
  EXPECT_TRUE(equal(en::rotate_grow(img, std::nan("")), img));
  EXPECT_TRUE(equal(en::rotate_grow(img, INFINITY), img));
}

TEST(Crop, EitherClickOrderTruncatesAndClips) {
  const cv::Mat img = gradient(100, 50);
  const auto a = en::crop_rect(img.size(), {10.9, 5.2}, {20.7, 15.9});
  const auto b = en::crop_rect(img.size(), {20.7, 15.9}, {10.9, 5.2});
  const auto c = en::crop_rect(img.size(), {10.9, 15.9}, {20.7, 5.2});  // other diagonal
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, cv::Rect(10, 5, 10, 10));
  EXPECT_EQ(*b, *a);
  EXPECT_EQ(*c, *a);
  const auto cropped = en::crop_image(img, {20.7, 15.9}, {10.9, 5.2});
  ASSERT_TRUE(cropped);
  EXPECT_TRUE(equal(*cropped, img(*a)));

  // Outside the picture: clipped to it.
  EXPECT_EQ(en::crop_rect(img.size(), {-10, -5}, {30, 1000}), cv::Rect(0, 0, 30, 50));
  EXPECT_EQ(en::crop_rect(img.size(), {90, 40}, {500, 500}), cv::Rect(90, 40, 10, 10));
  // Empty rectangles crop nothing: same column, same row, or wholly outside.
  EXPECT_FALSE(en::crop_rect(img.size(), {10.2, 5}, {10.8, 30}));
  EXPECT_FALSE(en::crop_rect(img.size(), {10, 7}, {30, 7}));
  EXPECT_FALSE(en::crop_rect(img.size(), {120, 10}, {200, 40}));
  EXPECT_FALSE(en::crop_image(img, {-5, -5}, {-1, 30}));
}

TEST(WarpQuad, StraightensTheClickedRegion) {
  const cv::Mat img = gradient(400, 400);
  const auto out = en::warp_quad(img, {{{0, 0}, {200, 0}, {200, 100}, {0, 100}}});
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), cv::Size(200, 100));
  // The region maps onto 0..199 x 0..99, so each output pixel shows the source a hair further out.
  for (int y = 0; y < 100; y += 9)
    for (int x = 0; x < 200; x += 13) {
      const cv::Vec3b src = img.at<cv::Vec3b>(int(y * 100.0 / 99), int(x * 200.0 / 199));
      const cv::Vec3b got = out->at<cv::Vec3b>(y, x);
      for (int ch = 0; ch < 2; ++ch) ASSERT_NEAR(got[ch], src[ch], 1) << x << "," << y;
    }

  // A tilted quadrilateral straightens to the longer of each pair of sides.
  const auto tilted = en::warp_quad(img, {{{50, 40}, {250.5, 60}, {240, 200}, {60, 190}}});
  ASSERT_TRUE(tilted);
  EXPECT_EQ(tilted->size(), cv::Size(int(std::hypot(200.5, 20)), int(std::hypot(10, 150))));
}

TEST(WarpQuad, ClipsOutsidePointsAndRejectsDegenerateQuads) {
  const cv::Mat img = gradient(120, 80);
  const auto outside = en::warp_quad(img, {{{-50, -20}, {500, -1}, {500, 300}, {-3, 300}}});
  const auto clipped = en::warp_quad(img, {{{0, 0}, {119, 0}, {119, 79}, {0, 79}}});
  ASSERT_TRUE(outside && clipped);
  EXPECT_TRUE(equal(*outside, *clipped));
  EXPECT_FALSE(has_black(*outside));

  EXPECT_FALSE(en::warp_quad(img, {{{10, 10}, {10, 10}, {10, 10}, {10, 10}}}));
  EXPECT_FALSE(en::warp_quad(img, {{{0, 0}, {30, 30}, {60, 60}, {0, 70}}}));     // three on a line
  EXPECT_FALSE(en::warp_quad(img, {{{-9, -9}, {-8, -9}, {-8, -8}, {-9, -8}}}));  // all off-image
}

TEST(Batch, NamesCountsAndJpegs) {
  EXPECT_EQ(en::variant_file_name(1700000000, 1), "image_enriched_1700000000_var_1.jpg");
  EXPECT_EQ(en::variant_file_name(1700000000, 12), "image_enriched_1700000000_var_12.jpg");
  EXPECT_EQ(en::closing_message(3),
            "Enrichment complete! Saved 3 variant(s) of the manipualted image.");

  QTemporaryDir dir;
  const cv::Mat base = gradient(64, 48);
  en::Rng rng(1);
  auto one = en::enrich_batch(base, {}, 1, dir.path(), 1234, rng);
  EXPECT_EQ(one.created, 1);
  EXPECT_EQ(one.failed, 0);
  EXPECT_EQ(one.second, 1234);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"image_enriched_1234_var_1.jpg"});

  QTemporaryDir dir3;
  int progress = 0;
  auto three = en::enrich_batch(base, {}, 3, dir3.path(), 50, rng, [&](int k) { progress = k; });
  EXPECT_EQ(three.created, 3);
  EXPECT_EQ(progress, 3);
  for (int k = 1; k <= 3; ++k) {
    const cv::Mat back =
        cv::imread(QDir(dir3.path()).filePath(en::variant_file_name(50, k)).toStdString());
    ASSERT_FALSE(back.empty()) << k;
    EXPECT_EQ(back.size(), base.size());
  }
  EXPECT_EQ(QDir(dir3.path()).entryList(QDir::Files).size(), 3);  // no temporaries left behind
}

TEST(Batch, NeverOverwritesEarlierVariants) {
  QTemporaryDir dir;
  const QString taken = QDir(dir.path()).filePath("image_enriched_100_var_2.jpg");
  {
    QFile f(taken);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("earlier variant");
  }
  EXPECT_EQ(en::free_batch_second(dir.path(), 100, 1), 100);  // var_1 of second 100 is free
  EXPECT_EQ(en::free_batch_second(dir.path(), 100, 3), 101);

  en::Rng rng(2);
  const auto result = en::enrich_batch(gradient(32, 32), {}, 3, dir.path(), 100, rng);
  EXPECT_EQ(result.second, 101);
  EXPECT_EQ(result.created, 3);
  QFile f(taken);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "earlier variant");

  // A second batch in the same second moves on again instead of replacing the first.
  const auto again = en::enrich_batch(gradient(32, 32), {}, 3, dir.path(), 100, rng);
  EXPECT_EQ(again.second, 102);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 7);
}

TEST(Batch, WriteFailuresAreCountedNotSaved) {
  QTemporaryDir dir;
  const QString missing = QDir(dir.path()).filePath("not-created");
  en::Rng rng(3);
  const auto result = en::enrich_batch(gradient(16, 16), {}, 4, missing, 10, rng);
  EXPECT_EQ(result.created, 0);
  EXPECT_EQ(result.failed, 4);
  EXPECT_EQ(result.first_failure, QDir(missing).filePath("image_enriched_10_var_1.jpg"));
}

TEST(Sources, FiltersSortsAndCleans) {
  QTemporaryDir dir;
  const QDir d(dir.path());
  for (const char* name : {"b.png", "A.JPG", "c.webp", "a.tif", "a.gif", "notes.txt", "d.Jpeg"})
    QFile(d.filePath(name)).open(QIODevice::WriteOnly);
  d.mkdir("sub");
  QFile(d.filePath("sub/e.jpg")).open(QIODevice::WriteOnly);

  const QStringList got = en::list_sources(dir.path() + "/sub/../.");
  const QString root = QDir::cleanPath(dir.path());
  EXPECT_EQ(got,
            (QStringList{root + "/A.JPG", root + "/b.png", root + "/c.webp", root + "/d.Jpeg"}));
}

namespace {

// Cancelled after the second variant: two whole files, none begun after, and the message says
// how far the batch got before the usual closing words.
TEST(Batch, AStopEndsTheBatchBeforeItsNextVariant) {
  QTemporaryDir dir;
  en::Rng rng(3);
  std::atomic_bool stop{false};
  const auto result = en::enrich_batch(
      gradient(32, 32), {}, 10, dir.path(), 77, rng,
      [&stop](int k) {
        if (k == 2) stop = true;
      },
      {}, &stop);
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.attempted, 2);
  EXPECT_EQ(result.created, 2);
  const QStringList files = QDir(dir.path()).entryList(QDir::Files);
  EXPECT_EQ(files.size(), 2);
  for (const QString& f : files)
    EXPECT_FALSE(cv::imread(QDir(dir.path()).filePath(f).toStdString()).empty());
  EXPECT_EQ(en::closing_message(result, 10),
            "Enrichment cancelled after 2 of 10 variants. Enrichment complete! Saved 2 "
            "variant(s) of the manipualted image.");
}

}  // namespace
