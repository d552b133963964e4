// Runs the real `orvane enrich` the way a script would.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/run_orvane.h"

using orvane::test::ToolRun;

namespace {

ToolRun orvane(const QStringList& args) { return orvane::test::run_orvane("enrich", args); }

cv::Mat picture(int w, int h, int shade) {
  cv::Mat img(h, w, CV_8UC3, cv::Scalar(shade, 120, 200));
  cv::circle(img, {w / 2, h / 2}, h / 4, cv::Scalar(10, 250, 30), -1);
  return img;
}

TEST(OrvaneEnrich, FolderGivesCountVariantsOfEachImage) {
  QTemporaryDir dir;
  const QDir d(dir.path());
  d.mkdir("src");
  cv::imwrite(d.filePath("src/a.png").toStdString(), picture(60, 40, 50));
  cv::imwrite(d.filePath("src/b.jpg").toStdString(), picture(50, 50, 90));
  const ToolRun run = orvane({"source=" + d.filePath("src"), "output=" + d.filePath("out"),
                              "count=3", "seed=4", "warp=0,10"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(run.out, "Enrichment complete! Saved 6 variant(s) of the manipualted image.\n");
  const QStringList files = QDir(d.filePath("out")).entryList(QDir::Files);
  EXPECT_EQ(files.size(), 6);
  for (const QString& f : files) EXPECT_TRUE(f.startsWith("image_enriched_")) << f.toStdString();
}

TEST(OrvaneEnrich, SeedReproducesTheVariants) {
  QTemporaryDir dir;
  const QDir d(dir.path());
  cv::imwrite(d.filePath("one.png").toStdString(), picture(64, 48, 70));
  for (const char* out : {"x", "y"})
    ASSERT_EQ(orvane({"source=" + d.filePath("one.png"), "output=" + d.filePath(out), "count=1",
                      "seed=99"})
                  .code,
              0);
  const auto only = [&](const char* sub) {
    const QDir o(d.filePath(sub));
    return cv::imread(o.filePath(o.entryList(QDir::Files).value(0)).toStdString());
  };
  const cv::Mat x = only("x"), y = only("y");
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(cv::norm(x, y, cv::NORM_INF), 0);
}

TEST(OrvaneEnrich, BadInputIsAOneLineError) {
  QTemporaryDir dir;
  const QDir d(dir.path());
  cv::imwrite(d.filePath("one.png").toStdString(), picture(20, 20, 70));
  const QString src = "source=" + d.filePath("one.png"), out = "output=" + d.filePath("o");
  for (const QStringList& args :
       {QStringList{src}, QStringList{src, out, "count=0"}, QStringList{src, out, "gamma=0,1"},
        QStringList{src, out, "warp=5"}, QStringList{src, out, "seed=-1"},
        QStringList{"source=" + d.filePath("missing"), out}, QStringList{src, out, "bogus=1"}}) {
    const ToolRun run = orvane(args);
    EXPECT_NE(run.code, 0) << args.join(' ').toStdString();
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
    EXPECT_TRUE(run.out.isEmpty());
  }
  EXPECT_FALSE(QDir(d.filePath("o")).exists());
}

TEST(OrvaneEnrich, LabelsGoWithEveryVariantOrNoVariantIsMade) {
  QTemporaryDir dir;
  const QDir d(dir.path());
  d.mkdir("src");
  cv::imwrite(d.filePath("src/a.png").toStdString(), picture(60, 40, 50));
  QFile label(d.filePath("src/a.txt"));
  ASSERT_TRUE(label.open(QIODevice::WriteOnly));
  label.write("1 0.5 0.5 0.4 0.4\n");
  label.close();
  QFile classes(d.filePath("src/classes.txt"));
  ASSERT_TRUE(classes.open(QIODevice::WriteOnly));
  classes.write("a\nb\n");
  classes.close();
  ToolRun run = orvane({"source=" + d.filePath("src"), "output=" + d.filePath("out"), "count=2",
                        "seed=1", "labels=true"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  const QStringList labels = QDir(d.filePath("out")).entryList({"image_enriched_*.txt"});
  EXPECT_EQ(labels.size(), 2);
  for (const QString& f : labels) {
    QFile file(d.filePath("out/" + f));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().startsWith("1 0.")) << f.toStdString();
  }
  EXPECT_TRUE(QFile::exists(d.filePath("out/classes.txt")));

  ASSERT_TRUE(label.open(QIODevice::WriteOnly | QIODevice::Truncate));
  label.write("1 0.5 0.5 0.4 0.4\nbroken\n");
  label.close();
  run = orvane({"source=" + d.filePath("src"), "output=" + d.filePath("out2"), "labels=true"});
  EXPECT_NE(run.code, 0);
  EXPECT_TRUE(run.err.contains("a.txt: line 2")) << run.err.toStdString();
  EXPECT_TRUE(QDir(d.filePath("out2")).entryList(QDir::Files).isEmpty());
}

}  // namespace
