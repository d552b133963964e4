#include "imaging/image_io.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

using namespace orvane;

TEST(ImageBridge, RoundTripKeepsChannelOrder) {
  cv::Mat bgr(4, 5, CV_8UC3, cv::Scalar(10, 20, 30));  // B=10 G=20 R=30
  const QImage q = mat_to_qimage(bgr);
  ASSERT_EQ(q.size(), QSize(5, 4));
  EXPECT_EQ(q.pixelColor(2, 1), QColor(30, 20, 10));
  const cv::Mat back = qimage_to_mat(q);
  EXPECT_EQ(cv::norm(back, bgr, cv::NORM_INF), 0);
}

TEST(ImageIo, UnreadableFilesAreEmptyAndWritesAreAtomic) {
  QTemporaryDir dir;
  EXPECT_TRUE(read_image_bgr(dir.filePath("missing.png")).empty());
  QFile junk(dir.filePath("junk.jpg"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("not a jpeg at all");
  junk.close();
  EXPECT_TRUE(read_image_bgr(junk.fileName()).empty());

  cv::Mat img(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
  const QString out = dir.filePath("ok.png");
  ASSERT_TRUE(write_image_atomic(out, img));
  EXPECT_EQ(cv::norm(read_image_bgr(out), img, cv::NORM_INF), 0);
  EXPECT_FALSE(write_image_atomic(dir.filePath("nodir/x.png"), img));
  EXPECT_FALSE(QFile::exists(dir.filePath("nodir/.x.png.part")));
}
