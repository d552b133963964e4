// Statistics on a set with known sizes: pixel sizes at the training size, the COCO-style split,
// counts per class and per image, and the advice on small objects.
#include "dataset/dataset_statistics.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>

#include "dataset/test_files.h"
#include "imaging/image_files.h"

using namespace orvane::dataset;
using orvane::test::write_file;

namespace {

QString image(const QDir& d, const char* name, int w, int h) {
  QImage picture(w, h, QImage::Format_RGB32);
  picture.fill(Qt::gray);
  const QString path = d.filePath(name);
  picture.save(path);
  return path;
}

TEST(SizeBins, CocoAreaLimitsAndAspectBins) {
  EXPECT_EQ(size_class(32 * 32 - 1), kSmall);
  EXPECT_EQ(size_class(32 * 32), kMedium);
  EXPECT_EQ(size_class(96 * 96 - 1), kMedium);
  EXPECT_EQ(size_class(96 * 96), kLarge);
  EXPECT_EQ(aspect_bin(0.2), 0);
  EXPECT_EQ(aspect_bin(1.0), 3);
  EXPECT_EQ(aspect_bin(4.0), 5);
  EXPECT_EQ(count_bin(0), 0);
  EXPECT_EQ(count_bin(5), 3);
  EXPECT_EQ(count_bin(21), 6);
  EXPECT_EQ(percentile({5, 1, 3, 2, 4}, 0.5), 3);
  EXPECT_EQ(percentile({}, 0.5), 0);
}

TEST(Statistics, KnownSizesAtTheTrainingSize) {
  QTemporaryDir tmp;
  const QDir d(tmp.path());
  // 200 x 100 at imgsz=400: everything doubles.
  const QString a = image(d, "a.png", 200, 100);
  write_file(d.filePath("a.txt"),
             "0 0.5 0.5 0.05 0.1\n"              // 10 x 10 -> 20 x 20: small
             "0 0.5 0.5 0.1 0.2\n"               // 20 x 20 -> 40 x 40: medium
             "1 0.1 0.1 0.6 0.1 0.6 1.0 0.1 1.0\n"  // polygon 100 x 90 -> 200 x 180: large
             "7 0.5 0.5 0.1 0.1\n"               // no such class: skipped
             "# note\n");
  const QString b = image(d, "b.png", 100, 400);  // 100 x 400 -> 100 x 400 (long side 400)
  write_file(d.filePath("b.txt"), "0 0.5 0.5 0.2 0.01\n");  // 20 x 4: small, wide
  const QString c = image(d, "c.png", 50, 50);    // no label file
  const DatasetStatistics s = compute_statistics({a, b, c}, {"dot", "blob"}, 400, orvane::label_path_for);
  EXPECT_EQ(s.images, 3);
  EXPECT_EQ(s.images_without_objects, 1);
  EXPECT_EQ(s.objects, 4);
  EXPECT_EQ(s.lines_skipped, 2);
  ASSERT_EQ(s.classes.size(), 2u);
  EXPECT_EQ(s.classes[0].objects, 3);
  EXPECT_EQ(s.classes[0].images, 2);
  EXPECT_EQ(s.classes[0].sizes, (std::array<int, 3>{2, 1, 0}));
  EXPECT_EQ(s.classes[1].sizes, (std::array<int, 3>{0, 0, 1}));
  EXPECT_EQ(s.objects_per_image, (std::array<int, kCountBins>{1, 1, 0, 1, 0, 0, 0}));
  EXPECT_EQ(s.max_objects_per_image, 3);
  ASSERT_EQ(s.widths.size(), 4u);
  EXPECT_NEAR(s.widths[2], 200, 1e-6);
  EXPECT_NEAR(s.heights[2], 180, 1e-6);
  EXPECT_NEAR(s.widths[3], 20, 1e-6);
  EXPECT_NEAR(s.heights[3], 4, 1e-6);
  EXPECT_EQ(s.aspects[size_t(aspect_bin(5.0))], 1);
  // Two of four small: more than a third.
  EXPECT_EQ(size_advice(s).toStdString(),
            "50% of the objects are small (under 32 x 32 pixels) at imgsz=400: consider tiling the "
            "images (orvane split labels=true) or a larger imgsz.");
  // At 1600 every box is four times larger: only the 20 x 4 one stays small.
  EXPECT_TRUE(size_advice(compute_statistics({a, b, c}, {"dot", "blob"}, 1600, orvane::label_path_for)).isEmpty());
}

}  // namespace

TEST(QueueFilter, ByClassAndWithoutLabels) {
  QTemporaryDir tmp;
  const QDir d(tmp.path());
  write_file(d.filePath("a.txt"), "0 0.5 0.5 0.1 0.1\n2 0.5 0.5 0.1 0.1\n");
  write_file(d.filePath("b.txt"), "# only a comment\n");
  write_file(d.filePath("c.txt"), "1 0.5 0.5 0.1 0.1\n");
  const QStringList images{d.filePath("a.png"), d.filePath("b.png"), d.filePath("c.png"), d.filePath("none.png")};
  EXPECT_EQ(images_matching(images, 2, orvane::label_path_for), (std::vector<bool>{true, false, false, false}));
  EXPECT_EQ(images_matching(images, 1, orvane::label_path_for), (std::vector<bool>{false, false, true, false}));
  EXPECT_EQ(images_matching(images, -1, orvane::label_path_for), (std::vector<bool>{false, true, false, true}));
}
