#include "dataset/dataset_split.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <cmath>
#include <random>

#include "files/label_format.h"
#include "imaging/image_files.h"

namespace orvane::dataset {

namespace {

// The label module's rounding (ties to even), without its clamping: a box is reported as the
// polygon's numbers give it.
QString fixed6(double value) { return QString::fromStdString(files::format_six_decimals(value)); }

// Characters a YAML scalar may only carry escaped (C0 and C1 controls, DEL, the byte order mark,
// Unicode line and paragraph separators, non-characters).
bool needs_escape(char16_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0xFEFF || c == 0x2028 ||
         c == 0x2029 || c == 0xFFFE || c == 0xFFFF;
}

QString double_quoted(const QString& value) {
  QString out = QStringLiteral("\"");
  for (const QChar ch : value) {
    const char16_t c = ch.unicode();
    switch (c) {
      case u'\\':
        out += QStringLiteral("\\\\");
        continue;
      case u'"':
        out += QStringLiteral("\\\"");
        continue;
      case 0x00:
        out += QStringLiteral("\\0");
        continue;
      case u'\t':
        out += QStringLiteral("\\t");
        continue;
      case u'\n':
        out += QStringLiteral("\\n");
        continue;
      case u'\r':
        out += QStringLiteral("\\r");
        continue;
      default:
        break;
    }
    if (needs_escape(c))
      out += c < 0x100 ? QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'))
                       : QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
    else
      out += ch;
  }
  return out + QLatin1Char('"');
}

// True when `value` written plain reads back as this same string in YAML 1.1 and 1.2 parsers:
// not empty, no surrounding spaces, no indicator at the start, no "# , [ ] { } ' \"" anywhere, no
// ':' before a space or at the end, and nothing a parser resolves to null, a boolean or a number.
bool safe_as_plain(const QString& value) {
  if (value.isEmpty()) return false;
  if (value.front().isSpace() || value.back().isSpace()) return false;
  static const QString leading_indicators = QStringLiteral("-?:,[]{}#&*!|>'\"%@`~<=");
  if (leading_indicators.contains(value.front())) return false;
  if (value.startsWith(QLatin1String("..."))) return false;  // a document end marker
  // ':' only separates a key when a space or the end follows ("D:/sets" stays plain).
  static const QRegularExpression anywhere(QStringLiteral("[#,\\[\\]{}'\"]|:(\\s|$)"));
  if (anywhere.match(value).hasMatch()) return false;
  static const QRegularExpression reserved(QStringLiteral("^(null|true|false|yes|no|on|off|y|n)$"),
                                           QRegularExpression::CaseInsensitiveOption);
  if (reserved.match(value).hasMatch()) return false;
  // Anything that starts like a number (ints, floats, hex, octal, dates, 1:20 sexagesimals).
  static const QRegularExpression numeric(QStringLiteral("^[-+]?(\\.?[0-9]|\\.(inf|nan)$)"),
                                          QRegularExpression::CaseInsensitiveOption);
  return !numeric.match(value).hasMatch();
}

}  // namespace

SplitSizes split_sizes(int n, double train_ratio, double val_ratio) {
  SplitSizes sizes;
  sizes.train = static_cast<int>(std::trunc(n * train_ratio));
  sizes.val = static_cast<int>(std::trunc(n * val_ratio));
  sizes.test = n - sizes.train - sizes.val;
  return sizes;
}

std::vector<LabeledImage> annotated_pairs(const QStringList& image_paths) {
  std::vector<LabeledImage> pairs;
  for (const QString& image : image_paths) {
    QString label = label_path_for(image);
    if (QFileInfo::exists(label)) pairs.push_back({image, std::move(label)});
  }
  return pairs;
}

void shuffle_pairs(std::vector<LabeledImage>& pairs, std::optional<std::uint64_t> seed) {
  std::mt19937_64 engine(
      seed ? *seed : (std::uint64_t(std::random_device{}()) << 32) ^ std::random_device{}());
  // Our own unbiased draw (rejection sampling) rather than std::uniform_int_distribution, whose
  // output differs between standard libraries: a seed must give one split everywhere.
  const auto below = [&engine](std::uint64_t bound) {
    const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() -
                                std::numeric_limits<std::uint64_t>::max() % bound;
    std::uint64_t draw;
    do draw = engine();
    while (draw >= limit);
    return draw % bound;
  };
  for (size_t i = pairs.size(); i > 1; --i) std::swap(pairs[i - 1], pairs[below(i)]);
}

Result<std::optional<QString>> polygon_line_to_box(const QString& line) {
  const std::string text = line.toStdString();
  const files::LabelLine parsed = files::parse_label_line(text);
  if (parsed.token_count < 3) return std::optional<QString>();
  if (!parsed.numbers_ok()) {
    return fail(
        QStringLiteral("'%1' is not a number")
            .arg(QString::fromUtf8(parsed.bad_token.data(), qsizetype(parsed.bad_token.size()))));
  }
  double x_min = 0, x_max = 0, y_min = 0, y_max = 0;
  for (qsizetype i = 1; i < qsizetype(parsed.token_count); ++i) {
    const double value = parsed.coords[size_t(i - 1)];
    const bool is_x = (i % 2 == 1);
    double& lo = is_x ? x_min : y_min;
    double& hi = is_x ? x_max : y_max;
    if (i <= 2) {
      lo = hi = value;
    } else {
      lo = std::min(lo, value);
      hi = std::max(hi, value);
    }
  }
  return std::optional<QString>(
      QString::fromUtf8(parsed.class_token.data(), qsizetype(parsed.class_token.size())) +
      QLatin1Char(' ') + fixed6((x_min + x_max) / 2) + QLatin1Char(' ') +
      fixed6((y_min + y_max) / 2) + QLatin1Char(' ') + fixed6(x_max - x_min) + QLatin1Char(' ') +
      fixed6(y_max - y_min));
}

Result<QStringList> detection_label_lines(const QStringList& lines) {
  QStringList out;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const Result<std::optional<QString>> box = polygon_line_to_box(lines[i]);
    if (!box) return fail(QStringLiteral("line %1: %2").arg(i + 1).arg(box.error()));
    if (*box) out << **box;
  }
  return out;
}

QString yaml_scalar(const QString& value) {
  if (std::any_of(value.begin(), value.end(), [](QChar c) { return needs_escape(c.unicode()); }))
    return double_quoted(value);
  if (safe_as_plain(value)) return value;
  QString quoted = value;
  quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
  return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString data_yaml_text(const QString& absolute_output_dir, const QStringList& classes) {
  QString path = absolute_output_dir;
  path.replace(QLatin1Char('\\'), QLatin1Char('/'));
  QString text =
      QStringLiteral("path: ") + yaml_scalar(path) +
      QStringLiteral("\ntrain: train/images\nval: val/images\ntest: test/images\n\nnames:\n");
  for (qsizetype id = 0; id < classes.size(); ++id)
    text += QStringLiteral("  ") + QString::number(id) + QStringLiteral(": ") +
            yaml_scalar(classes[id]) + QLatin1Char('\n');
  return text;
}

ExportResult export_split(const std::vector<LabeledImage>& pairs, const QStringList& classes,
                          const ExportRequest& request,
                          const std::function<void(int, int)>& progress,
                          const std::atomic_bool* stop) {
  ExportResult result;
  const int n = static_cast<int>(pairs.size());
  result.sizes = split_sizes(n, request.train_ratio, request.val_ratio);
  const QDir out(request.output_dir);
  const struct {
    const char* name;
    int begin, end;
  } splits[] = {
      {"train", 0, result.sizes.train},
      {"val", result.sizes.train, result.sizes.train + result.sizes.val},
      {"test", result.sizes.train + result.sizes.val, n},
  };

  for (const auto& split : splits) {
    const QString images_dir = out.filePath(QStringLiteral("%1/images").arg(split.name));
    const QString labels_dir = out.filePath(QStringLiteral("%1/labels").arg(split.name));
    for (const QString& dir : {images_dir, labels_dir}) {
      if (!QDir().mkpath(dir)) {
        result.status = fail(QStringLiteral("Could not create the folder %1").arg(dir));
        return result;
      }
    }
    for (int i = split.begin; i < split.end; ++i) {
      if (stop && stop->load()) {
        result.cancelled = true;
        return result;
      }
      if (progress) progress(result.copied, n);
      ++result.copied;  // counted as begun: a failure below names it
      const LabeledImage& pair = pairs[i];
      const QString image_dest = QDir(images_dir).filePath(QFileInfo(pair.image).fileName());
      result.status = copy_file_preserving(pair.image, image_dest);
      if (!result.status.ok()) return result;

      // A label deleted since the pairs were listed leaves its image without one.
      if (!QFileInfo::exists(pair.label)) continue;
      const QString label_dest = QDir(labels_dir).filePath(QFileInfo(pair.label).fileName());
      if (request.format == LabelFormat::Segmentation) {
        result.status = copy_file_preserving(pair.label, label_dest);
        if (!result.status.ok()) return result;
        continue;
      }
      // Writing boxes over the polygons they came from would destroy the operator's annotations.
      if (same_file(pair.label, label_dest)) {
        result.status =
            fail(QStringLiteral("Could not write %1: it is the source label file itself")
                     .arg(label_dest));
        return result;
      }
      const Result<QStringList> lines = read_text_lines(pair.label);
      if (!lines) {
        result.status = fail(lines.error());
        return result;
      }
      const Result<QStringList> boxes = detection_label_lines(*lines);
      if (!boxes) {
        result.status =
            fail(QStringLiteral("Could not convert %1, %2").arg(pair.label, boxes.error()));
        return result;
      }
      result.status = write_lines_atomic(label_dest, *boxes);
      if (!result.status.ok()) return result;
    }
  }
  // The manifest last, and synced to disk (QSaveFile): its presence marks a complete export.
  QByteArray yaml = data_yaml_text(out.absolutePath(), classes).toUtf8();
  yaml.replace("\n", native_line_end().toByteArray());
  result.status = write_file_atomic(out.filePath(QStringLiteral("data.yaml")), yaml);
  return result;
}

}  // namespace orvane::dataset
