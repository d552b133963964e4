#include "inference/export_thread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "inference/tiny_model.h"

namespace {

struct Outcome {
  QStringList finished, errors;
};

// Runs one export to its end; the signals are recorded directly on the worker thread.
Outcome run_export(const QString& weights, const QString& format, const QString& dir) {
  ExportThread thread(weights, format, dir);
  QSignalSpy done(&thread, &ExportThread::finished_signal);
  QSignalSpy failed(&thread, &ExportThread::error_signal);
  thread.start();
  EXPECT_TRUE(thread.wait(120000));
  Outcome out;
  for (const auto& args : done) out.finished << args.at(0).toString();
  for (const auto& args : failed) out.errors << args.at(0).toString();
  return out;
}

class ExportThreadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "export-thread-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);  // lives to exit
  }
  QString path(const QString& rel) const { return QDir(root.path()).filePath(rel); }
  QTemporaryDir root;
};

TEST_F(ExportThreadTest, KeepsItsArguments) {
  const ExportThread thread("w.pt", "onnx", "exports");
  EXPECT_EQ(thread.mp, "w.pt");
  EXPECT_EQ(thread.fs, "onnx");
  EXPECT_EQ(thread.ed, "exports");
}

TEST_F(ExportThreadTest, AFileThatIsNoCheckpointEndsInOneErrorAndNoExportFolder) {
  QFile notes(path("notes.pt"));
  ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
  notes.write("these are not weights");
  notes.close();
  const Outcome out = run_export(path("notes.pt"), "onnx", path("exports"));
  EXPECT_TRUE(out.finished.isEmpty());
  ASSERT_EQ(out.errors.size(), 1);
  EXPECT_FALSE(out.errors[0].isEmpty());
  EXPECT_FALSE(QDir(path("exports")).exists());
}

TEST_F(ExportThreadTest, AFormatWithoutToolchainNamesItselfInTheError) {
  orvane::test::write_tiny_checkpoint(path("best.pt").toStdString());
  const Outcome out = run_export(path("best.pt"), "coreml", path("exports"));
  EXPECT_TRUE(out.finished.isEmpty());
  ASSERT_EQ(out.errors.size(), 1);
  EXPECT_TRUE(out.errors[0].contains("coreml", Qt::CaseInsensitive)) << out.errors[0].toStdString();
  // Nothing half-made lands in the export folder.
  EXPECT_TRUE(QDir(path("exports")).isEmpty());
  EXPECT_TRUE(QFile::exists(path("best.pt")));
}

}  // namespace
