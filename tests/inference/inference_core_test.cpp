#include "inference/inference_core.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

using namespace orvane::inference;
using orvane::Result;

void write_file(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
  f.write(bytes);
}

QByteArray read_file(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(InferenceListing, KeepsImageExtensionsInAnyCaseSortedByCodePointWithCleanPaths) {
  QTemporaryDir dir;
  const QDir d(dir.path());
  for (const char* name : {"a.JPG", "b.txt", "B.png", "c.Jpeg", "d.webp", "e.bmp", "f.tif", "noext",
                           "\xef\xbc\xa1.png" /* U+FF21 */, "\xf0\x9f\x98\x80.png"})
    write_file(d.filePath(QString::fromUtf8(name)), "x");
  d.mkdir("sub.jpg");  // listed: the entry name decides, prediction reports it
  d.mkdir("other");

  // Redundant separators and up-level parts in the folder text disappear from the paths.
  const QString messy = dir.path() + "//other/../";
  const QStringList got = list_inference_images(messy);
  const QString root = QDir::cleanPath(dir.path()) + "/";
  const QStringList want{root + "B.png",
                         root + "a.JPG",
                         root + "c.Jpeg",
                         root + "d.webp",
                         root + "e.bmp",
                         root + "sub.jpg",
                         root + QString::fromUtf8("\xef\xbc\xa1.png"),
                         root + QString::fromUtf8("\xf0\x9f\x98\x80.png")};
  EXPECT_EQ(got, want);

  EXPECT_TRUE(list_inference_images(d.filePath("missing")).isEmpty());
}

TEST(InferenceCounter, NamesPositionCountAndFileName) {
  EXPECT_EQ(counter_text(0, 12, "/data/test/x.png"), "1 / 12 - x.png");
  EXPECT_EQ(counter_text(2, 12, "img_003.jpg"), "3 / 12 - img_003.jpg");
  EXPECT_EQ(counter_text(0, 1, "/d/%1 100%.png"), "1 / 1 - %1 100%.png");
}

TEST(InferenceNavigation, WrapsAroundBothEnds) {
  EXPECT_EQ(wrap_index(0, 1, 3), 1);
  EXPECT_EQ(wrap_index(2, 1, 3), 0);
  EXPECT_EQ(wrap_index(0, -1, 3), 2);
  EXPECT_EQ(wrap_index(0, 1, 1), 0);
  EXPECT_EQ(wrap_index(0, -1, 1), 0);
  EXPECT_EQ(wrap_index(0, 1, 0), 0);
}

class ExportPlacementTest : public ::testing::Test {
 protected:
  QString path(const QString& rel) const { return QDir(root.path()).filePath(rel); }
  // What the engine leaves beside the weights.
  QString exported_file(const QByteArray& content = "new") {
    QDir(root.path()).mkpath("run/weights");
    write_file(path("run/weights/best.onnx"), content);
    return path("run/weights/best.onnx");
  }
  QTemporaryDir root;
};

TEST_F(ExportPlacementTest, MovesFileIntoNewNestedFolderAndReportsThePathAsJoined) {
  const QString src = exported_file();
  const QString dir = path("out/deeper/exports");
  const Result<QString> p = place_exported_item(src, dir);
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  EXPECT_EQ(*p, dir + "/best.onnx");
  EXPECT_EQ(read_file(*p), "new");
  EXPECT_FALSE(QFileInfo::exists(src));

  // A relative export folder stays relative in the reported path.
  const QString cwd = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(root.path()));
  const Result<QString> rel = place_exported_item(exported_file(), "exports");
  QDir::setCurrent(cwd);
  ASSERT_TRUE(rel.ok()) << rel.error().toStdString();
  EXPECT_EQ(*rel, "exports/best.onnx");
  EXPECT_EQ(read_file(path("exports/best.onnx")), "new");
}

TEST_F(ExportPlacementTest, ReplacesAnEarlierFileOrFolderOfTheSameName) {
  QDir(root.path()).mkpath("exports");
  write_file(path("exports/best.onnx"), "old");
  write_file(path("exports/keep.txt"), "other");
  ASSERT_TRUE(place_exported_item(exported_file("first"), path("exports")).ok());
  EXPECT_EQ(read_file(path("exports/best.onnx")), "first");
  ASSERT_TRUE(place_exported_item(exported_file("second"), path("exports")).ok());
  EXPECT_EQ(read_file(path("exports/best.onnx")), "second");
  EXPECT_EQ(read_file(path("exports/keep.txt")), "other");

  // A folder export over an earlier file, then a file over a folder of that name.
  QDir(root.path()).mkpath("run/weights/best_saved_model/variables");
  write_file(path("run/weights/best_saved_model/variables/v.bin"), "v");
  write_file(path("exports/best_saved_model"), "a file in the way");
  Result<QString> p = place_exported_item(path("run/weights/best_saved_model/"), path("exports"));
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  EXPECT_EQ(*p, path("exports/best_saved_model"));  // the item's name, not the folder
  EXPECT_EQ(read_file(path("exports/best_saved_model/variables/v.bin")), "v");

  ASSERT_TRUE(QFile::remove(path("exports/best.onnx")));
  QDir(root.path()).mkpath("exports/best.onnx/inner");
  p = place_exported_item(exported_file("third"), path("exports"));
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  EXPECT_EQ(read_file(path("exports/best.onnx")), "third");

  // No leftovers of the replacement beside the items.
  EXPECT_EQ(QDir(path("exports"))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
            (QStringList{"best.onnx", "best_saved_model", "keep.txt"}));
}

TEST_F(ExportPlacementTest, SourceAlreadyInTheExportFolderIsLeftAlone) {
  const QString src = exported_file("only copy");
  Result<QString> p = place_exported_item(src, path("run/weights"));
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  EXPECT_EQ(*p, src);
  EXPECT_EQ(read_file(src), "only copy");

  // The same folder spelt differently, and reached through a link: still the same item.
  p = place_exported_item(src, path("run/../run/weights/"));
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  EXPECT_EQ(read_file(src), "only copy");
  ASSERT_TRUE(QFile::link(path("run/weights"), path("linked")));
  p = place_exported_item(src, path("linked"));
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  EXPECT_EQ(read_file(src), "only copy");
}

TEST_F(ExportPlacementTest, FailuresAreReportedAndLoseNothing) {
  const QString src = exported_file("export");
  write_file(path("blocker"), "a file where the folder should be");
  Result<QString> p = place_exported_item(src, path("blocker/exports"));
  EXPECT_FALSE(p.ok());
  EXPECT_TRUE(p.error().contains("export folder")) << p.error().toStdString();
  EXPECT_EQ(read_file(src), "export");

  EXPECT_FALSE(place_exported_item(path("run/weights/missing.onnx"), path("exports")).ok());
  EXPECT_FALSE(place_exported_item("/", path("exports")).ok());
  EXPECT_FALSE(place_exported_item(src, "").ok());

  // An earlier folder of the item's name that holds the export itself is not deleted.
  QDir(root.path()).mkpath("x/best.onnx");
  write_file(path("x/best.onnx/best.onnx"), "nested");
  p = place_exported_item(path("x/best.onnx/best.onnx"), path("x"));
  EXPECT_FALSE(p.ok());
  EXPECT_EQ(read_file(path("x/best.onnx/best.onnx")), "nested");
}

}  // namespace
