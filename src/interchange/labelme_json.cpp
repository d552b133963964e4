// labelme JSON in and out: one file per image, with its shapes in image pixels.

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <numbers>
#include <optional>

#include "interchange/folder_paths.h"
#include "interchange/formats.h"

namespace orvane::interchange {

namespace {

// The annotator draws circles with this many sides, so an imported circle looks like a drawn one.
constexpr int kCircleSides = 32;

bool read_points(const QJsonValue& value, std::vector<cv::Point2d>& points) {
  points.clear();
  for (const QJsonValue& entry : value.toArray()) {
    const QJsonArray pair = entry.toArray();
    if (pair.size() != 2 || !pair[0].isDouble() || !pair[1].isDouble()) return false;
    const double x = pair[0].toDouble(), y = pair[1].toDouble();
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    points.emplace_back(x, y);
  }
  return true;
}

struct LabelmeFile {
  QString path, shown;
  QJsonObject root;
};

// Every labelme file below the folder that parses and has shapes and an imagePath; the labels
// their shapes use are appended to `used`, in file order.
std::vector<LabelmeFile> parse_labelme_files(const QString& source, const Limits& limits,
                                             QStringList& used, Report& report) {
  const QDir root(source);
  std::vector<LabelmeFile> parsed;
  for (const QString& path : list_files(source, {".json"})) {
    LabelmeFile file{path, root.relativeFilePath(path), {}};
    const Result<QByteArray> bytes = read_bounded(path, limits.max_file_json_bytes);
    if (!bytes) {
      report.lose("unreadable files", bytes.error());
      continue;
    }
    QJsonParseError parse_error;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parse_error);
    if (parse_error.error != QJsonParseError::NoError) {
      report.lose("unusable JSON files",
                  QStringLiteral("%1: malformed JSON at byte %2: %3, skipped")
                      .arg(file.shown)
                      .arg(parse_error.offset)
                      .arg(parse_error.errorString()));
      continue;
    }
    file.root = document.object();
    if (!file.root.value("shapes").isArray() || !file.root.value("imagePath").isString()) {
      report.lose("unusable JSON files",
                  file.shown + ": not a labelme file (no shapes and imagePath), skipped");
      continue;
    }
    for (const QJsonValue& shape : file.root.value("shapes").toArray())
      if (const QString label = shape.toObject().value("label").toString(); !label.isEmpty())
        used.append(label);
    parsed.push_back(std::move(file));
  }
  return parsed;
}

// The outline of one shape by its shape_type. False when the type has no YOLO form or too few
// points (the loss is reported).
bool shape_outline(const QString& type, std::vector<cv::Point2d> points, const QString& where,
                   Object& object, Report& report) {
  if (type == QLatin1String("polygon") && points.size() >= 3) {
    object.points = std::move(points);
  } else if (type == QLatin1String("rectangle") && points.size() >= 2) {
    const cv::Rect2d b = bounds_of(points);
    object.box = true;
    object.points = box_corners(b.x, b.y, b.x + b.width, b.y + b.height);
  } else if (type == QLatin1String("circle") && points.size() == 2) {
    const cv::Point2d centre = points[0], d = points[1] - points[0];
    const double radius = std::sqrt(d.dot(d));
    for (int k = 0; k < kCircleSides; ++k) {
      const double angle = 2 * std::numbers::pi * k / kCircleSides;
      object.points.emplace_back(centre.x + radius * std::cos(angle),
                                 centre.y + radius * std::sin(angle));
    }
    report.change(
        "circles as polygons",
        where + QStringLiteral(": a circle becomes a %1-sided polygon").arg(kCircleSides));
  } else if (type == QLatin1String("polygon") || type == QLatin1String("rectangle") ||
             type == QLatin1String("circle")) {
    report.lose("unusable shapes", where + QStringLiteral(": a %1 with %2 point(s) is not a "
                                                          "shape, skipped")
                                               .arg(type)
                                               .arg(points.size()));
    return false;
  } else {
    report.lose(type + " shapes",
                where + QStringLiteral(": a %1 shape has no YOLO form, skipped").arg(type));
    return false;
  }
  return true;
}

// The shapes list of one file onto its image.
void read_shapes(const QJsonArray& shapes, const QString& shown, const QStringList& classes,
                 Image& image, Report& report) {
  int index = 0;
  for (const QJsonValue& value : shapes) {
    const QJsonObject shape = value.toObject();
    const QString label = shape.value("label").toString();
    const QString where = QStringLiteral("%1: shape %2 (%3)").arg(shown).arg(++index).arg(label);
    const QString type = shape.value("shape_type").isString() ? shape.value("shape_type").toString()
                                                              : QStringLiteral("polygon");
    std::vector<cv::Point2d> points;
    if (label.isEmpty()) {
      report.lose("shapes without a label", where + ": no label, skipped");
      continue;
    }
    if (!read_points(shape.value("points"), points)) {
      report.lose("unusable shapes", where + ": points are not [x, y] pairs, skipped");
      continue;
    }
    Object object;
    object.class_id = int(classes.indexOf(label));
    if (!shape_outline(type, std::move(points), where, object, report)) continue;
    if (!clip_and_report(object, image, where, report)) continue;
    if (!shape.value("group_id").isNull() && !shape.value("group_id").isUndefined())
      report.change("group ids dropped",
                    where + ": its group id is not kept; YOLO labels have none");
    image.objects.push_back(std::move(object));
  }
}

// The image one file describes, with its objects; nothing when the picture is outside the
// folder, missing or unreadable (the loss is reported).
std::optional<Image> read_labelme_image(const LabelmeFile& file, const QString& source,
                                        const QStringList& classes, Report& report) {
  const QString image_path = file.root.value("imagePath").toString();
  // imagePath is relative to the JSON file; it may climb out of the JSON's folder but never
  // out of the folder being converted.
  const QString normalised = QString(image_path).replace('\\', '/');
  const QString resolved = QDir::cleanPath(QFileInfo(file.path).absolutePath() + '/' + normalised);
  const QString relative = relative_inside(source, resolved);
  if (QDir::isAbsolutePath(normalised) || relative.isEmpty()) {
    report.lose("file names outside the folder",
                QStringLiteral("%1: imagePath '%2' points outside the folder, skipped")
                    .arg(file.shown, image_path));
    return std::nullopt;
  }
  const QJsonArray shapes = file.root.value("shapes").toArray();
  if (!QFileInfo(resolved).isFile()) {
    report.lose("missing images", QStringLiteral("%1: image %2 is missing, skipped with its %3 "
                                                 "shape(s)")
                                      .arg(file.shown, image_path)
                                      .arg(shapes.size()));
    return std::nullopt;
  }
  Image image;
  image.source_path = resolved;
  image.relative_path = relative;
  const QSize declared(file.root.value("imageWidth").toInt(),
                       file.root.value("imageHeight").toInt());
  if (!settle_image_size(image, declared, image_size(resolved), report, file.shown, image_path))
    return std::nullopt;
  read_shapes(shapes, file.shown, classes, image, report);
  return image;
}

}  // namespace

ReadResult read_labelme(const QString& source, Report& report, const Limits& limits) {
  if (!QFileInfo(source).isDir()) {
    return fail(QStringLiteral("%1 is not a folder").arg(source));
  }
  QStringList used;
  const std::vector<LabelmeFile> parsed = parse_labelme_files(source, limits, used, report);
  if (parsed.empty()) {
    return fail(QStringLiteral("%1 holds no labelme JSON file").arg(source));
  }
  Dataset dataset;
  const Result<QStringList> classes = folder_class_names(source);
  if (!classes) report.lose("unreadable files", classes.error());
  dataset.classes = ordered_classes(classes ? *classes : QStringList(), used);
  for (const LabelmeFile& file : parsed)
    if (std::optional<Image> image = read_labelme_image(file, source, dataset.classes, report))
      dataset.images.push_back(std::move(*image));
  return dataset;
}

bool write_labelme(const Dataset& dataset, const QString& staging, Report& report,
                   const StepFn& step) {
  const QDir out(staging);
  const int total = int(dataset.images.size());
  const bool complete =
      stage_images(dataset, staging, report, step, "shapes", [&](const Image& image, int) {
        QJsonArray shapes;
        for (const Object& object : image.objects) {
          QJsonArray points;
          if (object.box) {
            // labelme's rectangle: two opposite corners.
            const cv::Rect2d b = bounds_of(object.points);
            points.append(QJsonArray{round_pixel(b.x), round_pixel(b.y)});
            points.append(QJsonArray{round_pixel(b.x + b.width), round_pixel(b.y + b.height)});
          } else {
            for (const cv::Point2d& p : object.points)
              points.append(QJsonArray{round_pixel(p.x), round_pixel(p.y)});
          }
          shapes.append(QJsonObject{{"label", dataset.classes.value(object.class_id)},
                                    {"points", points},
                                    {"group_id", QJsonValue::Null},
                                    {"shape_type", object.box ? "rectangle" : "polygon"},
                                    {"flags", QJsonObject{}}});
        }
        const QJsonObject root{{"version", "5.1.1"},
                               {"flags", QJsonObject{}},
                               {"shapes", shapes},
                               {"imagePath", QFileInfo(image.relative_path).fileName()},
                               {"imageData", QJsonValue::Null},
                               {"imageHeight", image.height},
                               {"imageWidth", image.width}};
        write_staged(out.filePath(with_suffix(image.relative_path, ".json")),
                     QJsonDocument(root).toJson(QJsonDocument::Indented));
      });
  if (!complete) return false;
  write_staged(out.filePath("classes.txt"), classes_text(dataset.classes), true);
  return step(total, total, {});
}

}  // namespace orvane::interchange
