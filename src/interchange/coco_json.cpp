// COCO instances JSON in and out.

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cmath>
#include <map>

#include "interchange/folder_paths.h"
#include "interchange/formats.h"

namespace orvane::interchange {

namespace {

bool json_integer(const QJsonValue& value, qint64& out) {
  if (!value.isDouble()) return false;
  const double d = value.toDouble();
  if (!std::isfinite(d) || d != std::floor(d) || std::abs(d) > 9.0e15) return false;
  out = qint64(d);
  return true;
}

bool json_numbers(const QJsonArray& array, std::vector<double>& out) {
  out.clear();
  for (const QJsonValue& v : array) {
    if (!v.isDouble() || !std::isfinite(v.toDouble())) return false;
    out.push_back(v.toDouble());
  }
  return true;
}

// The one COCO file of a folder: at its top, else in annotations/.
Result<QString> find_coco_file(const QString& folder) {
  for (const QString& sub : {QString(), QStringLiteral("annotations")}) {
    const QDir dir(QDir(folder).filePath(sub));
    const QStringList found = dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    if (found.size() == 1) return dir.filePath(found[0]);
    if (found.size() > 1)
      return fail(QStringLiteral("%1 holds several JSON files (%2): name one with its full path")
                      .arg(dir.path(), found.join(", ")));
  }
  return fail(QStringLiteral("%1 holds no COCO JSON file (looked at the top and in annotations/)")
                  .arg(folder));
}

struct Category {
  int class_id = 0;
  QString name;
};

// A COCO file read and checked for the two lists every instances file has.
struct CocoFile {
  QString path;
  QJsonObject root;
};

Result<CocoFile> open_coco(const QString& source, const Limits& limits) {
  QString json_path = source;
  if (QFileInfo(source).isDir()) {
    const Result<QString> found = find_coco_file(source);
    if (!found) return fail(found.error());
    json_path = *found;
  } else if (!QFileInfo(source).isFile()) {
    return fail(QStringLiteral("%1 does not exist").arg(source));
  }
  Result<QByteArray> read = read_bounded(json_path, limits.max_json_bytes);
  if (!read) {
    return fail(read.error());
  }
  QByteArray bytes = std::move(read.value());
  QJsonParseError parse_error;
  const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse_error);
  bytes.clear();
  if (parse_error.error != QJsonParseError::NoError) {
    return fail(QStringLiteral("%1: malformed JSON at byte %2: %3")
                    .arg(json_path)
                    .arg(parse_error.offset)
                    .arg(parse_error.errorString()));
  }
  const QJsonObject root = document.object();
  if (!document.isObject() || !root.value("images").isArray() ||
      !root.value("categories").isArray()) {
    return fail(QStringLiteral("%1: not a COCO instances file (no images and categories lists)")
                    .arg(json_path));
  }
  return CocoFile{json_path, root};
}

// Categories keep their own ids; classes follow them in id order, so gaps close up and the
// order never depends on where a category stands in the file.
std::map<qint64, Category> read_categories(const QJsonArray& list, const QString& shown,
                                           QStringList& classes, Report& report) {
  std::map<qint64, QString> category_names;
  for (const QJsonValue& value : list) {
    const QJsonObject category = value.toObject();
    qint64 id = 0;
    const QString name = category.value("name").toString();
    if (!json_integer(category.value("id"), id) || name.isEmpty()) {
      report.lose(
          "unusable categories",
          QStringLiteral("%1: a category without an integer id and a name, skipped").arg(shown));
      continue;
    }
    if (!category_names.emplace(id, name).second)
      report.lose("duplicate category ids",
                  QStringLiteral("%1: category id %2 is given twice; '%3' skipped")
                      .arg(shown)
                      .arg(id)
                      .arg(name));
  }
  std::map<qint64, Category> categories;
  for (const auto& [id, name] : category_names) {
    qsizetype index = classes.indexOf(name);
    if (index < 0) {
      index = classes.size();
      classes.append(name);
    } else {
      report.change(
          "categories merged by name",
          QStringLiteral("%1: categories share the name '%2'; their objects become one class")
              .arg(shown, name));
    }
    categories[id] = Category{int(index), name};
  }
  return categories;
}

// Images live beside the file, under images/, or above an annotations/ folder.
QStringList image_bases(const QString& json_path) {
  const QString json_dir = QFileInfo(json_path).absolutePath();
  QStringList bases{json_dir, QDir(json_dir).filePath("images")};
  if (QFileInfo(json_dir).fileName() == QLatin1String("annotations")) {
    const QString parent = QFileInfo(json_dir).absolutePath();
    bases << parent << QDir(parent).filePath("images");
  }
  return bases;
}

// Where each COCO image id went: into the data set, or skipped (kept by file name so the
// annotations on it can say which picture they lost).
struct ImageIds {
  std::map<qint64, std::size_t> index;  // COCO image id -> dataset.images index
  std::map<qint64, QString> missing;    // id -> file name, for the annotations' messages
};

// The size the entry declares, when it declares a sane one; a difference from the picture on
// disk is reported.
QSize declared_size(const QJsonObject& entry, const QSize& real, const QString& shown,
                    const QString& file_name, Report& report) {
  qint64 width = 0, height = 0;
  if (!json_integer(entry.value("width"), width) || !json_integer(entry.value("height"), height) ||
      width <= 0 || height <= 0 || width >= (1 << 30) || height >= (1 << 30))
    return {};
  // Coordinates are in the frame the file declares; a picture resized since keeps its labels
  // in place once they are normalised by that frame.
  if (real.isValid() && real != QSize(int(width), int(height)))
    report.change("images whose size differs from the file",
                  QStringLiteral("%1: %2 is %3x%4 but the file says %5x%6; positions kept relative")
                      .arg(shown, file_name)
                      .arg(real.width())
                      .arg(real.height())
                      .arg(width)
                      .arg(height));
  return QSize(int(width), int(height));
}

// One entry of the images list: found on disk and sized, or recorded as missing.
void read_image_entry(const QJsonObject& entry, const QStringList& bases, const QString& shown,
                      Dataset& dataset, ImageIds& ids, Report& report) {
  qint64 id = 0;
  const QString file_name = entry.value("file_name").toString();
  if (!json_integer(entry.value("id"), id) || file_name.isEmpty()) {
    report.lose(
        "unusable images",
        QStringLiteral("%1: an image without an integer id and a file_name, skipped").arg(shown));
    return;
  }
  if (ids.index.count(id) || ids.missing.count(id)) {
    const QString first =
        ids.index.count(id) ? dataset.images[ids.index[id]].relative_path : ids.missing[id];
    report.lose("duplicate image ids",
                QStringLiteral("%1: image id %2 is given twice (%3 and %4); %4 skipped")
                    .arg(shown)
                    .arg(id)
                    .arg(first, file_name));
    return;
  }
  const QString relative = safe_relative_name(file_name);
  if (relative.isEmpty()) {
    report.lose("file names outside the folder",
                QStringLiteral("%1: image id %2: file name '%3' points outside the folder, skipped")
                    .arg(shown)
                    .arg(id)
                    .arg(file_name));
    ids.missing[id] = file_name;
    return;
  }
  QString found;
  for (const QString& base : bases) {
    const QString candidate = QDir(base).filePath(relative);
    if (QFileInfo(candidate).isFile()) {
      found = candidate;
      break;
    }
  }
  if (found.isEmpty()) {
    report.lose(
        "missing images",
        QStringLiteral("%1: image %2 is missing, skipped with its objects").arg(shown, file_name));
    ids.missing[id] = file_name;
    return;
  }
  Image image;
  image.relative_path = relative;
  image.source_path = found;
  const QSize real = image_size(found);
  const QSize declared = declared_size(entry, real, shown, file_name, report);
  if (!settle_image_size(image, declared, real, report, shown, file_name)) {
    ids.missing[id] = file_name;
    return;
  }
  ids.index[id] = dataset.images.size();
  dataset.images.push_back(std::move(image));
}

ImageIds read_images(const QJsonArray& list, const QStringList& bases, const QString& shown,
                     Dataset& dataset, Report& report) {
  ImageIds ids;
  for (const QJsonValue& value : list)
    read_image_entry(value.toObject(), bases, shown, dataset, ids, report);
  return ids;
}

// The polygon parts of a segmentation list; parts of fewer than 3 points are counted in `bad`.
std::vector<std::vector<cv::Point2d>> polygon_parts(const QJsonValue& segmentation, int& bad) {
  std::vector<std::vector<cv::Point2d>> parts;
  bad = 0;
  const QJsonArray segments = segmentation.toArray();
  // Some writers give one polygon as a flat list instead of a list of polygons.
  const bool flat = !segments.isEmpty() && segments.first().isDouble();
  QJsonArray wrapped;
  if (flat) wrapped.append(segments);
  std::vector<double> xy;
  for (const QJsonValue& part : flat ? wrapped : segments) {
    if (!json_numbers(part.toArray(), xy) || xy.size() < 6 || xy.size() % 2 != 0) {
      ++bad;
      continue;
    }
    std::vector<cv::Point2d> polygon;
    for (std::size_t i = 0; i < xy.size(); i += 2) polygon.emplace_back(xy[i], xy[i + 1]);
    parts.push_back(std::move(polygon));
  }
  return parts;
}

// The outline of one annotation: its polygon parts joined, else its bbox. False when it has
// neither (the loss is reported).
bool annotation_shape(const QJsonObject& annotation, const QString& where, const Image& image,
                      Object& object, Report& report) {
  const QJsonValue segmentation = annotation.value("segmentation");
  if (segmentation.isObject()) {
    report.lose("RLE masks", where + QStringLiteral(" on %1: an RLE mask has no YOLO form, skipped")
                                         .arg(image.relative_path));
    return false;
  }
  int bad_parts = 0;
  const std::vector<std::vector<cv::Point2d>> parts = polygon_parts(segmentation, bad_parts);
  if (bad_parts > 0 && parts.empty()) {
    report.lose(
        "unusable polygons",
        where +
            QStringLiteral(" on %1: its segmentation holds no polygon of 3 or more points, skipped")
                .arg(image.relative_path));
    return false;
  }
  if (bad_parts > 0)
    report.lose("unusable polygons",
                where + QStringLiteral(" on %1: %2 polygon part(s) of fewer than 3 points dropped")
                            .arg(image.relative_path)
                            .arg(bad_parts));
  if (!parts.empty()) {
    int holes = 0;
    object.points = parts.size() == 1 ? parts[0] : join_parts(parts, holes);
    if (holes > 0)
      report.lose(
          "polygon holes",
          where + QStringLiteral(" on %1: %2 hole(s) dropped; a YOLO polygon has one outline")
                      .arg(image.relative_path)
                      .arg(holes));
    if (int(parts.size()) - holes > 1)
      report.change("multi-part polygons joined",
                    where + QStringLiteral(" on %1: %2 parts joined into one outline")
                                .arg(image.relative_path)
                                .arg(int(parts.size()) - holes));
    return true;
  }
  std::vector<double> bbox;
  if (!json_numbers(annotation.value("bbox").toArray(), bbox) || bbox.size() != 4 || bbox[2] <= 0 ||
      bbox[3] <= 0) {
    report.lose("annotations without a shape",
                where + QStringLiteral(" on %1: no polygon and no usable bbox, skipped")
                            .arg(image.relative_path));
    return false;
  }
  object.box = true;
  object.points = box_corners(bbox[0], bbox[1], bbox[0] + bbox[2], bbox[1] + bbox[3]);
  return true;
}

// One entry of the annotations list (the number-th, for files whose entries carry no id) onto
// the image it names.
void read_annotation(const QJsonObject& annotation, int number, const QString& shown,
                     const std::map<qint64, Category>& categories, const ImageIds& ids,
                     Dataset& dataset, Report& report) {
  qint64 ann_id = number, image_id = 0, category_id = 0;
  json_integer(annotation.value("id"), ann_id);
  const QString where = QStringLiteral("%1: annotation %2").arg(shown).arg(ann_id);
  if (!json_integer(annotation.value("image_id"), image_id) ||
      (!ids.index.count(image_id) && !ids.missing.count(image_id))) {
    report.lose("annotations of unknown images",
                where + QStringLiteral(": image id %1 is not in the images list, skipped")
                            .arg(annotation.value("image_id").toVariant().toString()));
    return;
  }
  if (ids.missing.count(image_id)) {
    report.lose("objects of missing images",
                where + QStringLiteral(": its image %1 was skipped").arg(ids.missing.at(image_id)));
    return;
  }
  if (!json_integer(annotation.value("category_id"), category_id) ||
      !categories.count(category_id)) {
    report.lose("unknown category ids",
                where + QStringLiteral(": unknown category id %1, skipped")
                            .arg(annotation.value("category_id").toVariant().toString()));
    return;
  }
  Image& image = dataset.images[ids.index.at(image_id)];
  if (annotation.value("iscrowd").toInt() == 1) {
    report.lose(
        "crowd regions",
        where + QStringLiteral(" on %1: a crowd region (iscrowd 1) has no YOLO form, skipped")
                    .arg(image.relative_path));
    return;
  }
  Object object;
  object.class_id = categories.at(category_id).class_id;
  if (!annotation_shape(annotation, where, image, object, report)) return;
  if (!clip_and_report(object, image, where + " on " + image.relative_path, report)) return;
  image.objects.push_back(std::move(object));
}

}  // namespace

ReadResult read_coco(const QString& source, Report& report, const Limits& limits) {
  const Result<CocoFile> file = open_coco(source, limits);
  if (!file) return fail(file.error());
  const QJsonObject& root = file->root;
  const QString shown = QFileInfo(file->path).fileName();

  Dataset dataset;
  const std::map<qint64, Category> categories =
      read_categories(root.value("categories").toArray(), shown, dataset.classes, report);
  const ImageIds ids =
      read_images(root.value("images").toArray(), image_bases(file->path), shown, dataset, report);
  if (!root.value("annotations").isArray() && root.contains("annotations"))
    report.lose("unusable annotations", QStringLiteral("%1: annotations is not a list").arg(shown));
  int number = 0;
  for (const QJsonValue& value : root.value("annotations").toArray())
    read_annotation(value.toObject(), ++number, shown, categories, ids, dataset, report);
  return dataset;
}

bool write_coco(const Dataset& dataset, const QString& staging, Report& report,
                const StepFn& step) {
  const QDir out(staging);
  QJsonArray categories, images, annotations;
  for (qsizetype i = 0; i < dataset.classes.size(); ++i)
    categories.append(
        QJsonObject{{"id", int(i + 1)}, {"name", dataset.classes[i]}, {"supercategory", ""}});
  int annotation_id = 0;
  const int total = int(dataset.images.size());
  const bool complete = stage_images(
      dataset, out.filePath("images"), report, step, "objects", [&](const Image& image, int i) {
        images.append(QJsonObject{{"id", i + 1},
                                  {"file_name", image.relative_path},
                                  {"width", image.width},
                                  {"height", image.height}});
        for (const Object& object : image.objects) {
          const cv::Rect2d b = bounds_of(object.points);
          QJsonArray segmentation;
          double area = b.width * b.height;
          if (!object.box) {
            QJsonArray polygon;
            for (const cv::Point2d& p : object.points) {
              polygon.append(round_pixel(p.x));
              polygon.append(round_pixel(p.y));
            }
            segmentation.append(polygon);
            area = area_of(object.points);
          }
          annotations.append(
              QJsonObject{{"id", ++annotation_id},
                          {"image_id", i + 1},
                          {"category_id", object.class_id + 1},
                          {"bbox", QJsonArray{round_pixel(b.x), round_pixel(b.y),
                                              round_pixel(b.width), round_pixel(b.height)}},
                          {"area", round_pixel(area)},
                          {"segmentation", segmentation},
                          {"iscrowd", 0}});
        }
      });
  if (!complete) return false;
  const QJsonObject root{{"info", QJsonObject{{"description", "written by Orvane Studio"}}},
                         {"licenses", QJsonArray{}},
                         {"images", images},
                         {"annotations", annotations},
                         {"categories", categories}};
  write_staged(out.filePath("annotations.json"), QJsonDocument(root).toJson(QJsonDocument::Compact),
               true);
  return step(total, total, {});
}

}  // namespace orvane::interchange
