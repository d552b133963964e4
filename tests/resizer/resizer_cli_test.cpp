// Runs the real `orvane resize` as a user would from a shell.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "common/run_orvane.h"
#include "test_images.h"

using namespace orvane::test;

using orvane::test::ToolRun;

namespace {

ToolRun orvane(const QStringList& args) { return orvane::test::run_orvane("resize", args); }

TEST(OrvaneResize, PhysicalSizeUnderABudgetFromAFolder) {
  QTemporaryDir in, out;
  ASSERT_TRUE(save(noise_image(600, 400), QDir(in.path()).filePath("a.png"), "png"));
  ASSERT_TRUE(save(noise_image(400, 600), QDir(in.path()).filePath("b.jpg"), "jpeg"));
  const QString target = QDir(out.path()).filePath("made/here");
  const ToolRun run = orvane({"source=" + in.path(), "output=" + target, "width=2", "unit=in",
                              "dpi=150", "budget=true", "budget_kb=60", "format=jpeg"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(run.out.trimmed(), "Batch process finished. Exported 2 images.");
  EXPECT_TRUE(run.err.contains("[2/2]"));
  const QString a = QDir(target).filePath("a_scaled.jpeg");
  EXPECT_EQ(read_image(a).size(), QSize(300, 200));
  EXPECT_EQ(read_image(QDir(target).filePath("b_scaled.jpeg")).size(), QSize(300, 450));
  EXPECT_LE(QFileInfo(a).size(), 60 * 1024);
  EXPECT_EQ(jfif_density(read_bytes(a)).x, 150);
}

TEST(OrvaneResize, FailuresGoToStandardOutputAndTheExitCode) {
  QTemporaryDir in, out;
  const QString bad = QDir(in.path()).filePath("bad.png");
  QFile f(bad);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("junk");
  f.close();
  ASSERT_TRUE(save(noise_image(10, 10), QDir(in.path()).filePath("ok.png"), "png"));
  const ToolRun run = orvane({"source=" + bad + "," + QDir(in.path()).filePath("ok.png"),
                              "output=" + out.path(), "resize=false"});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(run.out.startsWith("Resizer Error: " + bad)) << run.out.toStdString();
  EXPECT_TRUE(run.out.contains("Exported 1 images."));
}

TEST(OrvaneResize, BadSettingsAreRefusedBeforeAnythingIsWritten) {
  QTemporaryDir in, out;
  ASSERT_TRUE(save(noise_image(10, 10), QDir(in.path()).filePath("ok.png"), "png"));
  for (const QString& bad : {QString("dpi=abc"), QString("rotate=45"), QString("unit=ft"),
                             QString("format=gif"), QString("colour=red")}) {
    const ToolRun run = orvane({"source=" + in.path(), "output=" + out.path(), bad});
    EXPECT_EQ(run.code, 2) << bad.toStdString();
    EXPECT_FALSE(run.err.isEmpty());
  }
  EXPECT_TRUE(QDir(out.path()).isEmpty());
  EXPECT_EQ(orvane({"help"}).code, 0);
}

}  // namespace
