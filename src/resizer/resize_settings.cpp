#include "resizer/resize_settings.h"

#include <QFileInfo>
#include <QStringList>
#include <cmath>
#include <cstdio>

namespace orvane::resizer {

const QMap<QString, double>& unit_to_inches() {
  static const QMap<QString, double> table{
      {"in", 1.0}, {"cm", 1.0 / 2.54}, {"mm", 1.0 / 25.4}, {"pt", 1.0 / 72.0}};
  return table;
}

const QStringList& unit_names() {
  static const QStringList names{"px", "cm", "mm", "in", "pt"};
  return names;
}

std::optional<double> parse_real(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return std::nullopt;
  bool ok = false;
  const double value = trimmed.toDouble(&ok);
  if (!ok) return std::nullopt;
  return value;
}

Result<qint64> round_half_even(double value) {
  if (std::isnan(value)) return fail("cannot round NaN to a whole number");
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (!(std::fabs(value) < 9223372036854775808.0))
    return fail(QString("%1 is too large to round to a whole number").arg(value));
  // Halves are decided explicitly rather than through the floating-point rounding mode, which
  // a library could have changed.
  const double floor = std::floor(value);
  const double diff = value - floor;
  double rounded;
  if (diff > 0.5) {
    rounded = floor + 1.0;
  } else if (diff < 0.5) {
    rounded = floor;
  } else {
    rounded = std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
  }
  if (!(std::fabs(rounded) < 9223372036854775808.0))
    return fail(QString("%1 is too large to round to a whole number").arg(value));
  return static_cast<qint64>(rounded);
}

Result<double> parse_dpi(const QString& text) {
  if (text.isEmpty()) return kDefaultDpi;
  const auto value = parse_real(text);
  if (!value) return fail(QString("DPI '%1' is not a number").arg(text));
  return *value;
}

Result<std::optional<qint64>> to_px(const QString& text, const QString& unit, double dpi) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return std::optional<qint64>{};
  const auto value = parse_real(trimmed);
  if (!value) return fail(QString("'%1' is not a number").arg(trimmed));
  double pixels = *value;
  if (unit != "px") {
    const auto it = unit_to_inches().constFind(unit);
    if (it == unit_to_inches().constEnd()) return fail(QString("unknown unit '%1'").arg(unit));
    pixels = *value * it.value() * dpi;  // this order, so results match to the last bit
  }
  const auto rounded = round_half_even(pixels);
  if (!rounded) return Failure{rounded.error()};
  if (*rounded == 0) return std::optional<qint64>{};
  return std::optional<qint64>{*rounded};
}

Result<PixelSize> target_size(QSize source, const SizeSettings& settings, double dpi,
                              bool swap_for_rotation) {
  PixelSize size{source.width(), source.height()};
  if (settings.resize_on) {
    const auto tw_result = to_px(settings.width_text, settings.unit, dpi);
    if (!tw_result) return Failure{tw_result.error()};
    const auto th_result = to_px(settings.height_text, settings.unit, dpi);
    if (!th_result) return Failure{th_result.error()};
    std::optional<qint64> tw = *tw_result;
    std::optional<qint64> th = *th_result;
    if (settings.lock_aspect && source.height() > 0) {
      const double ratio = double(source.width()) / double(source.height());
      if (tw && !th) {
        const auto h = round_half_even(double(*tw) / ratio);
        if (!h) return Failure{h.error()};
        th = *h;
      } else if (th && !tw) {
        const auto w = round_half_even(double(*th) * ratio);
        if (!w) return Failure{w.error()};
        tw = *w;
      }
    }
    if (tw) size.width = *tw;
    if (th) size.height = *th;
  }
  if (swap_for_rotation && (settings.rotation == 90 || settings.rotation == 270))
    std::swap(size.width, size.height);
  return size;
}

Result<int> parse_rotation(const QString& text) {
  QString digits = text;
  digits.remove(QChar(0x00B0));  // the degree sign
  bool ok = false;
  const int degrees = digits.trimmed().toInt(&ok);
  if (!ok || (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270))
    return fail(QString("rotation '%1' is not one of 0, 90, 180, 270").arg(text));
  return degrees;
}

std::optional<FormatChoice> parse_format_choice(const QString& text) {
  const QString key = text.trimmed().toLower();
  if (key == "match original" || key == "match") return FormatChoice::MatchOriginal;
  if (key == "jpeg" || key == "jpg") return FormatChoice::Jpeg;
  if (key == "png") return FormatChoice::Png;
  if (key == "webp") return FormatChoice::Webp;
  return std::nullopt;
}

std::pair<QString, QString> split_extension(const QString& file_name) {
  qsizetype first = 0;
  while (first < file_name.size() && file_name[first] == '.') ++first;
  const qsizetype dot = file_name.lastIndexOf('.');
  if (dot < first) return {file_name, QString()};
  return {file_name.left(dot), file_name.mid(dot)};
}

QString output_file_name(const QString& source_path, FormatChoice choice) {
  const auto [stem, extension] = split_extension(QFileInfo(source_path).fileName());
  switch (choice) {
    case FormatChoice::MatchOriginal:
      return stem + "_scaled" + extension;
    case FormatChoice::Jpeg:
      return stem + "_scaled.jpeg";
    case FormatChoice::Png:
      return stem + "_scaled.png";
    case FormatChoice::Webp:
      return stem + "_scaled.webp";
  }
  return stem + "_scaled" + extension;
}

QString format_kb(qint64 bytes) {
  // bytes / 1024 is exact in binary, so ×10 and rounding halves to even gives the decimal
  // rounding a person expects; then the shortest text that reads back as that number.
  const auto tenths = round_half_even(double(bytes) / 1024.0 * 10.0);
  const double kb = double(tenths.ok() ? *tenths : 0) / 10.0;
  QString text = QString::number(kb, 'f', QLocale::FloatingPointShortest);
  if (!text.contains('.') && !text.contains("inf") && !text.contains("nan")) text += ".0";
  return text;
}

QString preview_details(PixelSize size, double dpi, qint64 file_bytes) {
  // The C library's %.0f rounds the exact binary value with halves to even (72.5 -> "72");
  // Qt's own formatting would round halves up.
  char dpi_text[64];
  std::snprintf(dpi_text, sizeof dpi_text, "%.0f", dpi);
  return QString("Predicted Output: %1x%2 px | %3 DPI | Orig: %4 KB")
      .arg(size.width)
      .arg(size.height)
      .arg(QString::fromLatin1(dpi_text))
      .arg(format_kb(file_bytes));
}

}  // namespace orvane::resizer
