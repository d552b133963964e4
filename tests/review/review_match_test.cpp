// Matching predictions against labels: each kind of finding, validation's rule at IoU 0.5, the
// ranking, reading label lines and the CSV.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "review/review.h"

namespace orvane::review {
namespace {

QPolygonF box(double x1, double y1, double x2, double y2) {
  return QPolygonF(QRectF(QPointF(x1, y1), QPointF(x2, y2))).mid(0, 4);
}

LabelObject label(int line, int cls, double x1, double y1, double x2, double y2) {
  return {line, cls, box(x1, y1, x2, y2)};
}

Prediction pred(int cls, float conf, double x1, double y1, double x2, double y2) {
  return {cls, conf, QRectF(QPointF(x1, y1), QPointF(x2, y2)), {}};
}

const QSize kSize(100, 100);

std::vector<Kind> kinds_of(const std::vector<Finding>& findings) {
  std::vector<Kind> out;
  for (const Finding& f : findings) out.push_back(f.kind);
  return out;
}

TEST(ReviewMatch, AgreeingLabelsAndPredictionsGiveNoFinding) {
  const std::vector<LabelObject> labels{label(1, 0, 10, 10, 40, 40), label(2, 1, 50, 50, 90, 90)};
  const std::vector<Prediction> preds{pred(0, 0.9f, 11, 10, 41, 40), pred(1, 0.8f, 50, 52, 90, 92)};
  EXPECT_TRUE(match_image(labels, preds, kSize).empty());
  EXPECT_EQ(image_score({}), 0.0);
}

TEST(ReviewMatch, EachKindOfMistakeIsNamedOnce) {
  // Deleted label: the model still sees the object.
  auto f = match_image({}, {pred(0, 0.9f, 10, 10, 40, 40)}, kSize);
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::Unlabelled});
  EXPECT_FLOAT_EQ(f[0].conf, 0.9f);
  EXPECT_EQ(f[0].line, 0);

  // Relabelled: one "class disagreement", not a missed label plus an unlabelled object.
  f = match_image({label(3, 1, 10, 10, 40, 40)}, {pred(0, 0.8f, 10, 10, 40, 40)}, kSize);
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::ClassDisagreement});
  EXPECT_EQ(f[0].line, 3);
  EXPECT_EQ(f[0].class_id, 1);
  EXPECT_EQ(f[0].other_class, 0);

  // Shifted by 40 % of its width: IoU 0.43, under validation's 0.5.
  f = match_image({label(1, 0, 22, 10, 52, 40)}, {pred(0, 0.9f, 10, 10, 40, 40)}, kSize);
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::LooseOutline});
  EXPECT_NEAR(f[0].iou, 18.0 / 42.0, 1e-4);

  // Written twice: one duplicate, the other copy is matched and fine.
  f = match_image({label(1, 0, 10, 10, 40, 40), label(2, 0, 11, 10, 41, 40)},
                  {pred(0, 0.9f, 10, 10, 40, 40)}, kSize);
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::Duplicate});
  EXPECT_EQ(f[0].line, 2);

  // A label on empty background.
  f = match_image({label(4, 1, 60, 60, 90, 90)}, {}, kSize);
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::Missed});
  EXPECT_EQ(f[0].line, 4);
}

TEST(ReviewMatch, MissedMeansWhatRecallAtHalfIouMeans) {
  // IoU 0.55 counts as found in validation: no finding. IoU 0.45: a loose outline.
  const auto shifted = [](double dx) {
    return match_image({label(1, 0, 10 + dx, 10, 50 + dx, 50)}, {pred(0, 0.9f, 10, 10, 50, 50)},
                       kSize);
  };
  EXPECT_TRUE(shifted(40 * (1 - 0.55) / (1 + 0.55)).empty());
  EXPECT_EQ(kinds_of(shifted(40 * (1 - 0.45) / (1 + 0.45))), std::vector<Kind>{Kind::LooseOutline});
  // Predictions under the confidence threshold take no part: the label is missed.
  EXPECT_EQ(kinds_of(match_image({label(1, 0, 10, 10, 40, 40)}, {pred(0, 0.2f, 10, 10, 40, 40)},
                                 kSize, {.conf = 0.25f})),
            std::vector<Kind>{Kind::Missed});
  // The most confident prediction takes the label; the weaker one is an unlabelled object.
  const auto f = match_image({label(1, 0, 10, 10, 40, 40)},
                             {pred(0, 0.5f, 10, 10, 40, 40), pred(0, 0.9f, 12, 12, 42, 42)}, kSize);
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::Unlabelled});
  EXPECT_FLOAT_EQ(f[0].conf, 0.5f);
  EXPECT_EQ(f[0].prediction, 0);  // the index into the predictions as given
}

TEST(ReviewMatch, SegmentationComparesOutlinesAsMasks) {
  // A triangle label: its box overlaps the square's at 0.56, its mask only at 0.28.
  const QPolygonF triangle{{10, 10}, {40, 10}, {10, 40}};
  Prediction square = pred(0, 0.9f, 10, 10, 50, 50);
  square.outline = box(10, 10, 50, 50);
  EXPECT_TRUE(match_image({{1, 0, triangle}}, {square}, kSize, {.masks = false}).empty());
  const auto f = match_image({{1, 0, triangle}}, {square}, kSize, {.masks = true});
  ASSERT_EQ(kinds_of(f), std::vector<Kind>{Kind::LooseOutline});
  EXPECT_NEAR(f[0].iou, 0.28, 0.04);
}

// Every pass on one image: each works on what the earlier ones left free, and each finding points
// at the label and at the prediction as the caller gave them (given out of confidence order, one
// under the threshold).
TEST(ReviewMatch, ThePassesShareOneImage) {
  const std::vector<LabelObject> labels{
      label(1, 0, 0, 0, 20, 20),    // matched by the 0.9 prediction
      label(2, 0, 0, 0, 20, 20),    // the same box again: a duplicate
      label(3, 1, 30, 0, 50, 20),   // seen as class 2
      label(4, 0, 60, 0, 80, 20),   // seen shifted, IoU 0.43
      label(5, 1, 0, 60, 20, 80)};  // only the prediction under the threshold is there
  const std::vector<Prediction> predictions{
      pred(1, 0.1f, 0, 60, 20, 80), pred(0, 0.6f, 68, 0, 88, 20), pred(0, 0.9f, 0, 0, 20, 20),
      pred(1, 0.8f, 60, 60, 80, 80), pred(2, 0.7f, 30, 0, 50, 20)};
  const auto f = match_image(labels, predictions, kSize, {.conf = 0.25f});
  ASSERT_EQ(kinds_of(f),
            (std::vector<Kind>{Kind::Duplicate, Kind::Unlabelled, Kind::ClassDisagreement,
                               Kind::Missed, Kind::LooseOutline}));
  EXPECT_EQ(f[0].label, 1);
  EXPECT_EQ(f[0].line, 2);
  EXPECT_EQ(f[1].prediction, 3);
  EXPECT_EQ(f[1].label, -1);
  EXPECT_EQ(f[2].label, 2);
  EXPECT_EQ(f[2].prediction, 4);
  EXPECT_EQ(f[2].other_class, 2);
  EXPECT_EQ(f[3].line, 5);
  EXPECT_DOUBLE_EQ(f[3].score, 0.6);  // nothing confident near it
  EXPECT_EQ(f[4].line, 4);
  EXPECT_EQ(f[4].prediction, 1);
  EXPECT_NEAR(f[4].iou, 12.0 / 28.0, 1e-4);
}

TEST(ReviewMatch, ScoreRanksCertainMistakesAboveFaintDoubts) {
  const auto duplicate = match_image({label(1, 0, 10, 10, 40, 40), label(2, 0, 10, 10, 40, 40)},
                                     {pred(0, 0.9f, 10, 10, 40, 40)}, kSize);
  const auto faint = match_image({}, {pred(0, 0.3f, 10, 10, 40, 40)}, kSize);
  const auto confident = match_image({}, {pred(0, 0.95f, 10, 10, 40, 40)}, kSize);
  EXPECT_GT(image_score(duplicate), image_score(faint));
  EXPECT_GT(image_score(confident), image_score(faint));
  // Two findings outrank one of the same strength, but not a stronger one.
  std::vector<Finding> two = faint;
  two.push_back(faint[0]);
  EXPECT_GT(image_score(two), image_score(faint));
  EXPECT_LT(image_score(two), image_score(confident));
}

TEST(ReviewMatch, RematchUsesCachedPredictions) {
  ImageReview image;
  image.size = kSize;
  image.predictions = {pred(0, 0.9f, 10, 10, 40, 40)};
  rematch(image, {}, {});
  ASSERT_EQ(image.findings.size(), 1u);
  rematch(image, {label(1, 0, 10, 10, 40, 40)}, {});
  EXPECT_TRUE(image.findings.empty());
  EXPECT_EQ(image.score, 0.0);
}

TEST(ReviewLabels, LineNumbersCountEveryLineAndABadLineIsAnError) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("0 0.5 0.5 0.2 0.2\r\n\r\n1 0.1 0.1 0.3 0.1 0.3 0.3\r\n");
  file.close();
  const Result<std::vector<LabelObject>> read = read_labels(path, 2, QSize(200, 100));
  ASSERT_TRUE(read) << read.error().toStdString();
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ((*read)[0].line, 1);
  EXPECT_EQ((*read)[1].line, 3);
  EXPECT_EQ((*read)[0].points.boundingRect(), QRectF(80, 40, 40, 20));

  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("0 0.5 0.5 0.2 0.2\n0 abc 0.5 0.2 0.2\n");
  file.close();
  const Result<std::vector<LabelObject>> bad = read_labels(path, 2, QSize(100, 100));
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().startsWith("line 2")) << bad.error().toStdString();
  // A class the list does not name is not silently dropped.
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("5 0.5 0.5 0.2 0.2\n");
  file.close();
  EXPECT_FALSE(read_labels(path, 2, QSize(100, 100)));
  // No file: an image without labels.
  const Result<std::vector<LabelObject>> none = read_labels(dir.filePath("none.txt"), 2, QSize(10, 10));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(ReviewReport, CsvRowsFollowTheRankingWithTheTableNames) {
  ReviewReport report;
  report.names = {"nut", "bolt, large"};
  report.reviewed = 3;
  ImageReview faint, strong, clean;
  faint.image_path = "/d/faint.png";
  faint.findings = match_image({}, {pred(0, 0.3f, 10, 10, 40, 40)}, kSize);
  strong.image_path = "/d/strong.png";
  strong.findings = match_image({label(2, 1, 10, 10, 40, 40)}, {pred(0, 0.9f, 10, 10, 40, 40)}, kSize);
  clean.image_path = "/d/clean.png";
  for (ImageReview* image : {&faint, &strong, &clean}) image->score = image_score(image->findings);
  report.images = {faint, strong, clean};
  EXPECT_EQ(ranked_images(report), (std::vector<int>{1, 0}));
  const QList<QByteArray> lines = csv_text(report).split('\n');
  ASSERT_GE(lines.size(), 3);
  EXPECT_EQ(lines[0], "image,kind,class,confidence,iou,line,x1,y1,x2,y2,score,detail");
  EXPECT_TRUE(lines[1].startsWith("/d/strong.png,class disagreement,\"bolt, large -> nut\",0.900,1.000,2,10.0,10.0,40.0,40.0,"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[2].startsWith("/d/faint.png,possibly unlabelled,nut,0.300,,,")) << lines[2].toStdString();
  const QString summary = summary_text(report);
  EXPECT_TRUE(summary.startsWith("3 image(s) reviewed, 2 finding(s) in 2 image(s): 1 class "
                                 "disagreement, 1 possibly unlabelled"))
      << summary.toStdString();
}

TEST(ReviewKinds, OneTableNamesEveryKind) {
  for (const KindInfo& info : kind_table()) {
    EXPECT_EQ(kind_from_name(kind_name(info.kind)), info.kind);
    EXPECT_FALSE(kind_meaning(info.kind).isEmpty());
  }
  EXPECT_FALSE(kind_from_name("Missed").has_value());
}

}  // namespace
}  // namespace orvane::review
