#include "dataset/health_check.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

#include "dataset/dataset_files.h"
#include "files/label_format.h"
#include "files/text_file.h"

namespace orvane::dataset {

namespace {

// The name without its extension; leading dots do not start one (the label module's rule).
QString stem_of(const QString& name) {
  const std::string text = name.toStdString();
  const std::string_view ext = files::file_extension(text);
  return QString::fromStdString(text.substr(0, text.size() - ext.size()));
}

// The images this report counts (no ".bmp").
const std::vector<std::string>& health_image_extensions() {
  static const std::vector<std::string> exts{".png", ".jpg", ".jpeg", ".webp"};
  return exts;
}

// The report's reading of label lines: unreadable numbers cost only the overlap check.
files::LabelLine parse_line(const QString& line) {
  return files::parse_label_line(line.toStdString());
}

}  // namespace

std::optional<double> box_iou(const Box& a, const Box& b) {
  const double x_a = std::max(a.x_min, b.x_min);
  const double y_a = std::max(a.y_min, b.y_min);
  const double x_b = std::min(a.x_max, b.x_max);
  const double y_b = std::min(a.y_max, b.y_max);
  if (x_b < x_a || y_b < y_a) return 0.0;
  const double inter = (x_b - x_a) * (y_b - y_a);
  const double area_a = (a.x_max - a.x_min) * (a.y_max - a.y_min);
  const double area_b = (b.x_max - b.x_min) * (b.y_max - b.y_min);
  const double union_area = area_a + area_b - inter;
  if (union_area == 0.0) return std::nullopt;
  return inter / union_area;
}

std::optional<std::vector<Box>> label_boxes(const QStringList& lines) {
  std::vector<Box> boxes;
  for (const QString& line : lines) {
    const files::LabelLine parsed = parse_line(line);
    if (parsed.token_count <= 4) continue;
    if (!parsed.numbers_ok()) return std::nullopt;
    Box box;
    for (qsizetype i = 1; i < qsizetype(parsed.token_count); ++i) {
      const double value = parsed.coords[size_t(i - 1)];
      double& lo = (i % 2 == 1) ? box.x_min : box.y_min;
      double& hi = (i % 2 == 1) ? box.x_max : box.y_max;
      if (i <= 2) {
        lo = hi = value;
      } else {
        lo = std::min(lo, value);
        hi = std::max(hi, value);
      }
    }
    boxes.push_back(box);
  }
  return boxes;
}

std::vector<long long> class_ids_beyond(const QStringList& lines, int class_count) {
  std::vector<long long> ids;
  for (const QString& line : lines) {
    const files::LabelLine parsed = parse_line(line);
    // Not an integer (or too large to be one): not a class id this check can name.
    if (!parsed.class_id) continue;
    const long long id = *parsed.class_id;
    if (id >= 0 && id < class_count) continue;
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

int count_overlapping_pairs(const std::vector<Box>& boxes) {
  int pairs = 0;
  for (size_t i = 0; i < boxes.size(); ++i) {
    for (size_t j = i + 1; j < boxes.size(); ++j) {
      const std::optional<double> iou = box_iou(boxes[i], boxes[j]);
      if (iou && *iou > 0.9) ++pairs;
    }
  }
  return pairs;
}

HealthResult check_dataset_health(const QString& folder,
                                  const std::function<void(int, int)>& progress,
                                  const std::atomic_bool* stop) {
  const QFileInfo info(folder);
  if (!info.exists()) return fail(QStringLiteral("The folder no longer exists."));
  if (!info.isDir()) return fail(QStringLiteral("The path is not a folder."));
  if (!info.isReadable() || !info.isExecutable()) return fail(QStringLiteral("Permission denied."));

  const QDir dir(folder);
  const QDir::Filters filter = QDir::Files | QDir::Hidden | QDir::System;
  static const std::vector<std::string> text_extension{".txt"};
  QStringList images;
  QStringList labels;
  for (const QString& name : dir.entryList(filter, QDir::Unsorted)) {
    const std::string text = name.toStdString();
    // "..png" and "..txt" have no extension: neither an image nor a label.
    if (files::has_extension_in(text, health_image_extensions())) {
      images << name;
    } else if (files::has_extension_in(text, text_extension) &&
               name != QLatin1String("classes.txt")) {
      labels << name;
    }
  }

  HealthReport report;
  const QSet<QString> label_set(labels.begin(), labels.end());
  for (const QString& image : images) {
    if (!label_set.contains(stem_of(image) + ".txt")) report.unannotated << image;
  }
  // In code-unit order every name starting with a stem sorts right at or after the stem, so one
  // binary search per label answers "does any image name start with it".
  QStringList sorted_images = images;
  std::sort(sorted_images.begin(), sorted_images.end());
  for (const QString& label : labels) {
    const QString stem = stem_of(label);
    const auto it = std::lower_bound(sorted_images.begin(), sorted_images.end(), stem);
    if (it == sorted_images.end() || !it->startsWith(stem)) report.orphaned << label;
  }
  const QString classes_path = dir.filePath(QStringLiteral("classes.txt"));
  // An unreadable classes.txt gives no count, and no ids are then reported beyond it.
  if (QFileInfo::exists(classes_path)) {
    if (const Result<QByteArray> classes_text = read_whole_file(classes_path))
      report.class_count = int(files::parse_class_names(classes_text->toStdString()).size());
  }
  report.labels_total = int(labels.size());
  for (const QString& label : labels) {
    if (stop && stop->load()) {
      report.cancelled = true;
      break;
    }
    if (progress) progress(report.labels_checked, report.labels_total);
    ++report.labels_checked;
    // An unreadable file or a non-numeric coordinate only costs this file's overlap check.
    const Result<QStringList> lines = read_text_lines(dir.filePath(label));
    if (!lines) continue;
    if (report.class_count >= 0) {
      const std::vector<long long> ids = class_ids_beyond(*lines, report.class_count);
      if (!ids.empty()) {
        QStringList id_texts;
        for (long long id : ids) id_texts << QString::number(id);
        report.unknown_classes << label + (ids.size() == 1 ? " (class " : " (classes ") +
                                      id_texts.join(QStringLiteral(", ")) + ")";
      }
    }
    const std::optional<std::vector<Box>> boxes = label_boxes(*lines);
    if (!boxes) continue;
    const int pairs = count_overlapping_pairs(*boxes);
    for (int k = 0; k < pairs; ++k) report.overlaps << label + " (IoU > 90%)";
  }
  return report;
}

QString format_name_list(const QStringList& names) {
  QStringList quoted;
  for (const QString& name : names) {
    const bool use_double = name.contains(QLatin1Char('\'')) && !name.contains(QLatin1Char('"'));
    const QChar quote = use_double ? QLatin1Char('"') : QLatin1Char('\'');
    quoted << quote + name + quote;
  }
  return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QString format_health_report(const HealthReport& report) {
  QString text = QStringLiteral(
                     "🩺 Dataset QA Health Report:\n\nUnannotated Images: %1\nOrphaned Label "
                     "Files: %2\nOverlapping Polygons/Boxes (Duplicates): %3\n")
                     .arg(report.unannotated.size())
                     .arg(report.orphaned.size())
                     .arg(report.overlaps.size());
  if (!report.unknown_classes.isEmpty())
    text += QStringLiteral("Class IDs Beyond classes.txt (%1 %2): %3\n")
                .arg(report.class_count)
                .arg(report.class_count == 1 ? "class" : "classes")
                .arg(report.unknown_classes.size());
  if (!report.unannotated.isEmpty())
    text +=
        "\nMissing Annotations (Sample):\n" + format_name_list(report.unannotated.mid(0, 3)) + "\n";
  if (!report.overlaps.isEmpty()) {
    QStringList distinct = report.overlaps;
    distinct.removeDuplicates();  // keeps first occurrences, in order
    text += "\nHigh IoU Overlaps:\n" + format_name_list(distinct.mid(0, 3));
  }
  if (!report.unknown_classes.isEmpty()) {
    text += text.endsWith(QLatin1Char('\n')) ? "\n" : "\n\n";
    text += "Class IDs Beyond classes.txt (Sample):\n" +
            format_name_list(report.unknown_classes.mid(0, 3));
  }
  return text;
}

}  // namespace orvane::dataset
