#include "imaging/image_io.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "files/atomic_file.h"
#include "files/text_file.h"

namespace orvane {

namespace {

// OpenCV picks a decoder by the file's signature, not its name, and its DICOM decoder (GDCM)
// aborts the whole process on a malformed file. We do not list DICOM as an image, so a file that
// carries its signature ("DICM" after a 128-byte preamble) is simply one that does not decode.
bool is_dicom(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || !file.seek(128)) return false;
  return file.read(4) == "DICM";
}

// A file whose header promises far more pixels than its bytes could hold (a few hundred bytes
// declaring a 17000 x 60000 JPEG) would have the decoder allocate gigabytes before it finds the
// data missing. No format we read packs much more than 25000 decoded bytes into one file byte
// (a one-colour 1-bit PNG: deflate's 1032:1 on top of 1 bit becoming 24), so a header claiming
// more is refused as not decoding. Pictures under 64 megapixels are never refused this way.
bool declares_impossible_size(const QString& path) {
  QImageReader reader(path);
  const QSize size = reader.size();  // the header only
  if (!size.isValid()) return false;
  const double decoded = 3.0 * size.width() * size.height();
  constexpr double kAlwaysDecoded = 3.0 * 64e6, kMaxExpansion = 32768;
  return decoded > kAlwaysDecoded && decoded > kMaxExpansion * double(QFileInfo(path).size());
}

}  // namespace

cv::Mat read_image_bgr(const QString& path) {
  if (!QFileInfo(path).isFile() || is_dicom(path) || declares_impossible_size(path)) return {};
  try {
    cv::Mat image = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
    return image;
  } catch (const cv::Exception&) {
    // A corrupt file may make a codec throw; to callers it is simply "does not decode".
    return {};
  }
}

Result<> write_image_atomic(const QString& path, const cv::Mat& image,
                            const std::vector<int>& params) {
  if (image.empty())
    return fail(QStringLiteral("Could not write %1: the image is empty").arg(path));
  std::vector<uchar> bytes;
  const auto not_encoded = [&path] {
    return fail(QStringLiteral("Could not write %1: the image cannot be encoded as .%2")
                    .arg(path, QFileInfo(path).suffix()));
  };
  try {
    const std::string ext = QString(".%1").arg(QFileInfo(path).suffix().toLower()).toStdString();
    if (!cv::imencode(ext, image, bytes, params)) return not_encoded();
  } catch (const cv::Exception&) {
    return not_encoded();
  }
  return write_file_atomic(
      std::filesystem::path(QFile::encodeName(path).toStdString()),
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

QImage mat_to_qimage(const cv::Mat& mat) {
  if (mat.empty()) return {};
  cv::Mat rgb;
  switch (mat.channels()) {
    case 1:
      cv::cvtColor(mat, rgb, cv::COLOR_GRAY2RGB);
      break;
    case 4:
      cv::cvtColor(mat, rgb, cv::COLOR_BGRA2RGB);
      break;
    default:
      cv::cvtColor(mat, rgb, cv::COLOR_BGR2RGB);
      break;
  }
  if (rgb.depth() != CV_8U) rgb.convertTo(rgb, CV_8U);
  QImage view(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step),
              QImage::Format_RGB888);
  return view.copy();
}

cv::Mat qimage_to_mat(const QImage& image) {
  if (image.isNull()) return {};
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  cv::Mat view(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar*>(rgb.constBits()),
               static_cast<size_t>(rgb.bytesPerLine()));
  cv::Mat bgr;
  cv::cvtColor(view, bgr, cv::COLOR_RGB2BGR);
  return bgr;
}

std::vector<QImage> image_pyramid(const cv::Mat& bgr, int smallest_side) {
  std::vector<QImage> levels{mat_to_qimage(bgr)};
  cv::Mat current = bgr;
  while (std::max(current.cols, current.rows) > std::max(1, smallest_side)) {
    cv::Mat half;
    cv::resize(current, half, cv::Size((current.cols + 1) / 2, (current.rows + 1) / 2), 0, 0,
               cv::INTER_AREA);
    levels.push_back(mat_to_qimage(half));
    current = half;
  }
  return levels;
}

}  // namespace orvane
