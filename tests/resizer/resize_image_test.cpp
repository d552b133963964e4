#include "resizer/resize_image.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTransform>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "test_images.h"

using namespace orvane::resizer;
using namespace orvane::test;

namespace {

TEST(Resample, ShrinkingFineStripesGivesEvenGreyNotMoire) {
  // One-pixel black/white columns: an honest 7.3x reduction is mid-grey all over. Lanczos taps
  // alone land on mostly-black and mostly-white columns (a deviation near 90 grey levels).
  cv::Mat stripes(64, 730, CV_8UC1);
  for (int x = 0; x < stripes.cols; ++x) stripes.col(x).setTo(x % 2 ? 255 : 0);
  const cv::Mat small = resample_lanczos(stripes, cv::Size(100, 9));
  ASSERT_EQ(small.size(), cv::Size(100, 9));
  cv::Scalar mean, stddev;
  cv::meanStdDev(small, mean, stddev);
  EXPECT_NEAR(mean[0], 127.5, 4.0);
  EXPECT_LT(stddev[0], 16.0);
}

TEST(Resample, KeepsSmoothContentAndExactSize) {
  cv::Mat ramp(300, 400, CV_8UC3);
  for (int y = 0; y < ramp.rows; ++y)
    for (int x = 0; x < ramp.cols; ++x)
      ramp.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 255 / 399, 80, 200);
  const cv::Mat up = resample_lanczos(ramp, cv::Size(1181, 886));
  ASSERT_EQ(up.size(), cv::Size(1181, 886));
  EXPECT_NEAR(up.at<cv::Vec3b>(443, 590)[0], 127, 3);
  EXPECT_EQ(up.at<cv::Vec3b>(443, 590)[1], 80);
}

TEST(TransformImage, RotationIsAnExactClockwiseTransposition) {
  QImage source(4, 2, QImage::Format_RGB888);
  source.fill(Qt::black);
  source.setPixel(0, 0, qRgb(255, 0, 0));  // top-left red
  source.setPixel(3, 0, qRgb(0, 255, 0));  // top-right green
  const auto r90 = transform_image(source, std::nullopt, 90, "png");
  ASSERT_TRUE(r90.ok());
  ASSERT_EQ(r90->size(), QSize(2, 4));
  EXPECT_EQ(r90->pixel(1, 0), qRgb(255, 0, 0));  // top-left went to top-right
  EXPECT_EQ(r90->pixel(1, 3), qRgb(0, 255, 0));
  const auto r270 = transform_image(source, std::nullopt, 270, "png");
  EXPECT_EQ(r270->pixel(0, 3), qRgb(255, 0, 0));
  const auto r180 = transform_image(source, std::nullopt, 180, "png");
  EXPECT_EQ(r180->size(), QSize(4, 2));
  EXPECT_EQ(r180->pixel(3, 1), qRgb(255, 0, 0));
}

TEST(TransformImage, AlphaIsResampledPremultipliedAndDroppedOnlyForJpeg) {
  const QImage source = half_transparent(64, 32);
  const auto png = transform_image(source, QSize(25, 12), 0, "png");
  ASSERT_TRUE(png.ok());
  ASSERT_TRUE(png->hasAlphaChannel());
  EXPECT_EQ(qAlpha(png->pixel(0, 6)), 255);
  EXPECT_EQ(qAlpha(png->pixel(24, 6)), 0);
  for (int x = 0; x < 25; ++x) {
    // The hidden red of the transparent half must not bleed into the visible edge.
    const QRgb p = png->pixel(x, 6);
    if (qAlpha(p) > 8) {
      EXPECT_LT(qRed(p), 40) << "x=" << x << " alpha=" << qAlpha(p);
    }
  }
  EXPECT_TRUE(transform_image(source, QSize(25, 12), 0, "webp")->hasAlphaChannel());
  EXPECT_TRUE(transform_image(source, QSize(25, 12), 0, "bmp")->hasAlphaChannel());
  const auto jpeg = transform_image(source, QSize(25, 12), 0, "jpeg");
  EXPECT_FALSE(jpeg->hasAlphaChannel());
  // Dropped, not blended: the hidden colour shows.
  EXPECT_EQ(qRed(jpeg->pixel(24, 6)), 255);
}

// Without resampling nothing is premultiplied: the colour of transparent and nearly transparent
// pixels reaches the encoder unchanged, rotated or not, and survives a PNG, WEBP or BMP file.
TEST(TransformImage, StraightAlphaPassesThroughExactlyWhenNothingIsResampled) {
  QImage source(6, 4, QImage::Format_RGBA8888);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x)
      source.setPixel(x, y, qRgba(200 - 30 * x, 17 + 40 * y, 99, x * 2));  // alpha 0..10
  for (const QByteArray format : {"png", "bmp"}) {
    for (int rotation : {0, 90}) {
      const auto out = transform_image(source, std::nullopt, rotation, format);
      ASSERT_TRUE(out.ok());
      const QImage back = rotation ? out->transformed(QTransform().rotate(-90)) : *out;
      const QImage expected = source.convertToFormat(QImage::Format_ARGB32);
      const QImage got = back.convertToFormat(QImage::Format_ARGB32);
      ASSERT_EQ(got.size(), expected.size());
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
          ASSERT_EQ(got.pixel(x, y), expected.pixel(x, y))
              << format.constData() << " rotation " << rotation << " at " << x << "," << y;
    }
  }
  // The same size as the source is no resampling either.
  const auto same = transform_image(source, source.size(), 0, "webp");
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(same->convertToFormat(QImage::Format_ARGB32).pixel(5, 3),
            source.convertToFormat(QImage::Format_ARGB32).pixel(5, 3));
}

TEST(TransformImage, PalettesSurviveWherePossible) {
  QImage palette(40, 20, QImage::Format_Indexed8);
  palette.setColorTable({qRgba(0, 0, 0, 0), qRgb(255, 0, 0), qRgb(0, 0, 255), qRgb(0, 255, 0)});
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 40; ++x) palette.setPixel(x, y, (x / 10) % 4);
  const auto png = transform_image(palette, QSize(80, 40), 0, "png");
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png->format(), QImage::Format_Indexed8);
  EXPECT_LE(png->colorCount(), 4);
  for (QRgb c : png->colorTable()) EXPECT_TRUE(palette.colorTable().contains(c));
  EXPECT_EQ(qAlpha(png->pixel(2, 2)), 0);  // transparency kept
  EXPECT_EQ(transform_image(palette, QSize(80, 40), 0, "bmp")->format(), QImage::Format_Indexed8);
  // Rotation alone keeps every index exactly.
  const auto turned = transform_image(palette, std::nullopt, 90, "png");
  EXPECT_EQ(turned->format(), QImage::Format_Indexed8);
  EXPECT_EQ(turned->pixelIndex(19, 39), 3);
  const auto webp = transform_image(palette, QSize(80, 40), 0, "webp");
  EXPECT_NE(webp->format(), QImage::Format_Indexed8);
  EXPECT_TRUE(webp->hasAlphaChannel());  // the palette's transparency becomes alpha
  EXPECT_FALSE(transform_image(palette, QSize(80, 40), 0, "jpeg")->hasAlphaChannel());
}

TEST(TransformImage, GreyAndSixteenBitStayWhatTheyAre) {
  QImage grey16(30, 20, QImage::Format_Grayscale16);
  for (int y = 0; y < 20; ++y) {
    auto* row = reinterpret_cast<quint16*>(grey16.scanLine(y));
    for (int x = 0; x < 30; ++x) row[x] = quint16(1000 + x * 2000);
  }
  EXPECT_EQ(transform_image(grey16, QSize(60, 40), 0, "png")->format(), QImage::Format_Grayscale16);
  EXPECT_EQ(transform_image(grey16, QSize(60, 40), 0, "jpeg")->format(), QImage::Format_Grayscale8);
  QImage rgb64(30, 20, QImage::Format_RGBX64);
  rgb64.fill(QColor::fromRgba64(1000, 30000, 65000));
  const auto deep = transform_image(rgb64, QSize(15, 10), 0, "png");
  EXPECT_GE(deep->depth(), 64);
  EXPECT_FALSE(deep->hasAlphaChannel());
  EXPECT_NEAR(deep->pixelColor(7, 5).rgba64().green(), 30000, 2);
}

TEST(TransformImage, RefusesNonPositiveSizes) {
  const auto result = transform_image(noise_image(10, 10), QSize(-5, 10), 0, "png");
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().contains("-5x10"));
}

TEST(Decode, FormatComesFromTheContentAndExifOrientationIsApplied) {
  QTemporaryDir dir;
  const QString fake = dir.filePath("really_png.jpg");
  ASSERT_TRUE(save(noise_image(8, 6), fake, "png"));
  const auto decoded = decode_image(fake);
  ASSERT_TRUE(decoded.ok()) << decoded.error().toStdString();
  EXPECT_EQ(decoded->format, "png");

  const QString turned = dir.filePath("turned.jpg");
  QFile f(turned);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(jpeg_with_orientation_6(noise_image(40, 30)));
  f.close();
  EXPECT_EQ(*displayed_size(turned), QSize(30, 40));
  EXPECT_EQ(decode_image(turned)->image.size(), QSize(30, 40));
  EXPECT_EQ(load_thumbnail(turned, QSize(240, 140)).size(), QSize(105, 140));

  // Qt leaves WEBP orientation to us.
  QImage marked(40, 30, QImage::Format_RGB32);
  marked.fill(Qt::blue);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) marked.setPixel(x, y, qRgb(255, 0, 0));  // red top-left
  const QString webp = dir.filePath("turned.webp");
  QFile w(webp);
  ASSERT_TRUE(w.open(QIODevice::WriteOnly));
  w.write(webp_with_orientation_6(marked));
  w.close();
  EXPECT_EQ(webp_exif_orientation(webp), 6);
  EXPECT_EQ(webp_exif_orientation(fake), 1);
  EXPECT_EQ(*displayed_size(webp), QSize(30, 40));
  const QImage upright = decode_image(webp)->image;
  ASSERT_EQ(upright.size(), QSize(30, 40));
  EXPECT_GT(qRed(upright.pixel(26, 3)), 200);  // top-left went to top-right
  EXPECT_LT(qRed(upright.pixel(3, 3)), 60);
  EXPECT_EQ(load_thumbnail(webp, QSize(240, 140)).size(), QSize(105, 140));

  const QString junk = dir.filePath("junk.png");
  QFile j(junk);
  ASSERT_TRUE(j.open(QIODevice::WriteOnly));
  j.write("not an image at all");
  j.close();
  EXPECT_FALSE(decode_image(junk).ok());
  EXPECT_FALSE(displayed_size(junk).ok());
  EXPECT_FALSE(decode_image(dir.filePath("missing.png")).ok());
}

}  // namespace
