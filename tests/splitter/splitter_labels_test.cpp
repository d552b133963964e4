// The splitter's batch with labels carried: what lands beside the tiles, and what does not.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "splitter/split_fixture.h"
#include "splitter/splitter_core.h"

using namespace orvane::splitter;
using orvane::test::position_image;
using orvane::test::write_bytes;
using orvane::test::write_image;

namespace {

QByteArray read(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class SplitLabels : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(input.isValid() && output.isValid());
    // 90 x 60 cut 3 x 3 gives 30 x 20 tiles. A box across tiles 1 and 2 (x 20..40, y 5..15),
    // a triangle inside tile 5, nothing in the others.
    write_image(in("a.png"), position_image(90, 60));
    write_bytes(in("a.txt"),
                "0 0.333333333 0.166666667 0.222222222 0.166666667\n"
                "2 0.400000 0.400000 0.600000 0.400000 0.500000 0.600000\n");
    write_bytes(in("classes.txt"), "cat\ndog\nbird\n");
    write_image(in("b.png"), position_image(90, 60));  // not annotated
  }
  QString in(const QString& name) const { return QDir(input.path()).filePath(name); }
  QString out(const QString& rel) const { return QDir(output.path()).filePath(rel); }
  SplitReport run(bool labels, bool subfolders = true, double overlap = 0) {
    SplitOptions options;
    options.input_dir = input.path();
    options.output_dir = output.path();
    options.parts = 9;
    options.grid = {3, 3};
    options.use_subfolders = subfolders;
    options.carry_labels = labels;
    options.overlap = overlap;
    return split_images(options, list_split_sources(input.path()));
  }
  QTemporaryDir input, output;
};

TEST_F(SplitLabels, EveryTileOfAnAnnotatedImageGetsItsShapesOrAnEmptyFile) {
  const SplitReport report = run(true);
  EXPECT_EQ(report.images_split, 2);
  EXPECT_EQ(report.tiles_written, 18);
  EXPECT_EQ(report.label_files_written, 9);
  EXPECT_EQ(report.unannotated, QStringList{"b.png"});
  EXPECT_TRUE(report.label_errors.isEmpty());
  // The box split at x = 30 into two boxes; positions renormalised to each 30 x 20 tile.
  EXPECT_EQ(read(out("part_1/a_part_1.txt")), "0 0.833333 0.500000 0.333333 0.500000\n");
  EXPECT_EQ(read(out("part_2/a_part_2.txt")), "0 0.166667 0.500000 0.333333 0.500000\n");
  EXPECT_EQ(read(out("part_5/a_part_5.txt")),
            "2 0.200000 0.200000 0.800000 0.200000 0.500000 0.800000\n");
  for (int t : {3, 4, 6, 7, 8, 9})
    EXPECT_EQ(read(out(QStringLiteral("part_%1/a_part_%1.txt").arg(t))), "") << t;
  // An image without a label file says nothing about its tiles.
  EXPECT_FALSE(QFile::exists(out("part_1/b_part_1.txt")));
  for (int t = 1; t <= 9; ++t)
    EXPECT_EQ(read(out(QStringLiteral("part_%1/classes.txt").arg(t))), "cat\ndog\nbird\n");
}

TEST_F(SplitLabels, FlatOutputWithOverlapSharesTheShapeOnTheCut) {
  const SplitReport report = run(true, false, 50);
  EXPECT_EQ(report.label_files_written, 9);
  EXPECT_EQ(read(out("classes.txt")), "cat\ndog\nbird\n");
  // 50 % overlap: tiles 45 x 30 at x 0, 22/23, 45; the box (x 20..40) lies wholly in tile 1.
  EXPECT_EQ(read(out("a_part_1.txt")).left(2), "0 ");
  EXPECT_TRUE(read(out("a_part_1.txt")).contains(" 0.666667 0.333333 0.444444 0.333333"));
}

TEST_F(SplitLabels, ALabelFileThatDoesNotParseLeavesItsImageUncut) {
  write_image(in("c.png"), position_image(90, 60));
  write_bytes(in("c.txt"), "0 0.5 0.5 0.1 0.1\n1 0.2 oops 0.3 0.3\n");
  const SplitReport report = run(true);
  EXPECT_EQ(report.images_split, 2);  // a and b
  ASSERT_EQ(report.label_errors.size(), 1);
  EXPECT_TRUE(report.label_errors[0].contains("c.txt: line 2: coordinate 'oops'"))
      << report.label_errors[0].toStdString();
  EXPECT_FALSE(QFile::exists(out("part_1/c_part_1.png")));
  EXPECT_FALSE(QFile::exists(out("part_1/c_part_1.txt")));
  EXPECT_TRUE(problems_message(report).contains("c.txt"));
}

TEST_F(SplitLabels, WithoutTheOptionTheSplitWritesNoLabelsAtAll) {
  const SplitReport report = run(false);
  EXPECT_EQ(report.tiles_written, 18);
  EXPECT_FALSE(report.has_problems());
  EXPECT_EQ(QDir(out("part_1")).entryList(QDir::Files),
            QStringList({"a_part_1.png", "b_part_1.png"}));
}

TEST_F(SplitLabels, AnotherClassListAlreadyInTheOutputIsKeptAndSaid) {
  write_bytes(out("classes.txt"), "fish\n");
  const SplitReport report = run(true, false);
  EXPECT_EQ(read(out("classes.txt")), "fish\n");
  ASSERT_EQ(report.class_list_problems.size(), 1);
  EXPECT_TRUE(report.class_list_problems[0].contains("differs"));
}

}  // namespace
