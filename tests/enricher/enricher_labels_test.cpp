// Labels through the enricher's geometry: a shape drawn into the picture and the picture
// transformed must give the same region as the shape transformed with the pixels' matrix.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "enricher/enricher_core.h"
#include "label_geometry/label_geometry.h"

namespace en = orvane::enricher;
namespace lg = orvane::label_geometry;

namespace {

const cv::Size kSize(256, 192);

// A concave arrow-like polygon well inside the picture.
lg::Shape arrow() {
  return {
      4,
      false,
      {{60.3, 50.2}, {150.7, 40.5}, {190.1, 95.8}, {140.4, 150.6}, {120.2, 100.1}, {70.9, 140.3}}};
}

// The pixels whose centres lie inside the shapes (shape coordinates have pixel centres at +0.5).
cv::Mat mask_of(const std::vector<lg::Shape>& shapes, cv::Size size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  constexpr int kShift = 8;
  for (const lg::Shape& s : shapes) {
    std::vector<cv::Point> pts;
    for (const cv::Point2d& p : s.points)
      pts.emplace_back(cvRound((p.x - 0.5) * (1 << kShift)), cvRound((p.y - 0.5) * (1 << kShift)));
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{pts}, 255, cv::LINE_8, kShift);
  }
  return mask;
}

// The shape drawn white on black, as a 3-channel picture for the enricher.
cv::Mat picture_of(const lg::Shape& shape) {
  cv::Mat bgr;
  cv::cvtColor(mask_of({shape}, kSize), bgr, cv::COLOR_GRAY2BGR);
  return bgr;
}

cv::Mat threshold(const cv::Mat& bgr) {
  cv::Mat grey, out;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::threshold(grey, out, 127, 255, cv::THRESH_BINARY);
  return out;
}

double iou(const cv::Mat& a, const cv::Mat& b) {
  EXPECT_EQ(a.size(), b.size());
  if (a.size() != b.size()) return 0;
  const double both = cv::countNonZero(a & b), either = cv::countNonZero(a | b);
  return either == 0 ? 1.0 : both / either;
}

// The region the transformed picture shows against the region of the transformed labels.
double label_iou(const en::Transformed& t, const lg::Shape& shape) {
  const auto moved = lg::transform_shapes({shape}, t.matrix, t.image.size(), 0.0);
  return iou(threshold(t.image), mask_of(moved, t.image.size()));
}

TEST(LabelsFollowPixels, RotationWithGrowingCanvas) {
  const cv::Mat pic = picture_of(arrow());
  for (double angle : {90.0, -90.0, 45.0, -30.0, 180.0}) {
    const en::Transformed t = en::rotate_grow_transform(pic, angle);
    EXPECT_GT(label_iou(t, arrow()), 0.98) << angle;
  }
  // A box becomes the bounding box of its turned corners: it holds the turned box's pixels.
  const lg::Shape box{1, true, {{80, 60}, {180, 60}, {180, 120}, {80, 120}}};
  const en::Transformed t = en::rotate_grow_transform(picture_of(box), 30);
  const auto moved = lg::transform_shapes({box}, t.matrix, t.image.size());
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_TRUE(moved[0].box);
  const cv::Rect drawn = cv::boundingRect(threshold(t.image));
  const cv::Rect2d label(moved[0].points[0], moved[0].points[2]);
  EXPECT_NEAR(label.x, drawn.x, 1.0);
  EXPECT_NEAR(label.y, drawn.y, 1.0);
  EXPECT_NEAR(label.br().x, drawn.br().x, 1.0);
  EXPECT_NEAR(label.br().y, drawn.br().y, 1.0);
}

TEST(LabelsFollowPixels, CropInEitherClickOrderClipsToThePicture) {
  const cv::Mat pic = picture_of(arrow());
  // The crop cuts through the shape; both click orders give the same picture and labels.
  const auto a = en::crop_transform(pic, {100.7, 30.2}, {230.4, 170.9});
  const auto b = en::crop_transform(pic, {230.4, 170.9}, {100.7, 30.2});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(cv::norm(a->image, b->image, cv::NORM_INF), 0);
  EXPECT_GT(label_iou(*a, arrow()), 0.98);
  EXPECT_GT(label_iou(*b, arrow()), 0.98);
  const auto moved = lg::transform_shapes({arrow()}, a->matrix, a->image.size(), 0.0);
  ASSERT_EQ(moved.size(), 1u);
  for (const cv::Point2d& p : moved[0].points) {
    EXPECT_GE(p.x, 0);
    EXPECT_LE(p.x, a->image.cols);
  }
  // Cropped to a region away from the shape: nothing stays.
  const auto away = en::crop_transform(pic, {0, 160}, {40, 190});
  ASSERT_TRUE(away);
  EXPECT_TRUE(lg::transform_shapes({arrow()}, away->matrix, away->image.size()).empty());
}

TEST(LabelsFollowPixels, PerspectiveStraightening) {
  const cv::Mat pic = picture_of(arrow());
  const std::array<cv::Point2d, 4> quad{cv::Point2d{30, 20}, cv::Point2d{220, 35},
                                        cv::Point2d{240, 180}, cv::Point2d{15, 160}};
  const auto t = en::warp_quad_transform(pic, quad);
  ASSERT_TRUE(t);
  EXPECT_GT(label_iou(*t, arrow()), 0.98);
}

TEST(LabelsFollowPixels, RandomVariantsWarpAndRotation) {
  // Shapes away from the border: the variants replicate edge pixels into exposed corners.
  const cv::Mat pic = picture_of(arrow());
  en::AugRanges ranges;
  ranges.rotation = {-30, 30};
  ranges.warp = {0, 8};
  en::Rng rng(5);
  for (int i = 0; i < 8; ++i) {
    const en::Transformed t = en::augment(pic, ranges, rng);
    EXPECT_GT(label_iou(t, arrow()), 0.98) << "variant " << i;
  }
  // A shape rotated mostly out of the frame is dropped under min_visible.
  const lg::Shape corner{0, false, {{0, 0}, {30, 0}, {30, 30}, {0, 30}}};
  en::AugRanges turn;
  turn.rotation = {45, 45};
  turn.warp = {0, 0};
  const en::Transformed t = en::augment(pic, turn, rng);
  EXPECT_TRUE(lg::transform_shapes({corner}, t.matrix, t.image.size(), 0.25).empty());
  EXPECT_EQ(lg::transform_shapes({corner}, t.matrix, t.image.size(), 0.0).size(), 1u);
}

TEST(LabelsFollowPixels, BatchWritesALabelFileBesideEveryVariant) {
  QTemporaryDir out;
  const std::vector<lg::Shape> shapes{arrow(), {0, false, {{1, 1}, {6, 1}, {6, 6}}}};
  en::Rng rng(3);
  en::AugRanges ranges;
  ranges.rotation = {-30, 30};
  const auto result =
      en::enrich_batch(picture_of(arrow()), ranges, 3, out.path(), 1000, rng, {}, {&shapes, 0.25});
  EXPECT_EQ(result.created, 3);
  EXPECT_EQ(result.labels_written, 3);
  for (int k = 1; k <= 3; ++k) {
    const QString label = out.filePath(en::variant_label_name(result.second, k));
    const auto read = lg::read_label_shapes(QFile::encodeName(label).toStdString(), kSize);
    ASSERT_TRUE(read && read->found) << read.error().toStdString();
    ASSERT_GE(read->shapes.size(), 1u);
    EXPECT_EQ(read->shapes[0].class_id, 4);
  }
  // A later batch in the same second does not take names whose label files exist.
  QFile::remove(out.filePath(en::variant_file_name(result.second, 1)));
  EXPECT_NE(en::free_batch_second(out.path(), result.second, 1), result.second);
}

// A batch over files takes each source as it comes: a picture that does not decode is skipped, a
// label file that does not parse stops its source before any variant, an unlabelled source gives
// variants without labels, and the class list is carried once into the output folder.
TEST(SourceBatch, EachSourceIsReadThenEnrichedOrSkippedWithItsReason) {
  QTemporaryDir in, out;
  const auto write = [](const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  };
  ASSERT_TRUE(cv::imwrite(in.filePath("a.png").toStdString(), picture_of(arrow())));
  ASSERT_TRUE(cv::imwrite(in.filePath("b.png").toStdString(), picture_of(arrow())));
  ASSERT_TRUE(cv::imwrite(in.filePath("c.png").toStdString(), picture_of(arrow())));
  write(in.filePath("broken.png"), "not a picture");
  write(in.filePath("a.txt"), "0 0.5 0.5 0.4 0.4\n");
  write(in.filePath("b.txt"), "0 0.5 zero 0.4 0.4\n");
  write(in.filePath("classes.txt"), "arrow\n");
  en::SourcesOptions options;
  options.count = 2;
  options.out_dir = out.path();
  options.carry_labels = true;
  en::Rng rng(9);
  QStringList notes;
  const en::SourcesReport report = en::enrich_sources(
      en::list_sources(in.path()), options, rng,
      [&](const QString& source, const QString& text) { notes << source + " | " + text; });
  EXPECT_EQ(report.created, 4);
  EXPECT_EQ(report.failed, 0);
  EXPECT_EQ(report.unreadable, 1);
  EXPECT_EQ(report.bad_labels, 1);
  ASSERT_EQ(notes.size(), 5) << notes.join('\n').toStdString();
  EXPECT_TRUE(notes[0].startsWith("[1/4] a.png | 2 variant(s) as image_enriched_"));
  EXPECT_TRUE(notes[0].endsWith("_var_*.jpg with labels"));
  EXPECT_TRUE(notes[1].startsWith("[2/4] b.png | "));
  EXPECT_TRUE(notes[1].endsWith("; no variants made"));
  EXPECT_EQ(notes[2], "[3/4] broken.png | does not decode, skipped");
  EXPECT_EQ(notes[3], "[4/4] c.png | no label file, so its variants have none");
  EXPECT_TRUE(notes[4].startsWith("[4/4] c.png | 2 variant(s)"));
  EXPECT_FALSE(notes[4].endsWith("with labels"));
  QFile classes(out.filePath("classes.txt"));
  ASSERT_TRUE(classes.open(QIODevice::ReadOnly));
  EXPECT_EQ(classes.readAll(), "arrow\n");
  // Two label files for a.png's variants, none for c.png's.
  EXPECT_EQ(QDir(out.path()).entryList({"*.txt"}).size(), 3);  // classes.txt and two labels
}

}  // namespace
