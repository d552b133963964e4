#include "resizer/encode_image.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <map>

namespace orvane::resizer {

namespace {

int dots_per_metre(double dpi) {
  const double dpm = std::round(dpi / 0.0254);
  return int(std::clamp(dpm, 1.0, 2147483647.0));
}

void put_u16(QByteArray& out, quint16 v) {
  char b[2];
  qToLittleEndian(v, b);
  out.append(b, 2);
}

void put_u32(QByteArray& out, quint32 v) {
  char b[4];
  qToLittleEndian(v, b);
  out.append(b, 4);
}

void put_u24(QByteArray& out, quint32 v) {
  out.append(char(v & 0xFF));
  out.append(char((v >> 8) & 0xFF));
  out.append(char((v >> 16) & 0xFF));
}

// A minimal little-endian TIFF block: XResolution, YResolution, ResolutionUnit = inches.
QByteArray exif_resolution_block(double dpi) {
  dpi = std::clamp(dpi, 0.0, 400000.0);
  quint32 num = quint32(std::lround(dpi));
  quint32 den = 1;
  if (std::fabs(dpi - std::round(dpi)) > 1e-9) {
    num = quint32(std::lround(dpi * 10000.0));
    den = 10000;
  }
  QByteArray tiff("II\x2A\x00", 4);
  put_u32(tiff, 8);  // offset of the first directory
  put_u16(tiff, 3);  // entries, sorted by tag
  const quint32 rationals = 8 + 2 + 3 * 12 + 4;
  put_u16(tiff, 0x011A), put_u16(tiff, 5), put_u32(tiff, 1), put_u32(tiff, rationals);
  put_u16(tiff, 0x011B), put_u16(tiff, 5), put_u32(tiff, 1), put_u32(tiff, rationals + 8);
  put_u16(tiff, 0x0128), put_u16(tiff, 3), put_u32(tiff, 1), put_u32(tiff, 2);
  put_u32(tiff, 0);  // no next directory
  put_u32(tiff, num), put_u32(tiff, den);
  put_u32(tiff, num), put_u32(tiff, den);
  return tiff;
}

void append_chunk(QByteArray& out, const QByteArray& fourcc, const QByteArray& payload) {
  out.append(fourcc);
  put_u32(out, quint32(payload.size()));
  out.append(payload);
  if (payload.size() % 2) out.append('\0');
}

}  // namespace

bool quality_changes_size(const QByteArray& format) {
  const QByteArray f = format.toLower();
  return f == "jpeg" || f == "jpg" || f == "webp";
}

QByteArray output_format_for(FormatChoice choice, const QByteArray& detected_format) {
  switch (choice) {
    case FormatChoice::Jpeg:
      return "jpeg";
    case FormatChoice::Png:
      return "png";
    case FormatChoice::Webp:
      return "webp";
    case FormatChoice::MatchOriginal:
      break;
  }
  const QByteArray detected = detected_format.toLower();
  if (detected == "jpg") return "jpeg";
  if (!detected.isEmpty() && QImageWriter::supportedImageFormats().contains(detected))
    return detected;
  return "jpeg";
}

Result<QByteArray> encode_image(const QImage& image, const QByteArray& format, double dpi,
                                std::optional<int> quality) {
  const QByteArray f = format.toLower() == "jpg" ? QByteArray("jpeg") : format.toLower();
  QImage tagged = image;  // shares the pixels; only the resolution differs
  tagged.setDotsPerMeterX(dots_per_metre(dpi));
  tagged.setDotsPerMeterY(dots_per_metre(dpi));
  if (f == "bmp" && tagged.hasAlphaChannel()) return encode_bmp_with_alpha(tagged, dpi);

  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, f);
  if (f == "jpeg") {
    writer.setQuality(quality.value_or(kDefaultJpegQuality));
    writer.setOptimizedWrite(true);  // optimal Huffman tables: a few percent smaller, same pixels
  } else if (f == "webp") {
    writer.setQuality(quality.value_or(kDefaultWebpQuality));
  }
  if (!writer.write(tagged))
    return fail(QString("cannot encode as %1 (%2)")
                    .arg(QString::fromLatin1(f.toUpper()), writer.errorString()));
  if (f == "webp") bytes = webp_with_resolution(bytes, tagged.size(), dpi);
  return bytes;
}

Result<BudgetEncoding> encode_within_budget(const QImage& image, const QByteArray& format,
                                            double dpi, double budget_kb) {
  const double budget_bytes = budget_kb * 1024.0;
  BudgetEncoding result;
  if (!quality_changes_size(format)) {
    auto bytes = encode_image(image, format, dpi);
    if (!bytes) return Failure{bytes.error()};
    result.bytes = *bytes;
    result.attempts = 1;
    result.fits = double(result.bytes.size()) <= budget_bytes;
    return result;
  }
  // Every encoding is kept, so the winner is written as it was measured, never encoded twice.
  std::map<int, QByteArray> tried;
  int low = kMinBudgetQuality, high = kMaxBudgetQuality, best = kMinBudgetQuality;
  bool any_fit = false;
  while (low <= high) {
    const int mid = (low + high) / 2;
    auto bytes = encode_image(image, format, dpi, mid);
    if (!bytes) return Failure{bytes.error()};
    ++result.attempts;
    const bool fits = double(bytes->size()) <= budget_bytes;
    tried[mid] = *bytes;
    if (fits) {
      best = mid;
      any_fit = true;
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  auto it = tried.find(best);
  if (it == tried.end()) {
    auto bytes = encode_image(image, format, dpi, best);
    if (!bytes) return Failure{bytes.error()};
    ++result.attempts;
    it = tried.emplace(best, *bytes).first;
  }
  result.bytes = it->second;
  result.quality = best;
  result.fits = any_fit;
  return result;
}

QByteArray webp_with_resolution(const QByteArray& webp, QSize canvas, double dpi) {
  if (webp.size() < 20 || !webp.startsWith("RIFF") || webp.mid(8, 4) != "WEBP") return webp;
  struct Chunk {
    QByteArray fourcc;
    QByteArray payload;
  };
  std::vector<Chunk> chunks;
  qsizetype pos = 12;
  while (pos + 8 <= webp.size()) {
    const quint32 size = qFromLittleEndian<quint32>(webp.constData() + pos + 4);
    if (pos + 8 + qsizetype(size) > webp.size()) return webp;  // malformed: leave it alone
    chunks.push_back({webp.mid(pos, 4), webp.mid(pos + 8, size)});
    pos += 8 + size + (size % 2);
  }
  if (chunks.empty()) return webp;

  QByteArray body;
  if (chunks.front().fourcc == "VP8X") {
    QByteArray header = chunks.front().payload;
    if (header.isEmpty()) return webp;
    header[0] = char(header[0] | 0x08);  // EXIF present
    append_chunk(body, "VP8X", header);
    for (size_t i = 1; i < chunks.size(); ++i)
      if (chunks[i].fourcc != "EXIF") append_chunk(body, chunks[i].fourcc, chunks[i].payload);
  } else {
    // A simple file holds one VP8 or VP8L chunk; the extended header must repeat whether the
    // lossless bitstream carries alpha (bit 28 of its header).
    quint8 flags = 0x08;
    const Chunk& image_chunk = chunks.front();
    if (image_chunk.fourcc == "VP8L" && image_chunk.payload.size() >= 5) {
      const quint32 bits = qFromLittleEndian<quint32>(image_chunk.payload.constData() + 1);
      if (bits & (1u << 28)) flags |= 0x10;
    }
    QByteArray header;
    header.append(char(flags));
    header.append(3, '\0');
    put_u24(header, quint32(canvas.width() - 1));
    put_u24(header, quint32(canvas.height() - 1));
    append_chunk(body, "VP8X", header);
    for (const Chunk& chunk : chunks) append_chunk(body, chunk.fourcc, chunk.payload);
  }
  append_chunk(body, "EXIF", exif_resolution_block(dpi));

  QByteArray out("RIFF");
  put_u32(out, quint32(body.size() + 4));
  out.append("WEBP");
  out.append(body);
  return out;
}

QByteArray encode_bmp_with_alpha(const QImage& image, double dpi) {
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);  // straight alpha
  const quint32 w = quint32(argb.width()), h = quint32(argb.height());
  const quint32 header_size = 14 + 124;
  const quint32 pixel_bytes = w * h * 4;
  const quint32 dpm = quint32(dots_per_metre(dpi));
  QByteArray out;
  out.reserve(qsizetype(header_size + pixel_bytes));
  out.append("BM");
  put_u32(out, header_size + pixel_bytes);
  put_u32(out, 0);
  put_u32(out, header_size);
  put_u32(out, 124);  // BITMAPV5HEADER
  put_u32(out, w);
  put_u32(out, h);  // positive: rows bottom-up
  put_u16(out, 1);
  put_u16(out, 32);
  put_u32(out, 3);  // BI_BITFIELDS
  put_u32(out, pixel_bytes);
  put_u32(out, dpm);
  put_u32(out, dpm);
  put_u32(out, 0);
  put_u32(out, 0);
  put_u32(out, 0x00FF0000), put_u32(out, 0x0000FF00), put_u32(out, 0x000000FF);
  put_u32(out, 0xFF000000);
  put_u32(out, 0x73524742);                           // 'sRGB'
  out.append(36, '\0');                               // end points, unused for sRGB
  put_u32(out, 0), put_u32(out, 0), put_u32(out, 0);  // gamma, unused
  put_u32(out, 4);                                    // LCS_GM_IMAGES
  put_u32(out, 0), put_u32(out, 0), put_u32(out, 0);  // no profile, reserved
  for (int y = int(h) - 1; y >= 0; --y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    out.append(reinterpret_cast<const char*>(row), qsizetype(w) * 4);  // already B G R A
#else
    for (quint32 x = 0; x < w; ++x) put_u32(out, row[x]);  // 0xAARRGGBB -> B G R A
#endif
  }
  return out;
}

}  // namespace orvane::resizer
