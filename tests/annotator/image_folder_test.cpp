#include "annotator/image_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace orvane;

TEST(ImageFolder, ListsImagesByCodePointAndMarksLabelledOnes) {
  QTemporaryDir dir;
  for (const char* name : {"b.png", "A.jpg", "a.jpg", "IMG_10.jpg", "IMG_2.jpg", "Photo.JPG",
                           "scan.WebP", "notes.txt", "archive.tif", ".png", "car.left.JPG",
                           "car.left.txt", ".png.txt", "b.txt", "classes.txt", "..png", "..txt",
                           "...jpg"}) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QDir(dir.path()).mkpath("sub.jpg/inner.png");  // folders and their contents are not listed
  const ImageFolderListing listing = scan_image_folder(dir.path());
  QStringList names;
  for (const QString& p : listing.image_paths) names << QFileInfo(p).fileName();
  EXPECT_EQ(names, (QStringList{"A.jpg", "IMG_10.jpg", "IMG_2.jpg", "Photo.JPG", "a.jpg", "b.png",
                                "car.left.JPG", "scan.WebP"}));
  EXPECT_EQ(listing.labelled,
            (std::vector<bool>{false, false, false, false, false, true, true, false}));
  EXPECT_EQ(listing.image_paths[0], dir.filePath("A.jpg"));
  EXPECT_TRUE(scan_image_folder(dir.filePath("missing")).image_paths.isEmpty());
}

TEST(ImageFolder, RowText) {
  EXPECT_EQ(image_row_text("/d/cat.png", true), QString::fromUtf8("[✓] cat.png"));
  EXPECT_EQ(image_row_text("/d/cat.png", false), "[  ] cat.png");
}
