// YOLO folders in and out.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <set>

#include "files/label_format.h"
#include "interchange/folder_paths.h"
#include "interchange/formats.h"

namespace orvane::interchange {

namespace {

// Where an image's label file is: under the matching labels/ folder of a split dataset
// ("images/train/a.jpg" -> "labels/train/a.txt"), else beside the image.
QString find_label_file(const QString& root, const QString& relative) {
  QStringList parts = relative.split(QLatin1Char('/'));
  for (qsizetype i = parts.size() - 2; i >= 0; --i) {
    if (parts[i] != QLatin1String("images")) continue;
    parts[i] = QStringLiteral("labels");
    const QString candidate = QDir(root).filePath(with_suffix(parts.join('/'), ".txt"));
    if (QFileInfo::exists(candidate)) return candidate;
    break;
  }
  return QDir(root).filePath(with_suffix(relative, ".txt"));
}

// The image's place in a converted folder: without the last "images" folder of its path.
QString output_path_of(const QString& relative) {
  QStringList parts = relative.split(QLatin1Char('/'));
  for (qsizetype i = parts.size() - 2; i >= 0; --i) {
    if (parts[i] == QLatin1String("images")) {
      parts.removeAt(i);
      break;
    }
  }
  return parts.join('/');
}

void read_labels(const QString& label_path, const QString& shown, Image& image,
                 const QStringList& classes, Report& report) {
  const Result<QByteArray> text = read_bounded(label_path, qint64(256) << 20);
  if (!text) {
    report.lose("unreadable files", text.error());
    return;
  }
  const std::string content = text->toStdString();
  int line_number = 0;
  for (const std::string_view line : files::split_label_text(content)) {
    ++line_number;
    const files::LabelLine parsed = files::parse_label_line(line);
    if (parsed.blank()) continue;
    const QString where = QStringLiteral("%1 line %2").arg(shown).arg(line_number);
    const auto bad = [&](const QString& why) {
      report.lose("unusable label lines", where + ": " + why + ", line skipped");
    };
    if (!parsed.class_id || *parsed.class_id < 0) {
      bad(QStringLiteral("class id '%1' is not a class number")
              .arg(QString::fromUtf8(parsed.class_token.data(),
                                     qsizetype(parsed.class_token.size()))));
      continue;
    }
    if (*parsed.class_id >= classes.size()) {
      bad(QStringLiteral("class id %1 has no name in the class list").arg(*parsed.class_id));
      continue;
    }
    if (!parsed.numbers_ok() || std::any_of(parsed.coords.begin(), parsed.coords.end(),
                                            [](double v) { return !std::isfinite(v); })) {
      bad(QStringLiteral("a coordinate is not a finite number"));
      continue;
    }
    const std::vector<double>& c = parsed.coords;
    Object object;
    object.class_id = int(*parsed.class_id);
    const double w = image.width, h = image.height;
    if (parsed.is_box()) {
      object.box = true;
      object.points = box_corners((c[0] - c[2] / 2) * w, (c[1] - c[3] / 2) * h,
                                  (c[0] + c[2] / 2) * w, (c[1] + c[3] / 2) * h);
    } else if (c.size() >= 6 && c.size() % 2 == 0) {
      for (std::size_t i = 0; i < c.size(); i += 2)
        object.points.emplace_back(c[i] * w, c[i + 1] * h);
    } else {
      bad(QStringLiteral("%1 coordinates are neither a box (4) nor a polygon (6 or more, even)")
              .arg(c.size()));
      continue;
    }
    if (!clip_and_report(object, image, where, report)) continue;
    image.objects.push_back(std::move(object));
  }
}

}  // namespace

ReadResult read_yolo(const QString& source, Report& report) {
  Dataset dataset;
  if (!QFileInfo(source).isDir()) {
    return fail(QStringLiteral("%1 is not a folder").arg(source));
  }
  const Result<QStringList> classes = folder_class_names(source);
  if (!classes) {
    return fail(classes.error());
  }
  dataset.classes = *classes;
  if (dataset.classes.isEmpty()) {
    return fail(
        QStringLiteral("%1 has no classes.txt and no data.yaml with class names").arg(source));
  }
  QStringList suffixes;
  for (const std::string& ext : files::image_extensions())
    suffixes.append(QString::fromStdString(ext));
  std::set<QString> used_labels;
  for (const QString& path : list_files(source, suffixes)) {
    const QString relative = relative_inside(source, path);
    if (relative.isEmpty()) continue;  // reached through a link to outside the folder
    Image image;
    image.relative_path = output_path_of(relative);
    image.source_path = path;
    const QString label = find_label_file(source, relative);
    const bool labelled = QFileInfo::exists(label);
    if (labelled) used_labels.insert(QFileInfo(label).absoluteFilePath());
    const QSize size = image_size(path);
    if (!size.isValid()) {
      report.lose("unreadable images", QStringLiteral("%1: not a readable image, skipped%2")
                                           .arg(relative, labelled ? " with its labels" : ""));
      continue;
    }
    image.width = size.width();
    image.height = size.height();
    image.annotated = labelled;
    if (labelled)
      read_labels(label, QDir(source).relativeFilePath(label), image, dataset.classes, report);
    dataset.images.push_back(std::move(image));
  }
  // Label files whose image is gone: their objects cannot go anywhere.
  for (const QString& label : list_files(source, {".txt"})) {
    const QString relative = QDir(source).relativeFilePath(label);
    if (!relative.split('/').contains(QStringLiteral("labels"))) continue;
    if (used_labels.count(QFileInfo(label).absoluteFilePath())) continue;
    report.lose("missing images",
                QStringLiteral("%1: no image for this label file, skipped").arg(relative));
  }
  return dataset;
}

bool write_yolo(const Dataset& dataset, const QString& staging, Report& report,
                const StepFn& step) {
  const QDir out(staging);
  const int total = int(dataset.images.size());
  const bool complete =
      stage_images(dataset, staging, report, step, {}, [&](const Image& image, int) {
        if (!image.annotated) return;
        std::string text;
        for (const Object& object : image.objects) {
          if (object.box) {
            const cv::Rect2d b = bounds_of(object.points);
            text += files::format_box_line(
                object.class_id, snap_normalized((b.x + b.width / 2) / image.width),
                snap_normalized((b.y + b.height / 2) / image.height),
                snap_normalized(b.width / image.width), snap_normalized(b.height / image.height));
          } else {
            std::vector<double> xy;
            xy.reserve(object.points.size() * 2);
            for (const cv::Point2d& p : object.points) {
              xy.push_back(snap_normalized(p.x / image.width));
              xy.push_back(snap_normalized(p.y / image.height));
            }
            text += files::format_polygon_line(object.class_id, xy);
          }
          text += files::native_line_end();
        }
        write_staged(out.filePath(with_suffix(image.relative_path, ".txt")),
                     QByteArray::fromStdString(text));
      });
  if (!complete) return false;
  write_staged(out.filePath("classes.txt"), classes_text(dataset.classes), true);
  return step(total, total, {});
}

QStringList ordered_classes(const QStringList& listed, const QStringList& used) {
  QStringList classes;
  for (const QString& name : listed)
    if (!classes.contains(name)) classes.append(name);
  QStringList extra;
  for (const QString& name : used)
    if (!classes.contains(name) && !extra.contains(name)) extra.append(name);
  std::sort(extra.begin(), extra.end());  // QString's operator< compares UTF-16 code units
  return classes + extra;
}

QByteArray classes_text(const QStringList& classes) {
  QByteArray text;
  const std::string_view end = files::native_line_end();
  for (const QString& name : classes) {
    text += name.toUtf8();
    text.append(end.data(), qsizetype(end.size()));
  }
  return text;
}

}  // namespace orvane::interchange
