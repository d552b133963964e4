#include "inference/export_thread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "inference/tiny_model.h"

using orvane::inference::ExportThread;

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
  EXPECT_EQ(thread.model_path(), "w.pt");
  EXPECT_EQ(thread.format(), "onnx");
  EXPECT_EQ(thread.export_dir(), "exports");
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

TEST_F(ExportThreadTest, OnnxExportMovesIntoARelativeExportFolderAndASecondOneReplacesIt) {
  QDir(root.path()).mkpath("run/weights");
  orvane::test::write_tiny_checkpoint(path("run/weights/best.pt").toStdString());
  // The export folder is taken relative to the working folder, as the tab's "exports" is.
  struct Cwd {
    QString saved = QDir::currentPath();
    ~Cwd() { QDir::setCurrent(saved); }
  } cwd;
  ASSERT_TRUE(QDir::setCurrent(root.path()));

  const Outcome first = run_export("run/weights/best.pt", "onnx", "exports");
  ASSERT_EQ(first.errors, QStringList());
  EXPECT_EQ(first.finished, QStringList{"exports/best.onnx"});
  EXPECT_FALSE(QFile::exists("run/weights/best.onnx"));  // moved, not copied
  QFile placed("exports/best.onnx");
  ASSERT_TRUE(placed.open(QIODevice::ReadWrite | QIODevice::Truncate));
  placed.write("marker of the first export");
  placed.close();

  const Outcome second = run_export("run/weights/best.pt", "onnx", "exports");
  ASSERT_EQ(second.errors, QStringList());
  EXPECT_EQ(second.finished, QStringList{"exports/best.onnx"});
  ASSERT_TRUE(placed.open(QIODevice::ReadOnly));
  const QByteArray bytes = placed.readAll();
  EXPECT_GT(bytes.size(), 100000);  // the network's weights, not the marker
  EXPECT_FALSE(bytes.contains("marker of the first export"));
  EXPECT_EQ(QDir("exports").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"best.onnx"});
}

}  // namespace
