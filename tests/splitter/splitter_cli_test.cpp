// `orvane split` as a script would run it: exit codes, the closing message on standard output,
// progress and problems on standard error.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "common/run_orvane.h"
#include "splitter/split_fixture.h"

using orvane::test::ToolRun;

namespace {

ToolRun orvane(const QStringList& args) { return orvane::test::run_orvane("split", args); }

class SplitCli : public ::testing::Test {
 protected:
  QString src() const { return "source=" + input.path(); }
  QString dst() const { return "output=" + output.path(); }
  QTemporaryDir input, output;
};

TEST_F(SplitCli, DefaultsCutFourColumnsIntoPartFolders) {
  orvane::test::write_image(input.path() + "/x.png", orvane::test::position_image(40, 10));
  const ToolRun run = orvane({src(), dst()});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(run.out, "Split 1 images into 4 tile parts.\n");
  EXPECT_TRUE(run.err.contains("[1/1] x.png"));
  const cv::Mat tile = cv::imread((output.path() + "/part_4/x_part_4.png").toStdString());
  EXPECT_EQ(tile.cols, 10);
  EXPECT_EQ(tile.rows, 10);
}

TEST_F(SplitCli, GridKeysAndFlatOutput) {
  orvane::test::write_image(input.path() + "/x.png", orvane::test::position_image(40, 30));
  ToolRun run = orvane({src(), dst(), "parts=6", "cols=2", "subfolders=false"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(QDir(output.path()).entryList(QDir::Files).size(), 6);
  const cv::Mat tile = cv::imread((output.path() + "/x_part_6.png").toStdString());
  EXPECT_EQ(tile.rows, 10);  // 3 rows x 2 cols
  EXPECT_EQ(tile.cols, 20);
}

TEST_F(SplitCli, BadArgumentsAndFailuresExitNonZero) {
  orvane::test::write_image(input.path() + "/x.png", orvane::test::position_image(8, 8));
  EXPECT_EQ(orvane({src(), dst(), "parts=6", "rows=4"}).code, 2);
  EXPECT_EQ(orvane({src(), dst(), "parts=4", "rows=3", "cols=2"}).code, 2);
  EXPECT_EQ(orvane({src(), dst(), "parts=101"}).code, 2);
  EXPECT_EQ(orvane({"source=" + input.path() + "/none", dst()}).code, 2);
  EXPECT_EQ(orvane({src(), dst(), "tiles=4"}).code, 2);  // typo'd key
  // As the help says, a missing output folder is created, flat output or not.
  EXPECT_EQ(orvane({src(), "output=" + output.path() + "/missing", "subfolders=false"}).code, 0);
  EXPECT_TRUE(QFileInfo::exists(output.path() + "/missing/x_part_1.png"));
  orvane::test::write_bytes(output.path() + "/file", "in the way");
  const ToolRun failed =
      orvane({src(), "output=" + output.path() + "/file/tiles", "subfolders=false"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.out, "Split 0 images into 0 tile parts.\n");  // stopped before the first
  EXPECT_TRUE(failed.err.contains("could not be created"));
  QTemporaryDir empty;
  EXPECT_EQ(orvane({"source=" + empty.path(), dst()}).code, 1);
  const ToolRun help = orvane({"help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.contains("subfolders=true"));
}

TEST_F(SplitCli, LabelsOverlapAndABadLabelFile) {
  orvane::test::write_image(input.path() + "/x.png", orvane::test::position_image(40, 40));
  orvane::test::write_bytes(input.path() + "/x.txt", "0 0.5 0.5 0.1 0.1\n");
  ToolRun run = orvane({src(), dst(), "parts=4", "rows=2", "labels=true", "overlap=20",
                        "min_visible=0.2", "subfolders=false"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  // 20 % overlap: 23-pixel tiles at 0 and 17, so the centred 4 x 4 box is in all four.
  for (int t = 1; t <= 4; ++t) {
    const QString label = output.path() + QStringLiteral("/x_part_%1.txt").arg(t);
    EXPECT_GT(QFileInfo(label).size(), 0) << t;
    EXPECT_EQ(
        cv::imread((output.path() + QStringLiteral("/x_part_%1.png").arg(t)).toStdString()).cols,
        23);
  }
  EXPECT_EQ(orvane({src(), dst(), "labels=true", "overlap=95"}).code, 2);
  EXPECT_EQ(orvane({src(), dst(), "labels=true", "min_visible=1.5"}).code, 2);

  orvane::test::write_bytes(input.path() + "/x.txt", "0 0.5 0.5 0.1\n");
  QTemporaryDir fresh;
  run = orvane({src(), "output=" + fresh.path(), "labels=true"});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(run.err.contains("x.txt: line 1")) << run.err.toStdString();
  EXPECT_TRUE(QDir(fresh.path() + "/part_1").isEmpty());
}

}  // namespace
