#include "imaging/image_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace orvane;

TEST(LabelPath, ReplacesOnlyTheLastExtension) {
  const std::pair<QString, QString> cases[] = {
      {"/d/car.jpg", "/d/car.txt"},
      {"/d/car.left.JPG", "/d/car.left.txt"},
      {"/d/.png", "/d/.png.txt"},
      {"/d.x/noext", "/d.x/noext.txt"},
      {"rel/a.b.c.webp", "rel/a.b.c.txt"},
  };
  for (const auto& [image, label] : cases) EXPECT_EQ(label_path_for(image), label) << image.toStdString();
}

TEST(ListImages, FiltersByLowerCasedExtensionAndSortsByCodePoint) {
  QTemporaryDir dir;
  for (const char* name : {"b.JPG", "a.png", "c.txt", "B.webp", "d.jpeg.bak", "e.BMP"}) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QDir(dir.path()).mkdir("sub.jpg");  // folders are never images
  const QStringList sorted = list_images(dir.path(), ListOrder::CodePoint);
  QStringList names;
  for (const QString& p : sorted) names << QFileInfo(p).fileName();
  EXPECT_EQ(names, (QStringList{"B.webp", "a.png", "b.JPG", "e.BMP"}));
  EXPECT_EQ(list_images(dir.path(), ListOrder::Directory).size(), 4);
  EXPECT_TRUE(list_images(dir.filePath("missing"), ListOrder::CodePoint).isEmpty());
}
