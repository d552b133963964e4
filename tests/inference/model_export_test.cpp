#include "inference/model_export.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "inference/tiny_model.h"

using orvane::Result;
using orvane::inference::export_into_folder;

namespace {

Result<QString> run_export(const QString& weights, const QString& format, const QString& dir) {
  return export_into_folder({weights, format, dir});
}

class ModelExportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "model-export-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);  // lives to exit
  }
  QString path(const QString& rel) const { return QDir(root.path()).filePath(rel); }
  QTemporaryDir root;
};

TEST_F(ModelExportTest, AFileThatIsNoCheckpointFailsAndMakesNoExportFolder) {
  QFile notes(path("notes.pt"));
  ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
  notes.write("these are not weights");
  notes.close();
  const Result<QString> out = run_export(path("notes.pt"), "onnx", path("exports"));
  ASSERT_FALSE(out);
  EXPECT_FALSE(out.error().isEmpty());
  EXPECT_FALSE(QDir(path("exports")).exists());
}

TEST_F(ModelExportTest, AFormatWithoutToolchainNamesItselfInTheError) {
  orvane::test::write_tiny_checkpoint(path("best.pt").toStdString());
  const Result<QString> out = run_export(path("best.pt"), "coreml", path("exports"));
  ASSERT_FALSE(out);
  EXPECT_TRUE(out.error().contains("coreml", Qt::CaseInsensitive)) << out.error().toStdString();
  // Nothing half-made lands in the export folder.
  EXPECT_TRUE(QDir(path("exports")).isEmpty());
  EXPECT_TRUE(QFile::exists(path("best.pt")));
}

TEST_F(ModelExportTest, OnnxExportMovesIntoARelativeExportFolderAndASecondOneReplacesIt) {
  QDir(root.path()).mkpath("run/weights");
  orvane::test::write_tiny_checkpoint(path("run/weights/best.pt").toStdString());
  // The export folder is taken relative to the working folder, as the tab's "exports" is.
  struct Cwd {
    QString saved = QDir::currentPath();
    ~Cwd() { QDir::setCurrent(saved); }
  } cwd;
  ASSERT_TRUE(QDir::setCurrent(root.path()));

  const Result<QString> first = run_export("run/weights/best.pt", "onnx", "exports");
  ASSERT_TRUE(first) << first.error().toStdString();
  EXPECT_EQ(*first, "exports/best.onnx");
  EXPECT_FALSE(QFile::exists("run/weights/best.onnx"));  // moved, not copied
  QFile placed("exports/best.onnx");
  ASSERT_TRUE(placed.open(QIODevice::ReadWrite | QIODevice::Truncate));
  placed.write("marker of the first export");
  placed.close();

  const Result<QString> second = run_export("run/weights/best.pt", "onnx", "exports");
  ASSERT_TRUE(second) << second.error().toStdString();
  EXPECT_EQ(*second, "exports/best.onnx");
  ASSERT_TRUE(placed.open(QIODevice::ReadOnly));
  const QByteArray bytes = placed.readAll();
  EXPECT_GT(bytes.size(), 100000);  // the network's weights, not the marker
  EXPECT_FALSE(bytes.contains("marker of the first export"));
  EXPECT_EQ(QDir("exports").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"best.onnx"});
}

}  // namespace
