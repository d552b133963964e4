// `orvane dataset` as a script would run it: what goes to standard output, exit codes, and a seed
// that makes a split reproducible.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>

#include "common/run_orvane.h"
#include "dataset/test_files.h"

using orvane::test::write_file;

using orvane::test::ToolRun;

namespace {

ToolRun run_orvane(const QStringList& args) { return orvane::test::run_orvane("dataset", args); }

// Every file under `folder`, relative, sorted.
QStringList tree(const QString& folder) {
  QStringList files;
  QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) files << QDir(folder).relativeFilePath(it.next());
  files.sort();
  return files;
}

class DatasetCli : public ::testing::Test {
 protected:
  DatasetCli() {
    write_file(input.filePath("classes.txt"), "bolt\nnut\n");
    for (int i = 0; i < 12; ++i) {
      write_file(input.filePath(QStringLiteral("img%1.png").arg(i)), "png");
      write_file(input.filePath(QStringLiteral("img%1.txt").arg(i)),
                 i % 3 == 0 ? "0 0.1 0.1 0.2 0.2 0.3 0.1\n" : "1 0.5 0.5 0.6 0.6\n1 0 0 1 1\n");
    }
    write_file(input.filePath("bare.jpg"), "jpg");
  }
  QString src() const { return "source=" + input.path(); }
  QTemporaryDir input, output;
};

}  // namespace

TEST_F(DatasetCli, HealthAndStatsPrintWhatTheStudioShows) {
  const ToolRun health = run_orvane({"health", src()});
  EXPECT_EQ(health.code, 0) << health.err.toStdString();
  EXPECT_EQ(health.out,
            "🩺 Dataset QA Health Report:\n\nUnannotated Images: 1\nOrphaned Label Files: 0\n"
            "Overlapping Polygons/Boxes (Duplicates): 0\n\nMissing Annotations (Sample):\n"
            "['bare.jpg']\n\n");

  write_file(input.filePath("img0.txt"), "0 0.1 0.1 0.2 0.2\nbolt 0 0\n");
  const ToolRun stats = run_orvane({"stats", src()});
  EXPECT_EQ(stats.code, 0) << stats.err.toStdString();
  EXPECT_EQ(stats.out, "nut (16)\nbolt (4)\n");
  EXPECT_TRUE(stats.err.contains("Skipped 1 line whose class id is not an integer."));
}

TEST_F(DatasetCli, SeededSplitsRepeatAndUnseededOnesVary) {
  QTemporaryDir again, other;
  const ToolRun first = run_orvane({"split", src(), "output=" + output.path(), "seed=5"});
  ASSERT_EQ(first.code, 0) << first.err.toStdString();
  EXPECT_EQ(first.out, "Exported dataset successfully to:\n" + output.path() + "\n");
  ASSERT_EQ(run_orvane({"split", src(), "output=" + again.path(), "seed=5"}).code, 0);
  EXPECT_EQ(tree(output.path()), tree(again.path()));
  EXPECT_EQ(QDir(output.filePath("train/images")).count() - 2, 8u);  // trunc(12 * 0.7)
  EXPECT_EQ(QDir(output.filePath("val/images")).count() - 2, 2u);
  EXPECT_EQ(QDir(output.filePath("test/images")).count() - 2, 2u);
  EXPECT_TRUE(orvane::test::read_file(output.filePath("data.yaml"))
                  .endsWith("\n\nnames:\n  0: bolt\n  1: nut\n"));

  // Without a seed, five exports all cutting the same way would be a 1 in 10^10 coincidence.
  QStringList layouts;
  for (int run = 0; run < 5; ++run) {
    QTemporaryDir out;
    ASSERT_EQ(run_orvane({"split", src(), "output=" + out.path(), "format=segmentation"}).code, 0);
    layouts << tree(out.path()).join(',');
  }
  layouts.removeDuplicates();
  EXPECT_GT(layouts.size(), 1);
}

TEST_F(DatasetCli, BadArgumentsAndNothingToSplit) {
  const QString dst = "output=" + output.path();
  EXPECT_EQ(run_orvane({"split", src(), dst, "train=70", "val=20", "test=20"}).code, 2);
  EXPECT_EQ(run_orvane({"split", src(), dst, "format=boxes"}).code, 2);
  EXPECT_EQ(run_orvane({"split", src(), dst, "seed=-1"}).code, 2);
  EXPECT_EQ(run_orvane({"split", src()}).code, 2);
  EXPECT_EQ(run_orvane({"health", "source=" + input.filePath("missing")}).code, 2);
  EXPECT_EQ(run_orvane({"audit", src()}).code, 2);
  EXPECT_TRUE(QDir(output.path()).isEmpty());

  QTemporaryDir bare;
  write_file(bare.filePath("a.png"), "png");
  const ToolRun none = run_orvane({"split", "source=" + bare.path(), dst});
  EXPECT_EQ(none.code, 1);
  EXPECT_TRUE(none.err.contains("No annotated files found to split."));
  EXPECT_TRUE(QDir(output.path()).isEmpty());
}
