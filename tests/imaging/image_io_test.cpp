#include "imaging/image_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <opencv2/imgcodecs.hpp>
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

TEST(ImageIo, UnreadableFilesDecodeToNothing) {
  QTemporaryDir dir;
  EXPECT_TRUE(read_image_bgr(dir.filePath("missing.png")).empty());
  QFile junk(dir.filePath("junk.jpg"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("not a jpeg at all");
  junk.close();
  EXPECT_TRUE(read_image_bgr(junk.fileName()).empty());
  EXPECT_TRUE(read_image_bgr(dir.path()).empty());  // a folder is not an image
  // A truncated DICOM file named like a picture: OpenCV's DICOM reader aborts the process on it.
  QFile dicom(dir.filePath("scan.png"));
  ASSERT_TRUE(dicom.open(QIODevice::WriteOnly));
  dicom.write(QByteArray(128, '\0') + "DICM" + QByteArray("\x02\x00\x00\x00UL\x04", 8));
  dicom.close();
  EXPECT_TRUE(read_image_bgr(dicom.fileName()).empty());
}

// A tiny JPEG whose header claims 30000 x 30000 pixels: refused from the header, without the
// decoder first allocating the 2.7 GB the header asks for.
TEST(ImageIo, AHeaderPromisingMorePixelsThanTheFileCanHoldDoesNotDecode) {
  QTemporaryDir dir;
  std::vector<uchar> bytes;
  ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(40, 80, 120)), bytes));
  const uchar start_of_frame[] = {0xFF, 0xC0};  // then length (2), precision (1), height, width
  const auto sof =
      std::search(bytes.begin(), bytes.end(), std::begin(start_of_frame), std::end(start_of_frame));
  ASSERT_NE(sof, bytes.end());
  const auto at = std::size_t(sof - bytes.begin());
  for (std::size_t k : {at + 5, at + 7})
    bytes[k] = uchar(30000 >> 8), bytes[k + 1] = uchar(30000 & 0xFF);
  QFile big(dir.filePath("claims_huge.jpg"));
  ASSERT_TRUE(big.open(QIODevice::WriteOnly));
  big.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
  big.close();
  EXPECT_TRUE(read_image_bgr(big.fileName()).empty());
  // The same picture with its true size still decodes.
  QFile small(dir.filePath("small.jpg"));
  ASSERT_TRUE(small.open(QIODevice::WriteOnly));
  std::vector<uchar> plain;
  ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(40, 80, 120)), plain));
  small.write(reinterpret_cast<const char*>(plain.data()), qint64(plain.size()));
  small.close();
  EXPECT_EQ(read_image_bgr(small.fileName()).cols, 16);
}

// Every way a write can fail leaves the image that was there before, whole.
TEST(ImageIo, WritesAreAtomic) {
  QTemporaryDir dir;
  const cv::Mat old_image(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
  const QString out = dir.filePath("ok.png");
  ASSERT_TRUE(write_image_atomic(out, old_image));
  const auto old_bytes = [&] {
    QFile f(out);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  const QByteArray before = old_bytes();
  ASSERT_FALSE(before.isEmpty());

  // A file system that refuses the bytes midway (as a full disk does): RLIMIT_FSIZE in a child.
  const cv::Mat noisy = [] {
    cv::Mat m(40, 40, CV_8UC3);  // a few KB: less than a write buffer holds
    cv::randu(m, 0, 255);
    return m;
  }();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1024, 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(write_image_atomic(out, noisy) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the short write was not reported";
  EXPECT_EQ(old_bytes(), before);

  // An encoder failure (no encoder for the extension) and a folder in the target's place.
  const QString odd = dir.filePath("ok.notanimage");
  QFile::copy(out, odd);
  EXPECT_FALSE(write_image_atomic(odd, noisy));
  EXPECT_EQ(QFileInfo(odd).size(), before.size());
  ASSERT_TRUE(QDir(dir.path()).mkdir("taken.png"));
  EXPECT_FALSE(write_image_atomic(dir.filePath("taken.png"), noisy));
  EXPECT_TRUE(QFileInfo(dir.filePath("taken.png")).isDir());

  EXPECT_FALSE(write_image_atomic(dir.filePath("nodir/x.png"), noisy));
  EXPECT_EQ(cv::norm(read_image_bgr(out), old_image, cv::NORM_INF), 0);
  // Nothing but the image, the copy and the folder: no temporary left behind.
  EXPECT_EQ(
      QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 3);
}
