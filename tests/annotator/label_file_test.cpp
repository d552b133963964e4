#include "annotator/label_file.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "annotator/classes_file.h"
#include "common/raw_file.h"
#include "imaging/image_files.h"

using namespace orvane;

namespace {

using test::read_all;
using test::write_raw;

}  // namespace

TEST(LabelFormat, TriangleExampleOnA100By80Image) {
  const QPolygonF pixels{{10, 20}, {50, 20}, {30, 60}};
  const LabelShape shape{0, normalize_polygon(pixels, QSizeF(100, 80))};
  EXPECT_EQ(format_label_line(shape), "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000");
  EXPECT_EQ(format_label_file({shape, {1, {}}}),
            "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n1 \n");
}

TEST(LabelFormat, CoordinatesAreClampedAndCorrectlyRoundedToSixDecimals) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.500000"},       {1.0 / 3, "0.333333"},   {2.0 / 3, "0.666667"},
      {0.0, "0.000000"},       {-0.0, "0.000000"},      {-0.2, "0.000000"},
      {-1e-12, "0.000000"},    {1.0, "1.000000"},       {1.7, "1.000000"},
      {5e-7, "0.000000"},      {1.5e-6, "0.000002"},    {0.1234565, "0.123456"},
      {0.9999995, "1.000000"}, {0.3 / 0.7, "0.428571"}, {std::nan(""), "0.000000"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(format_label_coordinate(value), QByteArray(text)) << value;
  }
}

TEST(LabelFormat, VertexOrderIsKeptAndDraggedOutsideVerticesClamp) {
  // A rectangle drawn from bottom-right to top-left keeps that order; one corner dragged off image.
  const QPolygonF pixels{{80, 60}, {-5, 60}, {-5, -3}, {80, 90}};
  const LabelShape shape{2, normalize_polygon(pixels, QSizeF(80, 60))};
  EXPECT_EQ(format_label_line(shape),
            "2 1.000000 1.000000 0.000000 1.000000 0.000000 0.000000 1.000000 1.000000");
}

TEST(LabelReader, TokenRules) {
  struct Case {
    const char* line;
    qsizetype class_count;
    LabelLineKind kind;
    int points;
  };
  const Case cases[] = {
      {"", 2, LabelLineKind::Blank, 0},
      {" \t ", 2, LabelLineKind::Blank, 0},
      {"0 0.5", 2, LabelLineKind::Skipped, 0},  // fewer than 3 tokens
      {"0 0.5 0.5", 2, LabelLineKind::Shape, 1},
      {"0 0.5 0.5 0.2 0.1", 2, LabelLineKind::Shape, 4},  // five tokens: a box, four corners
      {"  1\t0.1   0.2 0.3 0.4 0.5 0.6 ", 2, LabelLineKind::Shape, 3},
      {"+1 0.1 0.2 0.3 0.4", 2, LabelLineKind::Shape, 4},
      {"2 0.1 0.2 0.3 0.4", 2, LabelLineKind::Skipped, 0},   // id without a name
      {"-1 0.1 0.2 0.3 0.4", 2, LabelLineKind::Skipped, 0},  // negative id
      {"99999999999999999999999 0.1 0.2", 2, LabelLineKind::Skipped, 0},
      {"0 0.1 0.2 0.3 0.4", 0, LabelLineKind::Skipped, 0},  // empty class list
      {"2 abc def", 2, LabelLineKind::Skipped, 0},          // id checked before coordinates
      {"0.0 0.1 0.2", 2, LabelLineKind::Malformed, 0},
      {"cat 0.1 0.2", 2, LabelLineKind::Malformed, 0},
      {"0 0.5 0.5 0.2", 2, LabelLineKind::Malformed, 0},  // four tokens: the last x has no y
      {"0 0.5 abc", 2, LabelLineKind::Malformed, 0},
      {"0 nan 0.5", 2, LabelLineKind::Malformed, 0},
      {"0 1e-1 5E-1", 2, LabelLineKind::Shape, 1},
  };
  for (const Case& c : cases) {
    const ParsedLabelLine parsed = classify_label_line(c.line, c.class_count);
    EXPECT_EQ(parsed.kind, c.kind) << c.line;
    EXPECT_EQ(parsed.shape.points.size(), c.points) << c.line;
    EXPECT_EQ(parsed.error.isEmpty(), c.kind != LabelLineKind::Malformed) << c.line;
  }
  EXPECT_EQ(classify_label_line("1 0.1 0.2 0.3 0.4 0.5 0.6", 2).shape,
            (LabelShape{1, QPolygonF{{0.1, 0.2}, {0.3, 0.4}, {0.5, 0.6}}}));
}

TEST(LabelReader, KeepsSkippedLinesAndEverythingFromTheFirstMalformedLine) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  write_raw(path,
            "0 0.1 0.1 0.2 0.1 0.2 0.2\r\n"
            "7 0.1 0.1 0.2 0.2\r\n"
            "\r\n"
            "1 0.3 0.3 0.4 0.4 0.5 0.5\r\n"
            "-1 0.5 0.5 0.6 0.6\r"
            "1 0.5 0.5 0.2\n"
            "0 0.9 0.9 0.8 0.8 0.7 0.7\n"
            "\n"
            "x\n");
  const LabelFileContents read = read_label_file(path, 2);
  EXPECT_EQ(read.status, LabelReadStatus::Stopped);
  EXPECT_TRUE(read.error.contains("line 6")) << read.error.toStdString();
  ASSERT_EQ(read.shapes.size(), 2u);
  EXPECT_EQ(read.shapes[1].class_id, 1);
  EXPECT_EQ(read.kept_lines,
            (QList<QByteArray>{"7 0.1 0.1 0.2 0.2", "-1 0.5 0.5 0.6 0.6", "1 0.5 0.5 0.2",
                               "0 0.9 0.9 0.8 0.8 0.7 0.7", "x"}));

  // A save writes the shapes, then every kept line unchanged.
  ASSERT_TRUE(save_label_file(path, read.shapes, read.kept_lines));
  EXPECT_EQ(read_all(path),
            "0 0.100000 0.100000 0.200000 0.100000 0.200000 0.200000\n"
            "1 0.300000 0.300000 0.400000 0.400000 0.500000 0.500000\n"
            "7 0.1 0.1 0.2 0.2\n-1 0.5 0.5 0.6 0.6\n1 0.5 0.5 0.2\n"
            "0 0.9 0.9 0.8 0.8 0.7 0.7\nx\n");
}

TEST(LabelReader, EmptyClassListShowsNothingAndLosesNothing) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  const QByteArray original = "0 0.1 0.1 0.2 0.1 0.2 0.2\n3 0.5 0.5 0.6 0.6 0.7 0.7\n";
  write_raw(path, original);
  const LabelFileContents read = read_label_file(path, 0);
  EXPECT_TRUE(read.shapes.empty());
  ASSERT_TRUE(save_label_file(path, read.shapes, read.kept_lines));
  EXPECT_EQ(read_all(path), original);
}

TEST(LabelReader, MissingAndUnreadableFiles) {
  QTemporaryDir dir;
  EXPECT_EQ(read_label_file(dir.filePath("none.txt"), 3).status, LabelReadStatus::Missing);
  // A directory where the label file should be exists but cannot be read as a file.
  QDir(dir.path()).mkdir("odd.txt");
  const LabelFileContents read = read_label_file(dir.filePath("odd.txt"), 3);
  EXPECT_EQ(read.status, LabelReadStatus::Unreadable);
  EXPECT_TRUE(read.error.contains("odd.txt"));
}

TEST(LabelWriter, SaveRemovesTheFileOnlyWhenNothingIsLeftAndReportsFailures) {
  QTemporaryDir dir;
  const QString path = label_path_for(dir.filePath("car.left.JPG"));
  EXPECT_TRUE(path.endsWith("/car.left.txt"));
  ASSERT_TRUE(save_label_file(path, {{0, QPolygonF{{0.5, 0.5}, {0.6, 0.5}, {0.6, 0.6}}}}));
  EXPECT_EQ(read_all(path), "0 0.500000 0.500000 0.600000 0.500000 0.600000 0.600000\n");
  ASSERT_TRUE(save_label_file(path, {}, {"9 0.1 0.1 0.2 0.2"}));
  EXPECT_EQ(read_all(path), "9 0.1 0.1 0.2 0.2\n");
  ASSERT_TRUE(save_label_file(path, {}, {}));
  EXPECT_FALSE(QFile::exists(path));
  EXPECT_TRUE(save_label_file(path, {}, {}));  // already gone: fine
  // An empty file (an image checked and found empty) stays: saving no shapes changes nothing.
  write_raw(path, "");
  EXPECT_TRUE(save_label_file(path, {}, {}));
  EXPECT_TRUE(QFile::exists(path));

  // A write under a path whose folder is a plain file fails with the file's name and a cause.
  write_raw(dir.filePath("plain"), "x");
  const Result<> failed = save_label_file(dir.filePath("plain/a.txt"), {{0, {}}});
  EXPECT_FALSE(failed.ok());
  EXPECT_TRUE(failed.error().contains("plain/a.txt")) << failed.error().toStdString();
  // Deleting a directory in place of the label file fails and says so.
  QDir(dir.path()).mkdir("d.txt");
  EXPECT_FALSE(save_label_file(dir.filePath("d.txt"), {}).ok());
}

TEST(LabelWriter, AnUnchangedFileIsNotRewritten) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  const std::vector<LabelShape> shapes{{0, QPolygonF{{0.5, 0.5}, {0.6, 0.5}, {0.6, 0.6}}}};
  ASSERT_TRUE(save_label_file(path, shapes));
  const QDateTime old_time = QDateTime::currentDateTime().addDays(-2);
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(old_time, QFileDevice::FileModificationTime));
  }
  ASSERT_TRUE(save_label_file(path, shapes));
  EXPECT_EQ(QFileInfo(path).lastModified().toSecsSinceEpoch(), old_time.toSecsSinceEpoch());
  ASSERT_TRUE(save_label_file(path, {{1, shapes[0].points}}));
  EXPECT_NE(QFileInfo(path).lastModified().toSecsSinceEpoch(), old_time.toSecsSinceEpoch());
}

TEST(LabelWriter, RoundTripKeepsNormalisedCoordinatesAcrossImageSizes) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  const QPolygonF on_small = {{64, 48}, {128, 48}, {96, 96}, {0, 0}};
  ASSERT_TRUE(save_label_file(path, {{1, normalize_polygon(on_small, QSizeF(640, 480))}}));
  const LabelFileContents read = read_label_file(path, 2);
  ASSERT_EQ(read.shapes.size(), 1u);
  const QPolygonF on_big = denormalize_polygon(read.shapes[0].points, QSizeF(1280, 960));
  for (int i = 0; i < on_small.size(); ++i) {
    EXPECT_NEAR(on_big[i].x(), on_small[i].x() * 2, 1e-6);
    EXPECT_NEAR(on_big[i].y(), on_small[i].y() * 2, 1e-6);
  }
}

TEST(ClassesFile, ReadStripsAndDropsBlankLinesWriteIsOneNamePerLine) {
  QTemporaryDir dir;
  const QString path = classes_path_in(dir.path());
  EXPECT_TRUE(path.endsWith("/classes.txt"));
  const Result<ClassesFileContents> missing = read_classes_file(path);
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->exists);
  write_raw(path, "  bolt \r\n\r\nnut\r\nwasher");
  const Result<ClassesFileContents> read = read_classes_file(path);
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->exists);
  EXPECT_EQ(read->classes, (QStringList{"bolt", "nut", "washer"}));
  ASSERT_TRUE(write_classes_file(path, {"bolt", "nut"}));
  EXPECT_EQ(read_all(path), "bolt\nnut\n");
  ASSERT_TRUE(write_classes_file(path, {QString::fromUtf8("écrou")}));
  EXPECT_EQ(read_classes_file(path)->classes, QStringList{QString::fromUtf8("écrou")});
}

TEST(ClassesFile, IdsAndColours) {
  const QStringList classes{"bolt", "nut", "bolt"};
  EXPECT_EQ(class_id_for(classes, "nut"), 1);
  EXPECT_EQ(class_id_for(classes, "bolt"), 0);  // a duplicated name takes its first id
  EXPECT_EQ(class_id_for(classes, "gear"), 0);  // unknown names are written as 0
  EXPECT_EQ(class_color(1), QColor("#FF0000"));
  EXPECT_EQ(class_color(10), class_color(0));
  EXPECT_EQ(class_color(9), QColor("#008000"));
}
