#pragma once
// Images written for splitter tests: every pixel encodes its own position, so a tile's content
// proves exactly which region of the source it came from.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace orvane::test {

inline cv::Mat position_image(int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.at<cv::Vec3b>(y, x) =
          cv::Vec3b(uchar(x % 256), uchar(y % 256), uchar((x / 256) * 16 + y / 256));
  return image;
}

inline void write_bytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  file.write(bytes);
}

// Encodes by the extension in any letter case ("photo.JPG" is a JPEG).
inline void write_image(const QString& path, const cv::Mat& image) {
  std::vector<uchar> bytes;
  const std::string ext = (QStringLiteral(".") + QFileInfo(path).suffix().toLower()).toStdString();
  ASSERT_TRUE(cv::imencode(ext, image, bytes)) << path.toStdString();
  write_bytes(path, QByteArray(reinterpret_cast<const char*>(bytes.data()),
                               static_cast<qsizetype>(bytes.size())));
}

}  // namespace orvane::test
