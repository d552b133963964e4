// `orvane dataset` as a script would run it: what goes to standard output, exit codes, and a seed
// that makes a split reproducible.
#include <gtest/gtest.h>

#include <iostream>

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

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

TEST_F(DatasetCli, StatsSizesAddsSectionsAfterTodaysLines) {
  QImage(200, 100, QImage::Format_RGB32).save(input.filePath("img0.png"));  // a real header
  const ToolRun plain = run_orvane({"stats", src()});
  const ToolRun sizes = run_orvane({"stats", src(), "sizes=true", "imgsz=400"});
  ASSERT_EQ(sizes.code, 0) << sizes.err.toStdString();
  EXPECT_TRUE(sizes.out.startsWith(plain.out + "\nimages: 13 (1 without objects, 11 of unknown size)\n"))
      << sizes.out.toStdString();
  EXPECT_TRUE(sizes.out.contains("\nclass\tobjects\timages\tsmall\tmedium\tlarge\nbolt\t4\t4\t0\t1\t0\n"))
      << sizes.out.toStdString();
  EXPECT_EQ(run_orvane({"stats", src(), "sizes=true", "imgsz=0"}).code, 2);
}

TEST_F(DatasetCli, ClassesDryRunChangesNothingThenTheOperationRuns) {
  const QByteArray before = orvane::test::read_file(input.filePath("img1.txt"));
  const ToolRun dry = run_orvane({"classes", src(), "delete=bolt", "dry_run=true"});
  ASSERT_EQ(dry.code, 0) << dry.err.toStdString();
  EXPECT_TRUE(dry.out.startsWith("would delete 'bolt'\n")) << dry.out.toStdString();
  EXPECT_TRUE(dry.out.contains("deleted: 4 objects on 4 images")) << dry.out.toStdString();
  EXPECT_EQ(orvane::test::read_file(input.filePath("img1.txt")), before);

  const ToolRun run = run_orvane({"classes", src(), "delete=bolt"});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(orvane::test::read_file(input.filePath("classes.txt")), "nut\n");
  EXPECT_EQ(orvane::test::read_file(input.filePath("img1.txt")), "0 0.5 0.5 0.6 0.6\n0 0 0 1 1\n");
  EXPECT_EQ(orvane::test::read_file(input.filePath("img0.txt")), "");

  EXPECT_EQ(run_orvane({"classes", src()}).code, 2);                                 // no operation
  EXPECT_EQ(run_orvane({"classes", src(), "rename=nut:a", "delete=nut"}).code, 2);  // two
  EXPECT_EQ(run_orvane({"classes", src(), "rename=bolt:a"}).code, 1);               // no such class
}

// The operation killed at some moment, over and over: every time the set is wholly old or wholly
// new once the next run has opened it.
TEST_F(DatasetCli, ClassesKilledAnywhereLeavesAWholeSet) {
  QTemporaryDir big;
  write_file(big.filePath("classes.txt"), "a\nb\nc\n");
  for (int i = 0; i < 800; ++i) {
    write_file(big.filePath(QStringLiteral("i%1.jpg").arg(i)), "jpg");
    write_file(big.filePath(QStringLiteral("i%1.txt").arg(i)), "2 0.5 0.5 0.1 0.1\n1 0.2 0.2 0.1 0.1\n");
  }
  const QByteArray old_label = "2 0.5 0.5 0.1 0.1\n1 0.2 0.2 0.1 0.1\n";
  QByteArray current = old_label;
  bool flipped_to_b_first = false;
  int interrupted = 0;
  for (int delay : {300, 700, 1200, 2000}) {
    // Swapping b and c: each run turns every file from one state to the other.
    QProcess process;
    process.start(QDir(qEnvironmentVariable("ORVANE_BIN_DIR")).filePath("orvane"),
                  {"dataset", "classes", "source=" + big.path(),
                   flipped_to_b_first ? "order=a,b,c" : "order=a,c,b"});
    ASSERT_TRUE(process.waitForStarted());
    QThread::msleep(delay);
    process.kill();
    process.waitForFinished();
    interrupted += QFileInfo::exists(big.filePath(".orvane-classes.journal"));
    // The next open (a dry run does not recover; a real operation does: recover, then refuse
    // nothing) reads a whole set.
    const ToolRun next = run_orvane({"classes", "source=" + big.path(), "rename=a:a2"});
    ASSERT_EQ(next.code, 0) << next.err.toStdString();
    ASSERT_EQ(run_orvane({"classes", "source=" + big.path(), "rename=a2:a"}).code, 0);
    const QByteArray classes = orvane::test::read_file(big.filePath("classes.txt"));
    ASSERT_TRUE(classes == "a\nb\nc\n" || classes == "a\nc\nb\n") << classes.toStdString();
    flipped_to_b_first = classes == "a\nc\nb\n";
    current = flipped_to_b_first ? "1 0.5 0.5 0.1 0.1\n2 0.2 0.2 0.1 0.1\n" : old_label;
    for (int i = 0; i < 800; ++i)
      ASSERT_EQ(orvane::test::read_file(big.filePath(QStringLiteral("i%1.txt").arg(i))), current)
          << "file " << i << " after a kill at " << delay << " ms";
    EXPECT_FALSE(QFileInfo::exists(big.filePath(".orvane-classes.journal")));
    EXPECT_TRUE(QDir(big.path()).entryList({"*.orvane-staged"}, QDir::Files | QDir::Hidden).isEmpty());
  }
  // How many kills landed inside an operation depends on the machine's speed; say so.
  std::cout << "kills inside an operation: " << interrupted << " of 4\n";
}

TEST_F(DatasetCli, DuplicatesPrintsOnePairPerLineAndDropsACopy) {
  QTemporaryDir set;
  QImage picture(64, 48, QImage::Format_RGB32);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) picture.setPixel(x, y, qRgb(x * 4, y * 5, (x * y) % 256));
  picture.save(set.filePath("a.png"));
  picture.save(set.filePath("b.png"));
  QImage other(64, 48, QImage::Format_RGB32);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) other.setPixel(x, y, qRgb((x * 37 + y * 11) % 256, 0, 255 - y * 5));
  other.save(set.filePath("c.png"));
  const ToolRun run = run_orvane({"duplicates", "source=" + set.path(), "cache=false"});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(run.out, "exact\t-\t" + set.filePath("a.png") + "\t-\t" + set.filePath("b.png") + "\n");
  EXPECT_TRUE(run.err.contains("3 images (3 hashed, 0 from the cache)")) << run.err.toStdString();
  const ToolRun drop = run_orvane({"duplicates", "source=" + set.path(), "drop=" + set.filePath("b.png")});
  ASSERT_EQ(drop.code, 0) << drop.err.toStdString();
  EXPECT_EQ(drop.out, set.filePath("removed/b.png") + "\n");
  EXPECT_TRUE(QFileInfo::exists(set.filePath("removed/b.png")));
  EXPECT_EQ(run_orvane({"duplicates", "source=" + set.path(), "cache=false"}).out, "");
  EXPECT_EQ(run_orvane({"duplicates", "source=" + set.path(), "drop=" + set.filePath("zz.png")}).code, 2);
}
