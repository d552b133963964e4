#include "resizer/encode_image.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <cmath>

#include "test_images.h"

using namespace orvane::resizer;
using namespace orvane::test;

namespace {

QImage decode(const QByteArray& bytes) {
  QImage image;
  image.loadFromData(bytes);
  return image;
}

TEST(EncodeImage, ResolutionIsRecordedInJpegPngWebpAndBmp) {
  const QImage image = noise_image(50, 40);
  const auto jpeg = encode_image(image, "jpeg", 300);
  ASSERT_TRUE(jpeg.ok()) << jpeg.error().toStdString();
  const JfifDensity density = jfif_density(*jpeg);
  EXPECT_EQ(density.units, 1);
  EXPECT_EQ(density.x, 300);
  EXPECT_EQ(density.y, 300);

  const auto png = encode_image(image, "png", 300);
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(std::lround(decode(*png).dotsPerMeterX() * 0.0254), 300);
  EXPECT_EQ(std::lround(decode(*png).dotsPerMeterY() * 0.0254), 300);

  const auto bmp = encode_image(image, "bmp", 150);
  EXPECT_EQ(std::lround(decode(*bmp).dotsPerMeterX() * 0.0254), 150);

  for (const QImage& source : {image, half_transparent(50, 40)}) {
    const auto webp = encode_image(source, "webp", 300);
    ASSERT_TRUE(webp.ok());
    const auto exif = webp_exif_resolution(*webp);
    ASSERT_TRUE(exif.has_value());
    EXPECT_DOUBLE_EQ(exif->x, 300.0);
    EXPECT_DOUBLE_EQ(exif->y, 300.0);
    EXPECT_EQ(exif->unit, 2);  // inches
    // Still a valid WEBP of the same picture, alpha kept where there was alpha.
    const QImage back = decode(*webp);
    ASSERT_EQ(back.size(), QSize(50, 40));
    EXPECT_EQ(back.hasAlphaChannel(), source.hasAlphaChannel());
    if (source.hasAlphaChannel()) {
      EXPECT_EQ(qAlpha(back.pixel(45, 20)), 0);
    }
  }
  const auto odd = webp_exif_resolution(*encode_image(image, "webp", 72.5));
  EXPECT_DOUBLE_EQ(odd->x, 72.5);
}

TEST(EncodeImage, WebpResolutionIsAddedToSimpleAndExtendedFiles) {
  // Lossless WEBP (VP8L) with alpha: the extended header must announce alpha and EXIF.
  QByteArray lossless;
  QBuffer buffer(&lossless);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "webp");
  writer.setQuality(100);
  ASSERT_TRUE(writer.write(half_transparent(20, 10)));
  const QByteArray tagged = webp_with_resolution(lossless, QSize(20, 10), 200);
  ASSERT_EQ(tagged.mid(12, 4), "VP8X");
  EXPECT_EQ(quint8(tagged[20]) & 0x18, 0x18);
  EXPECT_EQ(qFromLittleEndian<quint32>(tagged.constData() + 4), quint32(tagged.size() - 8));
  EXPECT_DOUBLE_EQ(webp_exif_resolution(tagged)->x, 200.0);
  EXPECT_EQ(decode(tagged).size(), QSize(20, 10));
  // Tagging twice replaces the block instead of adding a second one.
  const QByteArray twice = webp_with_resolution(tagged, QSize(20, 10), 96);
  EXPECT_EQ(twice.count("EXIF"), 1);
  EXPECT_DOUBLE_EQ(webp_exif_resolution(twice)->x, 96.0);
  EXPECT_EQ(webp_with_resolution("not a webp", QSize(1, 1), 300), QByteArray("not a webp"));
}

TEST(EncodeImage, BmpWithAlphaKeepsItsAlpha) {
  const auto bmp = encode_image(half_transparent(30, 20), "bmp", 300);
  ASSERT_TRUE(bmp.ok());
  const QImage back = decode(*bmp);
  ASSERT_EQ(back.size(), QSize(30, 20));
  ASSERT_TRUE(back.hasAlphaChannel());
  EXPECT_EQ(back.pixel(0, 0), qRgba(0, 0, 255, 255));
  EXPECT_EQ(qAlpha(back.pixel(29, 19)), 0);
  EXPECT_EQ(std::lround(back.dotsPerMeterX() * 0.0254), 300);
}

TEST(BudgetSearch, FindsTheHighestQualityThatFits) {
  const QImage image = noise_image(160, 120);
  const auto q95 = encode_image(image, "jpeg", 300, 95);
  const auto q5 = encode_image(image, "jpeg", 300, 5);
  // A budget halfway between the extremes.
  const double budget_kb = (q95->size() + q5->size()) / 2.0 / 1024.0;
  const auto result = encode_within_budget(image, "jpeg", 300, budget_kb);
  ASSERT_TRUE(result.ok()) << result.error().toStdString();
  EXPECT_TRUE(result->fits);
  EXPECT_LE(result->bytes.size(), budget_kb * 1024.0);
  EXPECT_GT(result->quality, 5);
  EXPECT_LT(result->quality, 95);
  EXPECT_LE(result->attempts, 7);
  // The next quality up would not have fitted, and the bytes are that quality's encoding.
  EXPECT_GT(encode_image(image, "jpeg", 300, result->quality + 1)->size(), budget_kb * 1024.0);
  EXPECT_EQ(result->bytes, *encode_image(image, "jpeg", 300, result->quality));
  EXPECT_EQ(jfif_density(result->bytes).x, 300);
}

TEST(BudgetSearch, TooSmallABudgetGivesTheQualityFiveFile) {
  const QImage image = noise_image(160, 120);
  for (const char* format : {"jpeg", "webp"}) {
    const auto result = encode_within_budget(image, format, 300, 0.5);
    ASSERT_TRUE(result.ok());
    EXPECT_FALSE(result->fits) << format;
    EXPECT_EQ(result->quality, 5) << format;
    EXPECT_EQ(result->bytes, *encode_image(image, format, 300, 5)) << format;
    EXPECT_LE(result->attempts, 7);
  }
  // A generous budget ends at 95.
  EXPECT_EQ(encode_within_budget(image, "webp", 300, 10000)->quality, 95);
}

TEST(BudgetSearch, LosslessFormatsAreEncodedOnceWhateverTheBudget) {
  const QImage image = noise_image(60, 40);
  const auto small = encode_within_budget(image, "png", 300, 1);
  ASSERT_TRUE(small.ok());
  EXPECT_EQ(small->attempts, 1);
  EXPECT_FALSE(small->fits);
  EXPECT_EQ(small->bytes, *encode_image(image, "png", 300));
  EXPECT_TRUE(encode_within_budget(image, "png", 300, 1000)->fits);
}

TEST(OutputFormat, MatchOriginalUsesTheDecodedFormat) {
  EXPECT_EQ(output_format_for(FormatChoice::MatchOriginal, "png"), "png");
  EXPECT_EQ(output_format_for(FormatChoice::MatchOriginal, "bmp"), "bmp");
  EXPECT_EQ(output_format_for(FormatChoice::MatchOriginal, "webp"), "webp");
  EXPECT_EQ(output_format_for(FormatChoice::MatchOriginal, ""), "jpeg");
  EXPECT_EQ(output_format_for(FormatChoice::MatchOriginal, "gif"), "jpeg");  // no GIF writer
  EXPECT_EQ(output_format_for(FormatChoice::Webp, "png"), "webp");
}

}  // namespace
