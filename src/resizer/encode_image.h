#pragma once
// Encoding in memory with the resolution recorded in the file, the quality search that fits a
// size budget, and the one atomic write of the result.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

#include "files/result.h"
#include "resizer/resize_settings.h"

namespace orvane::resizer {

// Qualities used when no size budget is set: high, because people resize for print.
inline constexpr int kDefaultJpegQuality = 95;
inline constexpr int kDefaultWebpQuality = 95;
// The quality search's range.
inline constexpr int kMinBudgetQuality = 5;
inline constexpr int kMaxBudgetQuality = 95;

// Quality changes the size of these formats only ("jpeg", "webp").
bool quality_changes_size(const QByteArray& format);

// The format an output is encoded in: under Match Original the decoded format when we can write
// it, else JPEG; otherwise the chosen one. Lower case, as Qt names formats.
QByteArray output_format_for(FormatChoice choice, const QByteArray& detected_format);

// Encodes `image` in `format` with the resolution `dpi` × `dpi` recorded (JPEG: JFIF density;
// PNG: pHYs; WEBP: an EXIF resolution; BMP: pixels per metre). `quality` applies to JPEG and WEBP
// only; nullopt takes the defaults above.
Result<QByteArray> encode_image(const QImage& image, const QByteArray& format, double dpi,
                                std::optional<int> quality = std::nullopt);

struct BudgetEncoding {
  QByteArray bytes;
  int quality = kMinBudgetQuality;  // the quality of `bytes` (meaningful for JPEG and WEBP)
  bool fits = false;                // bytes.size() <= budget
  int attempts = 0;                 // encodings made
};

// Binary search over qualities 5..95 for the highest whose encoding fits `budget_kb` × 1024 bytes
// (at most 7 encodings, starting with 50); quality 5 when none fits. Formats whose size does not
// depend on quality are encoded once.
Result<BudgetEncoding> encode_within_budget(const QImage& image, const QByteArray& format,
                                            double dpi, double budget_kb);

// Adds an EXIF block recording `dpi` to a WEBP file (turning a simple file into the extended
// layout when needed). `canvas` is the image size. Returns the input unchanged if it is not WEBP.
QByteArray webp_with_resolution(const QByteArray& webp, QSize canvas, double dpi);

// A 32-bit BMP with alpha (BITMAPV5HEADER, bit fields), which Qt's writer cannot make.
QByteArray encode_bmp_with_alpha(const QImage& image, double dpi);

}  // namespace orvane::resizer
