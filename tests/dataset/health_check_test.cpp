#include "dataset/health_check.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <algorithm>

#include "dataset/test_files.h"

using namespace orvane::dataset;
using orvane::test::write_file;

namespace {

// A folder holding the named files (contents "" unless given).
struct Folder {
  QTemporaryDir dir;
  Folder(std::initializer_list<std::pair<const char*, const char*>> files) {
    for (const auto& [name, contents] : files) write_file(dir.filePath(name), contents);
  }
  HealthReport check() const {
    const HealthResult result = check_dataset_health(dir.path());
    EXPECT_TRUE(result) << result.error().toStdString();
    return result ? *result : HealthReport{};
  }
};

QStringList sorted(QStringList list) {
  list.sort();
  return list;
}

const char* kSquare = "0 0.1 0.1 0.5 0.1 0.5 0.5 0.1 0.5\n";

}  // namespace

TEST(HealthCheck, MatchedPairGivesACleanReport) {
  Folder folder{{"a.png", ""}, {"a.txt", "0 0.1 0.1 0.2 0.2\n"}, {"classes.txt", "bolt\n"}};
  const HealthReport report = folder.check();
  EXPECT_TRUE(report.unannotated.isEmpty());
  EXPECT_TRUE(report.orphaned.isEmpty());
  EXPECT_TRUE(report.overlaps.isEmpty());
  EXPECT_EQ(format_health_report(report),
            "🩺 Dataset QA Health Report:\n\nUnannotated Images: 0\nOrphaned Label Files: 0\n"
            "Overlapping Polygons/Boxes (Duplicates): 0\n");
}

TEST(HealthCheck, NameRules) {
  // Stem prefix: a.txt belongs to abc.png, though abc.png itself has no label.
  {
    Folder folder{{"abc.png", ""}, {"a.txt", ""}};
    const HealthReport report = folder.check();
    EXPECT_EQ(report.unannotated, QStringList{"abc.png"});
    EXPECT_TRUE(report.orphaned.isEmpty());
  }
  // Names are case-sensitive; the extension test is not.
  {
    Folder folder{{"A.png", ""}, {"a.txt", ""}, {"b.JPEG", ""}, {"b.txt", ""}};
    const HealthReport report = folder.check();
    EXPECT_EQ(report.unannotated, QStringList{"A.png"});
    EXPECT_EQ(report.orphaned, QStringList{"a.txt"});
  }
  {
    Folder folder{{"A.png", ""}, {"ab.webp", ""}, {"a.txt", ""}};
    EXPECT_TRUE(folder.check().orphaned.isEmpty());
  }
  // classes.txt is no label, Classes.txt is; .bmp is not an image here; names with more dots.
  {
    Folder folder{{"classes.txt", ""},  {"Classes.txt", ""},  {"x.bmp", ""},      {"x.txt", ""},
                  {"car.left.jpg", ""}, {"car.left.txt", ""}, {".hidden.png", ""}};
    const HealthReport report = folder.check();
    EXPECT_EQ(sorted(report.orphaned), (QStringList{"Classes.txt", "x.txt"}));
    EXPECT_EQ(report.unannotated, QStringList{".hidden.png"});
  }
  // Leading dots never start an extension: "..png" is no image and "..txt" no label.
  {
    Folder folder{{"..png", ""}, {"..txt", ""}, {".png", ""}, {"b.png", ""}, {"b.txt", ""}};
    const HealthReport report = folder.check();
    EXPECT_TRUE(report.unannotated.isEmpty());
    EXPECT_TRUE(report.orphaned.isEmpty());
  }
}

TEST(HealthCheck, CountsOverlappingPairsPerFile) {
  Folder folder{
      {"one.png", ""},   {"one.txt", QByteArray(kSquare).repeated(2).constData()},
      {"three.png", ""}, {"three.txt", QByteArray(kSquare).repeated(3).constData()},
      {"apart.png", ""}, {"apart.txt", "0 0 0 0.5 0.5\r\n1 0.5 0 1 0.5\r\n"},  // share an edge
      {"two.png", ""},   {"two.txt", "0 0 0 1 1\n1 0 0 1\n0 0 0 1 1\n"},       // two-vertex lines
      {"bad.png", ""},   {"bad.txt", "0 0 0 1 1\n0 0 0 1 1\n0 0 x 1 1\n"},
  };
  const HealthReport report = folder.check();
  EXPECT_EQ(sorted(report.overlaps),
            (QStringList{"one.txt (IoU > 90%)", "three.txt (IoU > 90%)", "three.txt (IoU > 90%)",
                         "three.txt (IoU > 90%)", "two.txt (IoU > 90%)"}));
  // The sample shows each file once.
  const QString text = format_health_report(report);
  EXPECT_TRUE(text.contains("Overlapping Polygons/Boxes (Duplicates): 5\n")) << text.toStdString();
  EXPECT_EQ(text.count("three.txt"), 1);
}

TEST(HealthCheck, IouThresholdIsStrict) {
  const Box unit{0, 0, 1, 1};
  EXPECT_DOUBLE_EQ(*box_iou(unit, unit), 1.0);
  // 90 / 100 is exactly the double nearest 0.9, which is not above the threshold.
  const Box big{0, 0, 10, 10};
  EXPECT_EQ(*box_iou(big, Box{0, 0, 10, 9}), 0.9);
  EXPECT_EQ(count_overlapping_pairs({big, Box{0, 0, 10, 9}}), 0);
  EXPECT_EQ(count_overlapping_pairs({big, Box{0, 0, 10, 9.1}}), 1);
  EXPECT_EQ(*box_iou(Box{0, 0, 0.5, 1}, Box{0.5, 0, 1, 1}), 0.0);  // touching edges
  EXPECT_EQ(*box_iou(Box{0, 0, 0.4, 1}, Box{0.5, 0, 1, 1}), 0.0);  // apart
  // Two zero-area boxes on one point have no measurable IoU; later pairs are still checked.
  const Box point{0.3, 0.3, 0.3, 0.3};
  EXPECT_FALSE(box_iou(point, point));
  EXPECT_EQ(count_overlapping_pairs({point, point, unit, unit}), 1);
}

TEST(HealthCheck, BoxesFromLabelLines) {
  const auto boxes =
      label_boxes({"2 0.1 0.2 0.3 0.4 0.2 0.6", "", "0 1 2 3", "  1 0.5 0.5 0.6 0.1 0.7 "});
  ASSERT_TRUE(boxes);
  ASSERT_EQ(boxes->size(), 2u);
  EXPECT_DOUBLE_EQ((*boxes)[0].x_min, 0.1);
  EXPECT_DOUBLE_EQ((*boxes)[0].x_max, 0.3);
  EXPECT_DOUBLE_EQ((*boxes)[0].y_min, 0.2);
  EXPECT_DOUBLE_EQ((*boxes)[0].y_max, 0.6);
  // An odd number of values: the last x has no y.
  EXPECT_DOUBLE_EQ((*boxes)[1].x_max, 0.7);
  EXPECT_DOUBLE_EQ((*boxes)[1].y_min, 0.1);
  EXPECT_DOUBLE_EQ((*boxes)[1].y_max, 0.5);
  EXPECT_FALSE(label_boxes({"0 0.1 0.1 0.2 zero"}));
}

TEST(HealthCheck, ReportText) {
  HealthReport report;
  report.unannotated = {"c.png", "d.jpg"};
  report.overlaps = {"b.txt (IoU > 90%)"};
  EXPECT_EQ(format_health_report(report),
            "🩺 Dataset QA Health Report:\n\nUnannotated Images: 2\nOrphaned Label Files: 0\n"
            "Overlapping Polygons/Boxes (Duplicates): 1\n\nMissing Annotations (Sample):\n"
            "['c.png', 'd.jpg']\n\nHigh IoU Overlaps:\n['b.txt (IoU > 90%)']");

  report.unannotated = {"1.png", "2.png", "3.png", "4.png"};
  report.orphaned = {"x.txt"};
  report.overlaps = {"a.txt (IoU > 90%)", "a.txt (IoU > 90%)", "b.txt (IoU > 90%)",
                     "c.txt (IoU > 90%)", "d.txt (IoU > 90%)"};
  const QString text = format_health_report(report);
  EXPECT_TRUE(
      text.contains("Unannotated Images: 4\nOrphaned Label Files: 1\n"
                    "Overlapping Polygons/Boxes (Duplicates): 5\n"));
  EXPECT_TRUE(text.contains("\n['1.png', '2.png', '3.png']\n"));
  EXPECT_TRUE(text.endsWith("\n['a.txt (IoU > 90%)', 'b.txt (IoU > 90%)', 'c.txt (IoU > 90%)']"))
      << text.toStdString();
}

TEST(HealthCheck, ListQuoting) {
  EXPECT_EQ(format_name_list({}), "[]");
  EXPECT_EQ(format_name_list({"it's.png", "a\"b.png", "both'\".png"}),
            "[\"it's.png\", 'a\"b.png', 'both'\".png']");
}

TEST(HealthCheck, FolderThatCannotBeListed) {
  QTemporaryDir dir;
  const HealthResult missing = check_dataset_health(dir.filePath("gone"));
  EXPECT_FALSE(missing);
  EXPECT_FALSE(missing.error().isEmpty());
  write_file(dir.filePath("file.png"), "");
  EXPECT_FALSE(check_dataset_health(dir.filePath("file.png")));
}

TEST(HealthCheck, ClassIdsBeyondClassesTxt) {
  const char* a_text =
      "0 0.1 0.1 0.2 0.2\n4 0.3 0.1 0.2 0.2\n3 0.6 0.3 0.2 0.2\n4 0.5 0.5 0.1 0.1\n";
  Folder folder{{"a.png", ""},
                {"a.txt", a_text},
                {"b.png", ""},
                {"b.txt", "1 0.1 0.1 0.2 0.2\r\n"},
                {"c.png", ""},
                {"c.txt", "-1 0.1 0.1 0.2 0.2\n"},
                {"d.png", ""},
                {"d.txt", "x 0.1 0.1 0.2 0.2\n0 0.5 0.5 0.2 0.2\n"},
                {"classes.txt", "bolt\nnut\n"}};
  const HealthReport report = folder.check();
  EXPECT_EQ(report.class_count, 2);
  EXPECT_EQ(sorted(report.unknown_classes),
            (QStringList{"a.txt (classes 3, 4)", "c.txt (class -1)"}));
  const QString text = format_health_report(report);
  EXPECT_TRUE(
      text.contains("Overlapping Polygons/Boxes (Duplicates): 0\n"
                    "Class IDs Beyond classes.txt (2 classes): 2\n\n"
                    "Class IDs Beyond classes.txt (Sample):\n['"))
      << text.toStdString();
  // Read only: the files are as they were.
  EXPECT_EQ(orvane::test::read_file(folder.dir.filePath("a.txt")), QByteArray(a_text));

  // Without classes.txt there is nothing to check against, and the report is as before.
  Folder bare{{"a.png", ""}, {"a.txt", "7 0.1 0.1 0.2 0.2\n"}};
  const HealthReport plain = bare.check();
  EXPECT_EQ(plain.class_count, -1);
  EXPECT_TRUE(plain.unknown_classes.isEmpty());
  EXPECT_FALSE(format_health_report(plain).contains("Class IDs"));
}

TEST(HealthCheck, ReportTextWithUnknownClassIds) {
  HealthReport report;
  report.unannotated = {"c.png"};
  report.class_count = 1;
  report.unknown_classes = {"a.txt (class 3)", "b.txt (classes 1, 2)", "d.txt (class 5)",
                            "e.txt (class 9)"};
  EXPECT_EQ(format_health_report(report),
            "🩺 Dataset QA Health Report:\n\nUnannotated Images: 1\nOrphaned Label Files: 0\n"
            "Overlapping Polygons/Boxes (Duplicates): 0\nClass IDs Beyond classes.txt (1 class): "
            "4\n\nMissing Annotations (Sample):\n['c.png']\n\nClass IDs Beyond classes.txt "
            "(Sample):\n['a.txt (class 3)', 'b.txt (classes 1, 2)', 'd.txt (class 5)']");
  report.unannotated.clear();
  report.overlaps = {"b.txt (IoU > 90%)"};
  EXPECT_TRUE(format_health_report(report).contains(
      "High IoU Overlaps:\n['b.txt (IoU > 90%)']\n\nClass IDs Beyond classes.txt (Sample):\n"));
}

// Cancelled after the first of three label files: the report is marked partial.
TEST(HealthCheck, AStopEndsTheCheckAfterTheLabelFileInHand) {
  Folder folder({{"a.png", ""}, {"a.txt", "0 0.5 0.5 0.2 0.2"}, {"b.png", ""}, {"b.txt", ""},
                 {"c.png", ""}, {"c.txt", ""}});
  std::atomic_bool stop{false};
  const HealthResult result = check_dataset_health(
      folder.dir.path(), [&stop](int, int) { stop = true; }, &stop);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->cancelled);
  EXPECT_EQ(result->labels_checked, 1);
  EXPECT_EQ(result->labels_total, 3);
  // Uncancelled, every file is examined.
  const HealthReport whole = folder.check();
  EXPECT_FALSE(whole.cancelled);
  EXPECT_EQ(whole.labels_checked, 3);
}
