#pragma once
// Small images made on the spot for the resizer tests, and readers for what the files record.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QString>
#include <QtEndian>
#include <optional>

namespace orvane::test {

// Random colour noise: hardly compressible, so encoded size grows steadily with quality.
inline QImage noise_image(int w, int h, quint32 seed = 7) {
  QImage image(w, h, QImage::Format_RGB32);
  QRandomGenerator rng(seed);
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < w; ++x) row[x] = 0xFF000000u | (rng.generate() & 0xFFFFFFu);
  }
  return image;
}

// Left half opaque blue, right half fully transparent but hiding pure red.
inline QImage half_transparent(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      image.setPixel(x, y, x < w / 2 ? qRgba(0, 0, 255, 255) : qRgba(255, 0, 0, 0));
  return image;
}

inline bool save(const QImage& image, const QString& path, const char* format) {
  QImageWriter writer(path, format);
  return writer.write(image);
}

inline QByteArray read_bytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QImage read_image(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  return reader.read();
}

inline QByteArray detected_format(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  return reader.format();
}

// JFIF density of a JPEG: {units, x, y}; units 1 means dots per inch.
struct JfifDensity {
  int units = -1, x = 0, y = 0;
};
inline JfifDensity jfif_density(const QByteArray& jpeg) {
  const qsizetype at = jpeg.indexOf(QByteArray("JFIF\0", 5));
  if (at < 0 || at + 12 > jpeg.size()) return {};
  const auto* p = reinterpret_cast<const uchar*>(jpeg.constData() + at);
  return {p[7], (p[8] << 8) | p[9], (p[10] << 8) | p[11]};
}

// The XResolution recorded in a WEBP file's EXIF chunk (little-endian TIFF), and its unit.
struct ExifResolution {
  double x = 0, y = 0;
  int unit = 0;
};
inline std::optional<ExifResolution> webp_exif_resolution(const QByteArray& webp) {
  if (!webp.startsWith("RIFF") || webp.mid(8, 4) != "WEBP") return std::nullopt;
  qsizetype pos = 12;
  while (pos + 8 <= webp.size()) {
    const QByteArray fourcc = webp.mid(pos, 4);
    const quint32 size = qFromLittleEndian<quint32>(webp.constData() + pos + 4);
    if (fourcc == "EXIF") {
      const QByteArray tiff = webp.mid(pos + 8, size);
      if (!tiff.startsWith("II")) return std::nullopt;
      auto u16 = [&](qsizetype at) { return qFromLittleEndian<quint16>(tiff.constData() + at); };
      auto u32 = [&](qsizetype at) { return qFromLittleEndian<quint32>(tiff.constData() + at); };
      ExifResolution r;
      const quint32 ifd = u32(4);
      for (int i = 0; i < u16(ifd); ++i) {
        const qsizetype e = ifd + 2 + 12 * i;
        const quint16 tag = u16(e);
        if (tag == 0x011A) r.x = double(u32(u32(e + 8))) / u32(u32(e + 8) + 4);
        if (tag == 0x011B) r.y = double(u32(u32(e + 8))) / u32(u32(e + 8) + 4);
        if (tag == 0x0128) r.unit = u16(e + 8);
      }
      return r;
    }
    pos += 8 + size + (size % 2);
  }
  return std::nullopt;
}

// A JPEG whose EXIF says "rotate 90° clockwise to display" (orientation 6).
inline QByteArray jpeg_with_orientation_6(const QImage& stored) {
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter(&buffer, "jpeg").write(stored);
  QByteArray tiff("MM\x00\x2A\x00\x00\x00\x08", 8);
  tiff += QByteArray("\x00\x01", 2);                          // one entry
  tiff += QByteArray("\x01\x12\x00\x03\x00\x00\x00\x01", 8);  // Orientation, SHORT, 1
  tiff += QByteArray("\x00\x06\x00\x00", 4);                  // value 6
  tiff += QByteArray("\x00\x00\x00\x00", 4);                  // no next IFD
  QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
  QByteArray segment("\xFF\xE1", 2);
  const quint16 length = quint16(app1.size() + 2);
  segment.append(char(length >> 8)).append(char(length & 0xFF)).append(app1);
  return jpeg.left(2) + segment + jpeg.mid(2);
}

// A lossy WEBP with an EXIF chunk saying "rotate 90° clockwise to display" (orientation 6).
inline QByteArray webp_with_orientation_6(const QImage& stored) {
  QByteArray simple;
  QBuffer buffer(&simple);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter(&buffer, "webp").write(stored);
  auto u32 = [](quint32 v) {
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
  };
  auto u24 = [](quint32 v) {
    const char b[3] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF)};
    return QByteArray(b, 3);
  };
  QByteArray tiff(
      "MM\x00\x2A\x00\x00\x00\x08\x00\x01\x01\x12\x00\x03\x00\x00\x00\x01\x00\x06\x00\x00"
      "\x00\x00\x00\x00",
      26);
  QByteArray body = "WEBP";
  body += "VP8X" + u32(10) + QByteArray("\x08\x00\x00\x00", 4) + u24(stored.width() - 1) +
          u24(stored.height() - 1);
  body += simple.mid(12);  // the VP8 chunk of the simple file
  body += "EXIF" + u32(tiff.size()) + tiff;
  return "RIFF" + u32(body.size()) + body;
}

}  // namespace orvane::test
