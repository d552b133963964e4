#pragma once
// The resizer's arithmetic: reading the texts the operator typed, turning physical sizes into
// pixels, the output size of an image, output names and the preview's figures. Pure functions.

#include <QMap>
#include <QSize>
#include <QString>
#include <QtGlobal>
#include <optional>

#include "files/result.h"

namespace orvane::resizer {

inline constexpr double kDefaultDpi = 300.0;

// Inches per unit for "in", "cm", "mm" and "pt". "px" is absent: pixels are taken as they are.
const QMap<QString, double>& unit_to_inches();
// "px" followed by the physical units, in the order the unit box lists them.
const QStringList& unit_names();

// A real number as typed: surrounding white space allowed; empty or white space alone is not a
// number. Accepts what C's strtod accepts in the C locale ("1e3", "inf").
std::optional<double> parse_real(const QString& text);

// Nearest integer, halves to even (2.5 -> 2, 3.5 -> 4). Fails for NaN, infinities and values
// beyond the 64-bit range.
Result<qint64> round_half_even(double value);

// The DPI field: empty means 300; otherwise a real number (any value, checked by the batch).
Result<double> parse_dpi(const QString& text);

// A width or height text in `unit` at `dpi`, in pixels: nullopt when the text is empty or the
// result is 0 (the dimension is then left to the other rules). Fails when the text is not a
// number or the value cannot be rounded.
Result<std::optional<qint64>> to_px(const QString& text, const QString& unit, double dpi);

// Everything that decides an output's pixel size.
struct SizeSettings {
  bool resize_on = true;
  QString width_text;  // as typed; trimmed when read
  QString height_text;
  QString unit = "px";
  bool lock_aspect = true;
  int rotation = 0;  // clockwise degrees: 0, 90, 180 or 270
};

// Sizes may be negative or huge when the operator typed such values; the preview prints them and
// the batch refuses them.
struct PixelSize {
  qint64 width = 0;
  qint64 height = 0;
  bool operator==(const PixelSize&) const = default;
};

// Output size of a `source` image (as it displays). With `swap_for_rotation`, a rotation of 90 or
// 270 swaps the result (the prediction); the batch rotates the resized pixels instead.
Result<PixelSize> target_size(QSize source, const SizeSettings& settings, double dpi,
                              bool swap_for_rotation);

// "90°" -> 90. Fails for anything but 0, 90, 180, 270.
Result<int> parse_rotation(const QString& text);

enum class FormatChoice { MatchOriginal, Jpeg, Png, Webp };
// "Match Original", "JPEG", "PNG", "WEBP" (the box's texts) or "match", "jpeg", "png", "webp".
std::optional<FormatChoice> parse_format_choice(const QString& text);

// Splits a file name at its last dot; a leading dot belongs to the stem (".env" has no suffix).
// The suffix keeps its dot: "photo.PNG" -> {"photo", ".PNG"}.
std::pair<QString, QString> split_extension(const QString& file_name);

// "photo.PNG" -> "photo_scaled.PNG" under Match Original, "photo_scaled.jpeg" under JPEG.
QString output_file_name(const QString& source_path, FormatChoice choice);

// File size in KB with one decimal, shortest form: 1023 -> "1.0", 123456 -> "120.6".
QString format_kb(qint64 bytes);

// "Predicted Output: 1181x886 px | 300 DPI | Orig: 245.3 KB".
QString preview_details(PixelSize size, double dpi, qint64 file_bytes);

}  // namespace orvane::resizer
