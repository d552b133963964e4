#include "resizer/resize_image.h"

#include <QColorSpace>
#include <QFile>
#include <QImageReader>
#include <QTransform>
#include <QtEndian>
#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace orvane::resizer {

namespace {

// Qt refuses images over 128 MB by default; large camera files and 16-bit scans exceed that.
constexpr int kAllocationLimitMb = 2048;

bool transposes(QImageIOHandler::Transformations t) {
  return t.testFlag(QImageIOHandler::TransformationRotate90);
}

// Qt applies the EXIF orientation of JPEG files itself but ignores it in WEBP files, where the EXIF
// block is a chunk after the image data. Returns the orientation (1-8) Qt will not apply, else 1.
int unapplied_orientation(QImageReader& reader, const QString& path) {
  if (reader.format().toLower() != "webp") return 1;
  if (reader.transformation() != QImageIOHandler::TransformationNone) return 1;
  return webp_exif_orientation(path);
}

bool orientation_transposes(int orientation) { return orientation >= 5 && orientation <= 8; }

QImage apply_orientation(const QImage& image, int orientation) {
  const QTransform quarter = QTransform().rotate(90);  // exact for multiples of 90 degrees
  switch (orientation) {
    case 2:
      return image.mirrored(true, false);
    case 3:
      return image.mirrored(true, true);
    case 4:
      return image.mirrored(false, true);
    case 5:
      return image.transformed(quarter).mirrored(true, false);  // transpose
    case 6:
      return image.transformed(quarter);
    case 7:
      return image.transformed(quarter).mirrored(false, true);  // transverse
    case 8:
      return image.transformed(QTransform().rotate(270));
    default:
      return image;
  }
}

// The format pixels are held in while they are transformed. Alpha is premultiplied only for
// resampling, where colour must be weighted by coverage (else hidden colour bleeds into visible
// edges); rotation and plain copies keep it straight, so the colour of transparent and nearly
// transparent pixels passes through exactly.
QImage::Format work_format(PixelKind kind, bool premultiplied) {
  switch (kind) {
    case PixelKind::Gray8:
      return QImage::Format_Grayscale8;
    case PixelKind::Gray16:
      return QImage::Format_Grayscale16;
    case PixelKind::Rgb8:
      return QImage::Format_RGB888;
    case PixelKind::Rgba8:
      return premultiplied ? QImage::Format_RGBA8888_Premultiplied : QImage::Format_RGBA8888;
    case PixelKind::Rgb16:
      return QImage::Format_RGBX64;
    case PixelKind::Rgba16:
      return premultiplied ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBA64;
    case PixelKind::Indexed:
      return QImage::Format_Indexed8;
  }
  return QImage::Format_RGB888;
}

int cv_type(PixelKind kind) {
  switch (kind) {
    case PixelKind::Gray8:
    case PixelKind::Indexed:
      return CV_8UC1;
    case PixelKind::Gray16:
      return CV_16UC1;
    case PixelKind::Rgb8:
      return CV_8UC3;
    case PixelKind::Rgba8:
      return CV_8UC4;
    case PixelKind::Rgb16:
    case PixelKind::Rgba16:
      return CV_16UC4;
  }
  return CV_8UC3;
}

bool palette_has_alpha(const QImage& image) {
  const auto table = image.colorTable();
  return std::any_of(table.begin(), table.end(), [](QRgb c) { return qAlpha(c) != 255; });
}

// Lanczos overshoots at hard edges; in premultiplied form a colour above its alpha is invalid
// and would turn into a bright fringe when un-premultiplied.
template <typename T>
void clamp_colour_to_alpha(cv::Mat& rgba) {
  for (int y = 0; y < rgba.rows; ++y) {
    T* p = rgba.ptr<T>(y);
    for (int x = 0; x < rgba.cols; ++x, p += 4) {
      p[0] = std::min(p[0], p[3]);
      p[1] = std::min(p[1], p[3]);
      p[2] = std::min(p[2], p[3]);
    }
  }
}

}  // namespace

int webp_exif_orientation(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return 1;
  const QByteArray riff = file.read(12);
  if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WEBP") return 1;
  // Walk the chunk headers only; image data is skipped, not read.
  qint64 pos = 12;
  while (true) {
    if (!file.seek(pos)) return 1;
    const QByteArray header = file.read(8);
    if (header.size() < 8) return 1;
    const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
    if (header.startsWith("EXIF")) {
      QByteArray tiff = file.read(qMin<quint32>(size, 1 << 20));
      if (tiff.startsWith(QByteArray("Exif\0\0", 6))) tiff.remove(0, 6);
      if (tiff.size() < 8) return 1;
      const bool big = tiff.startsWith("MM");
      if (!big && !tiff.startsWith("II")) return 1;
      auto u16 = [&](qsizetype at) -> quint32 {
        if (at < 0 || at + 2 > tiff.size()) return 0;
        return big ? qFromBigEndian<quint16>(tiff.constData() + at)
                   : qFromLittleEndian<quint16>(tiff.constData() + at);
      };
      auto u32 = [&](qsizetype at) -> quint32 {
        if (at < 0 || at + 4 > tiff.size()) return 0;
        return big ? qFromBigEndian<quint32>(tiff.constData() + at)
                   : qFromLittleEndian<quint32>(tiff.constData() + at);
      };
      const qsizetype ifd = u32(4);
      const quint32 entries = u16(ifd);
      for (quint32 i = 0; i < entries && i < 512; ++i) {
        const qsizetype entry = ifd + 2 + 12 * qsizetype(i);
        if (u16(entry) == 0x0112) {
          const quint32 value = u16(entry + 8);
          return value >= 1 && value <= 8 ? int(value) : 1;
        }
      }
      return 1;
    }
    pos += 8 + qint64(size) + (size % 2);
  }
}

Result<DecodedImage> decode_image(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  reader.setAllocationLimit(kAllocationLimitMb);
  // Asked before reading: afterwards the reader would probe a consumed device and find nothing.
  const QByteArray format = reader.format().toLower();
  const int orientation = unapplied_orientation(reader, path);
  QImage image;
  if (!reader.read(&image) || image.isNull())
    return fail(QString("cannot decode image (%1)").arg(reader.errorString()));
  return DecodedImage{apply_orientation(image, orientation), format};
}

Result<QSize> displayed_size(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  const QSize size = reader.size();
  if (!size.isValid()) {
    // Some handlers cannot tell the size without decoding; fall back to a full read.
    const auto decoded = decode_image(path);
    if (!decoded) return Failure{decoded.error()};
    return decoded->image.size();
  }
  const bool swap = transposes(reader.transformation()) ||
                    orientation_transposes(unapplied_orientation(reader, path));
  return swap ? size.transposed() : size;
}

QImage load_thumbnail(const QString& path, QSize box) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  reader.setAllocationLimit(kAllocationLimitMb);
  const QSize stored = reader.size();
  const int orientation = unapplied_orientation(reader, path);
  if (stored.isValid()) {
    const bool swap = transposes(reader.transformation()) || orientation_transposes(orientation);
    const QSize shown = swap ? stored.transposed() : stored;
    // Decoding at twice the box keeps the final smooth scaling sharp; JPEG decodes scaled
    // down natively, which makes previews of large photos quick.
    QSize fit = shown.scaled(box * 2, Qt::KeepAspectRatio);
    if (fit.width() < shown.width() && fit.height() < shown.height() && !fit.isEmpty())
      reader.setScaledSize(swap ? fit.transposed() : fit);
  }
  QImage image;
  if (!reader.read(&image) || image.isNull()) return {};
  return apply_orientation(image, orientation)
      .scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

PixelKind pixel_kind(const QImage& image) {
  switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
      return PixelKind::Indexed;
    case QImage::Format_Grayscale8:
      return PixelKind::Gray8;
    case QImage::Format_Grayscale16:
      return PixelKind::Gray16;
    case QImage::Format_BGR30:
    case QImage::Format_RGB30:
      return PixelKind::Rgb16;
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_A2RGB30_Premultiplied:
      return PixelKind::Rgba16;
    default:
      break;
  }
  const bool deep = image.depth() >= 64;
  if (image.hasAlphaChannel()) return deep ? PixelKind::Rgba16 : PixelKind::Rgba8;
  return deep ? PixelKind::Rgb16 : PixelKind::Rgb8;
}

PixelKind storable_kind(PixelKind kind, const QByteArray& format, bool palette_has_alpha) {
  const QByteArray f = format.toLower();
  const bool eight_bit_only = f == "jpeg" || f == "jpg" || f == "webp" || f == "bmp";
  if (eight_bit_only) {
    if (kind == PixelKind::Gray16) kind = PixelKind::Gray8;
    if (kind == PixelKind::Rgb16) kind = PixelKind::Rgb8;
    if (kind == PixelKind::Rgba16) kind = PixelKind::Rgba8;
  }
  if (f == "jpeg" || f == "jpg") {
    if (kind == PixelKind::Indexed || kind == PixelKind::Rgba8) return PixelKind::Rgb8;
  } else if (f == "webp") {
    if (kind == PixelKind::Indexed) return palette_has_alpha ? PixelKind::Rgba8 : PixelKind::Rgb8;
  }
  return kind;
}

cv::Mat resample_lanczos(const cv::Mat& source, cv::Size size) {
  const double fx = double(source.cols) / size.width;
  const double fy = double(source.rows) / size.height;
  cv::Mat current = source;
  if (fx >= 2.0 || fy >= 2.0) {
    // Whole-number factors take OpenCV's fast block-averaging path (several times quicker than
    // an arbitrary factor on a large photo); Lanczos then does the remaining step of under 2x.
    const int kx = fx >= 2.0 ? int(fx) : 1;
    const int ky = fy >= 2.0 ? int(fy) : 1;
    cv::resize(source, current, cv::Size(), 1.0 / kx, 1.0 / ky, cv::INTER_AREA);
  }
  cv::Mat result;
  cv::resize(current, result, size, 0, 0, cv::INTER_LANCZOS4);
  return result;
}

Result<QImage> transform_image(const QImage& source, std::optional<QSize> size, int rotation,
                               const QByteArray& format) {
  const PixelKind kind = pixel_kind(source);
  const bool palette_alpha = kind == PixelKind::Indexed && palette_has_alpha(source);
  const PixelKind target = storable_kind(kind, format, palette_alpha);
  const bool resampling = size && *size != source.size();
  if (resampling && (size->width() <= 0 || size->height() <= 0))
    return fail(QString("target size %1x%2 px is not a valid image size")
                    .arg(size->width())
                    .arg(size->height()));

  PixelKind work = target;
  if (target == PixelKind::Indexed && resampling)
    work = palette_alpha ? PixelKind::Rgba8 : PixelKind::Rgb8;

  const QImage::Format held = work_format(work, resampling);
  QImage input = source.convertToFormat(held);
  if (input.isNull()) return fail("out of memory while converting the image");
  cv::Mat mat(input.height(), input.width(), cv_type(work), input.bits(),
              static_cast<size_t>(input.bytesPerLine()));
  if (resampling) {
    mat = resample_lanczos(mat, cv::Size(size->width(), size->height()));
    if (work == PixelKind::Rgba8) clamp_colour_to_alpha<uchar>(mat);
    if (work == PixelKind::Rgba16) clamp_colour_to_alpha<ushort>(mat);
  }
  if (rotation == 90 || rotation == 180 || rotation == 270) {
    cv::Mat turned;
    const int code = rotation == 90    ? cv::ROTATE_90_CLOCKWISE
                     : rotation == 180 ? cv::ROTATE_180
                                       : cv::ROTATE_90_COUNTERCLOCKWISE;
    cv::rotate(mat, turned, code);
    mat = turned;
  }

  QImage result =
      QImage(mat.data, mat.cols, mat.rows, static_cast<qsizetype>(mat.step), held).copy();
  if (result.isNull()) return fail("out of memory while building the output image");
  if (work == PixelKind::Indexed) result.setColorTable(input.colorTable());
  // The encoders take straight alpha.
  result = result.convertToFormat(work_format(work, false));
  if (target == PixelKind::Indexed && work != PixelKind::Indexed)
    result = result.convertToFormat(QImage::Format_Indexed8, source.colorTable());
  result.setColorSpace(source.colorSpace());
  return result;
}

}  // namespace orvane::resizer
