#pragma once
// Small datasets on disk for the converter tests: real PNG pictures of a few dozen pixels, label
// files and annotation files written byte for byte.

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

namespace orvane::test {

inline void put(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  file.write(bytes);
}

inline QByteArray get(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<missing " + path.toUtf8() + ">";
  return file.readAll();
}

inline void put_image(const QString& path, int width, int height) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::darkCyan);
  ASSERT_TRUE(image.save(path)) << path.toStdString();
}

// Every file under `folder`, relative, sorted.
inline QStringList tree(const QString& folder) {
  QStringList files;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) files << QDir(folder).relativeFilePath(it.next());
  files.sort();
  return files;
}

// Entries directly in `folder` (hidden ones included): a conversion must leave no staging behind.
inline QStringList entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// An annotator folder with boxes and polygons on two pictures (one in a sub-folder), class names
// with spaces and letters outside ASCII, and an image that has no label file.
inline void make_yolo_folder(const QString& root) {
  put(root + "/classes.txt", "rice bug\nwereng daun\xc3\xa9t\xc3\xa9\nchat \xe7\x8c\xab\n");
  put_image(root + "/a.png", 64, 48);
  put(root + "/a.txt",
      "0 0.500000 0.500000 0.250000 0.500000\n"
      "2 0.100000 0.100000 0.900000 0.150000 0.800000 0.950000 0.050000 0.700000\n"
      "1 0.333333 0.666667 0.125000 0.041667\n");
  put_image(root + "/part two/b.png", 100, 80);
  put(root + "/part two/b.txt", "2 0.000000 0.000000 1.000000 0.000000 0.500000 1.000000\n");
  put_image(root + "/c.png", 32, 32);
}

}  // namespace orvane::test
