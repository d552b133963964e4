#include "resizer/resizer_batch.h"

#include <gtest/gtest.h>

#include <atomic>

#include <QColorSpace>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

#include "resizer/resize_settings.h"
#include "test_images.h"

using namespace orvane::resizer;
using namespace orvane::test;

namespace {

void write_text(const QString& path, const QByteArray& text) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
}

QStringList names(const QStringList& paths) {
  QStringList out;
  for (const QString& p : paths) out << QFileInfo(p).fileName();
  return out;
}

TEST(Queue, FolderListingTakesImageFilesOnlyAndRecursionGoesTopDown) {
  QTemporaryDir dir;
  const QDir root(dir.path());
  ASSERT_TRUE(root.mkpath("x.jpg"));  // a folder with an image name
  ASSERT_TRUE(root.mkpath("a/deeper"));
  ASSERT_TRUE(root.mkpath("b"));
  write_text(root.filePath("photo.JPG"), "x");
  write_text(root.filePath("notes.txt"), "x");
  write_text(root.filePath("a/img.png"), "x");
  write_text(root.filePath("a/deeper/z.webp"), "x");
  write_text(root.filePath("b/img.png"), "x");
  write_text(root.filePath("x.jpg/inside.bmp"), "x");

  EXPECT_EQ(names(collect_folder(dir.path(), false)), QStringList{"photo.JPG"});

  const QStringList all = collect_folder(dir.path(), true);
  EXPECT_EQ(all.size(), 5);
  EXPECT_EQ(QFileInfo(all.front()).fileName(), "photo.JPG");  // the folder's own files first
  EXPECT_TRUE(all.contains(root.filePath("a/img.png")));
  EXPECT_TRUE(all.contains(root.filePath("b/img.png")));
  EXPECT_TRUE(all.contains(root.filePath("x.jpg/inside.bmp")));
  EXPECT_FALSE(all.contains(root.filePath("x.jpg")));
  EXPECT_LT(all.indexOf(root.filePath("a/img.png")), all.indexOf(root.filePath("a/deeper/z.webp")));

  QStringList queue;
  EXPECT_EQ(append_unique(queue, all), 5);
  EXPECT_EQ(append_unique(queue, all), 0);
  EXPECT_EQ(append_unique(queue, {"/elsewhere/a.png", "/elsewhere/a.png"}), 1);
  EXPECT_EQ(queue.size(), 6);
}

TEST(ReadBatchOptions, RefusesWhatNoImageCanFix) {
  BatchInput input;
  EXPECT_TRUE(read_batch_options(input).ok());
  input.dpi_text = "";
  EXPECT_EQ(read_batch_options(input)->dpi, 300.0);
  for (const char* dpi : {"abc", "  ", "-300", "0", "inf"}) {
    input.dpi_text = dpi;
    const auto result = read_batch_options(input);
    EXPECT_FALSE(result.ok()) << dpi;
    EXPECT_TRUE(result.error().contains("DPI")) << result.error().toStdString();
  }
  input.dpi_text = "300";
  input.width_text = "ten";
  EXPECT_TRUE(read_batch_options(input).error().contains("Width"));
  input.width_text = "-10";
  EXPECT_FALSE(read_batch_options(input).ok());
  input.resize_on = false;  // the size fields are not read when resizing is off
  EXPECT_TRUE(read_batch_options(input).ok());
  input.budget_on = true;
  input.budget_text = "lots";
  EXPECT_TRUE(read_batch_options(input).error().contains("Max File Size"));
  input.budget_on = false;
  EXPECT_TRUE(read_batch_options(input).ok());
  input.rotation_text = "90°";
  input.format_text = "WEBP";
  EXPECT_EQ(read_batch_options(input)->size.rotation, 90);
  EXPECT_EQ(read_batch_options(input)->format, FormatChoice::Webp);
}

class Batch : public ::testing::Test {
 protected:
  QTemporaryDir in, out;
  QString image(const QString& name, const QImage& picture, const char* format) {
    const QString path = QDir(in.path()).filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    EXPECT_TRUE(save(picture, path, format));
    return path;
  }
  QString output(const QString& name) const { return QDir(out.path()).filePath(name); }
};

TEST_F(Batch, PhysicalSizeFormatAndRotationEndToEnd) {
  const QString photo = image("photo.PNG", noise_image(400, 300), "png");
  BatchInput input;
  input.width_text = "10";
  input.unit = "cm";
  input.format_text = "JPEG";
  input.rotation_text = "90°";
  const auto options = read_batch_options(input);
  const FileOutcome r = process_file(photo, out.path(), *options);
  ASSERT_TRUE(r.ok) << r.error.toStdString();
  EXPECT_EQ(r.output, output("photo_scaled.jpeg"));
  const QImage written = read_image(r.output);
  EXPECT_EQ(written.size(), QSize(886, 1181));  // 1181x886, then turned
  EXPECT_EQ(detected_format(r.output), "jpeg");
  EXPECT_EQ(jfif_density(read_bytes(r.output)).x, 300);
}

TEST_F(Batch, MatchOriginalKeepsTheNameAndWritesTheRealFormat) {
  const QString fake = image("shot.jpg", half_transparent(40, 30), "png");  // PNG named .jpg
  BatchInput input;
  input.resize_on = false;
  const FileOutcome r = process_file(fake, out.path(), *read_batch_options(input));
  ASSERT_TRUE(r.ok) << r.error.toStdString();
  EXPECT_EQ(r.output, output("shot_scaled.jpg"));
  EXPECT_EQ(detected_format(r.output), "png");
  EXPECT_TRUE(read_image(r.output).hasAlphaChannel());
  EXPECT_EQ(read_image(r.output).size(), QSize(40, 30));
}

TEST_F(Batch, ExifOrientationIsAppliedBeforeResizing) {
  const QString path = QDir(in.path()).filePath("portrait.jpg");
  write_text(path, jpeg_with_orientation_6(noise_image(400, 300)));
  BatchInput input;
  input.width_text = "150";  // of the displayed 300x400 picture
  const FileOutcome r = process_file(path, out.path(), *read_batch_options(input));
  ASSERT_TRUE(r.ok) << r.error.toStdString();
  EXPECT_EQ(read_image(r.output).size(), QSize(150, 200));
}

TEST_F(Batch, BudgetIsMetWhenPossible) {
  const QString photo = image("noise.png", noise_image(300, 200), "png");
  BatchInput input;
  input.resize_on = false;
  input.format_text = "WEBP";
  input.budget_on = true;
  input.budget_text = "40";
  FileOutcome r = process_file(photo, out.path(), *read_batch_options(input));
  ASSERT_TRUE(r.ok) << r.error.toStdString();
  EXPECT_LE(QFileInfo(r.output).size(), 40 * 1024);
  EXPECT_FALSE(r.over_budget);
  ASSERT_TRUE(r.quality.has_value());
  input.budget_text = "0.1";
  r = process_file(photo, out.path(), *read_batch_options(input));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.over_budget);
  EXPECT_EQ(r.quality, 5);
  input.budget_text = "0";  // nothing fits, and there is no profile to blame
  r = process_file(photo, out.path(), *read_batch_options(input));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.over_budget);
  EXPECT_FALSE(r.profile_removed);
  // The operator hears which files stayed over the budget.
  input.budget_text = "0.1";
  input.format_text = "Match Original";
  const auto summary = run_batch({photo}, out.path(), *read_batch_options(input));
  EXPECT_EQ(summary.written, 1);
  ASSERT_EQ(summary.over_budget.size(), 1u);
  EXPECT_EQ(closing_message(summary),
            "Batch process finished. Exported 1 images.\n\n1 files are larger than 0.1 KB:\n"
            "noise.png: still " +
                format_kb(QFileInfo(output("noise_scaled.png")).size()) +
                " KB; PNG does not shrink with quality");
}

// A colour profile of camera or print size, valid enough for Qt to embed it in every file.
QColorSpace huge_profile(int kb) {
  QByteArray icc = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
  QRandomGenerator rng(11);
  for (int i = 0; i < kb * 256; ++i) {
    const quint32 word = rng.generate();
    icc.append(reinterpret_cast<const char*>(&word), 4);  // incompressible, even in PNG
  }
  qToBigEndian<quint32>(quint32(icc.size()), icc.data());  // the header's profile size
  return QColorSpace::fromIccProfile(icc);
}

TEST_F(Batch, AProfileThatAloneBreaksTheBudgetIsRemovedAndTheBoxSaysWhy) {
  QImage picture(320, 240, QImage::Format_RGB888);
  picture.fill(QColor(200, 30, 40));
  picture.setColorSpace(huge_profile(390));
  ASSERT_TRUE(picture.colorSpace().isValid());
  const QString photo = image("photo.jpg", picture, "jpeg");
  ASSERT_GT(QFileInfo(photo).size(), 390 * 1024);
  const QString noise = image("noise.jpg", noise_image(400, 300), "jpeg");
  BatchInput input;
  input.resize_on = false;
  input.budget_on = true;
  input.budget_text = "200";
  const auto summary = run_batch({photo, noise}, out.path(), *read_batch_options(input));
  ASSERT_EQ(summary.written, 2);
  // The photo now fits, in sRGB: AdobeRGB's red maps to a stronger sRGB red.
  const QString written = output("photo_scaled.jpg");
  EXPECT_LE(QFileInfo(written).size(), 200 * 1024);
  const QImage back = read_image(written);
  EXPECT_TRUE(back.colorSpace().iccProfile().size() < 4096);
  EXPECT_GT(back.pixelColor(10, 10).red(), 215);
  ASSERT_EQ(summary.profile_removed.size(), 1u);
  EXPECT_TRUE(summary.over_budget.empty());

  // Over a budget no quality can meet, the reason is the quality, not the format.
  input.budget_text = "1";
  const auto tight = run_batch({noise}, out.path(), *read_batch_options(input));
  ASSERT_EQ(tight.over_budget.size(), 1u);
  EXPECT_EQ(closing_message(summary),
            "Batch process finished. Exported 2 images.\n\n1 files were converted to sRGB "
            "(colour profile removed to meet the size budget):\nphoto.jpg");
  EXPECT_EQ(closing_message(tight),
            "Batch process finished. Exported 1 images.\n\n1 files are larger than 1 KB:\n"
            "noise.jpg: still " +
                format_kb(QFileInfo(output("noise_scaled.jpg")).size()) +
                " KB at the lowest quality");
}

// Nothing resampled, nothing premultiplied: nearly transparent pixels keep their colour in the
// file.
TEST_F(Batch, WithoutResizingPixelsAreCopiedExactlyAlphaIncluded) {
  QImage picture(16, 8, QImage::Format_ARGB32);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) picture.setPixel(x, y, qRgba(13 * x, 250 - 20 * y, 77, x % 4));
  for (const char* format : {"png", "bmp"}) {
    const QString source = image(QString("clear.%1").arg(format), picture, format);
    BatchInput input;
    input.resize_on = false;
    const FileOutcome r = process_file(source, out.path(), *read_batch_options(input));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const QImage back = read_image(r.output).convertToFormat(QImage::Format_ARGB32);
    const QImage expected = read_image(source).convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(back.size(), expected.size());
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x)
        ASSERT_EQ(back.pixel(x, y), expected.pixel(x, y)) << format << " at " << x << "," << y;
  }
}

TEST_F(Batch, ClosingMessageCountsOnlyWrittenFilesAndListsFailures) {
  const QString good = image("good.png", noise_image(40, 30), "png");
  const QString broken = QDir(in.path()).filePath("broken.png");
  write_text(broken, "this is not a PNG");
  const QString tiny = image("tiny.png", noise_image(4, 4), "png");
  BatchInput input;
  input.width_text = "-20";  // a negative size is refused up front...
  EXPECT_FALSE(read_batch_options(input).ok());
  input.width_text = "20";
  std::vector<int> progress;
  QStringList errors;
  const auto summary = run_batch({good, broken, tiny}, out.path(), *read_batch_options(input),
                                 [&](const FileOutcome& r, int done) {
                                   progress.push_back(done);
                                   if (!r.ok) errors << error_line(r);
                                 });
  EXPECT_EQ(progress, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(summary.total, 3);
  EXPECT_EQ(summary.written, 2);
  ASSERT_EQ(summary.failures.size(), 1u);
  EXPECT_EQ(summary.failures[0].source, broken);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors[0].startsWith("Resizer Error: " + broken));
  EXPECT_FALSE(QFileInfo::exists(output("broken_scaled.png")));
  const QString message = closing_message(summary);
  EXPECT_TRUE(message.startsWith("Batch process finished. Exported 2 images.\n\n1 of 3 files"));
  EXPECT_TRUE(message.contains("broken.png: "));
  EXPECT_EQ(closing_message({1, 1, {}, {}, 0, {}}), "Batch process finished. Exported 1 images.");
}

TEST_F(Batch, SameOutputNameLaterEntryWinsWhateverTheParallelism) {
  const QString first = image("a/img.png", noise_image(10, 10), "png");
  const QString second = image("b/img.png", noise_image(30, 20), "png");
  QStringList queue{first, second};
  for (int i = 0; i < 6; ++i)
    queue << image(QString("filler%1.png").arg(i), noise_image(50, 50), "png");
  BatchInput input;
  input.resize_on = false;
  for (int jobs : {1, 4}) {
    const auto summary = run_batch(queue, out.path(), *read_batch_options(input), {}, jobs);
    EXPECT_EQ(summary.written, 8);
    EXPECT_EQ(read_image(output("img_scaled.png")).size(), QSize(30, 20)) << jobs;
  }
}

}  // namespace

namespace {

// Cancelled after its third file, on one worker and on four: no file is begun after the stop,
// every file written is whole, and the message says how far the batch got.
TEST_F(Batch, AStopEndsTheBatchAfterTheFilesInHandAndTheMessageSaysSo) {
  QStringList queue;
  for (int i = 0; i < 12; ++i)
    queue << image(QString("p%1.png").arg(i, 2, 10, QChar('0')), noise_image(60, 40, i), "png");
  BatchInput input;
  input.width_text = "30";
  for (const int jobs : {1, 4}) {
    QDir(out.path()).removeRecursively();
    QDir().mkpath(out.path());
    std::atomic_bool stop{false};
    const auto summary = run_batch(
        queue, out.path(), *read_batch_options(input),
        [&stop](const FileOutcome&, int done) {
          if (done == 3) stop = true;
        },
        jobs, &stop);
    EXPECT_TRUE(summary.cancelled);
    EXPECT_GE(summary.processed, 3);
    // The files the other workers had in hand when the stop came, plus those they had finished
    // whose reports were still queued behind the third: never a file begun after the stop.
    EXPECT_LE(summary.processed, 3 + 2 * jobs);
    EXPECT_EQ(summary.written, summary.processed);
    const QStringList written = QDir(out.path()).entryList(QDir::Files);
    EXPECT_EQ(written.size(), summary.processed) << written.join(",").toStdString();
    for (const QString& name : written)
      EXPECT_EQ(read_image(output(name)).size(), QSize(30, 20)) << name.toStdString();
    EXPECT_TRUE(closing_message(summary).startsWith(
        QString("Batch process cancelled after %1 of 12 files. Exported %1 images.")
            .arg(summary.processed)));
  }
}

}  // namespace
