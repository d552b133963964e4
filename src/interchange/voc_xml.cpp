// Pascal VOC XML in and out. Coordinates are read as positions on the continuous pixel plane, as
// CVAT and Label Studio write them: a box over the whole picture is 0 0 width height.

#include <QDir>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <cmath>
#include <optional>

#include "interchange/folder_paths.h"
#include "interchange/formats.h"

namespace orvane::interchange {

namespace {

struct VocObject {
  QString name;
  bool difficult = false;
  std::map<QString, QString> bndbox;
};

struct VocFile {
  QString path;   // the XML file
  QString shown;  // its path relative to the source folder
  QString filename;
  QString width, height;
  std::vector<VocObject> objects;
};

// Parses one file. Returns an empty string or the reason it is not a usable VOC file.
QString parse_voc(const QByteArray& bytes, VocFile& file) {
  QXmlStreamReader xml(bytes);
  QStringList path;
  QString text;
  while (!xml.atEnd()) {
    const QXmlStreamReader::TokenType token = xml.readNext();
    if (token == QXmlStreamReader::StartElement) {
      path.append(xml.name().toString());
      text.clear();
      if (path.size() == 1 && path[0] != QLatin1String("annotation"))
        return QStringLiteral("not a Pascal VOC annotation (its root is <%1>)").arg(path[0]);
      if (path.size() == 2 && path[1] == QLatin1String("object")) file.objects.emplace_back();
    } else if (token == QXmlStreamReader::Characters) {
      text += xml.text();
    } else if (token == QXmlStreamReader::EndElement) {
      const QString value = text.trimmed();
      const QString joined = path.join('/');
      if (joined == QLatin1String("annotation/filename"))
        file.filename = value;
      else if (joined == QLatin1String("annotation/size/width"))
        file.width = value;
      else if (joined == QLatin1String("annotation/size/height"))
        file.height = value;
      else if (joined == QLatin1String("annotation/object/name"))
        file.objects.back().name = value;
      else if (joined == QLatin1String("annotation/object/difficult"))
        file.objects.back().difficult =
            value == QLatin1String("1") || value == QLatin1String("true");
      else if (path.size() == 4 && joined.startsWith(QLatin1String("annotation/object/bndbox/")))
        file.objects.back().bndbox[path[3]] = value;
      path.removeLast();
      text.clear();
    }
  }
  if (xml.hasError())
    return QStringLiteral("malformed XML at line %1: %2")
        .arg(xml.lineNumber())
        .arg(xml.errorString());
  if (path.isEmpty() && file.filename.isEmpty() && file.objects.empty() && file.width.isEmpty())
    return QStringLiteral("not a Pascal VOC annotation");
  return {};
}

bool to_number(const QString& text, double& value) {
  bool ok = false;
  value = text.toDouble(&ok);
  return ok && std::isfinite(value);
}

QString pixel_text(double value) {
  QString text = QString::number(round_pixel(value), 'f', 9);
  while (text.endsWith('0')) text.chop(1);
  if (text.endsWith('.')) text.chop(1);
  return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

// Every XML file below the folder that parses as a VOC annotation; the names its objects use are
// appended to `used`, in file order.
std::vector<VocFile> parse_voc_files(const QString& source, const Limits& limits, QStringList& used,
                                     Report& report) {
  const QDir root(source);
  std::vector<VocFile> parsed;
  for (const QString& path : list_files(source, {".xml"})) {
    VocFile file;
    file.path = path;
    file.shown = root.relativeFilePath(path);
    const Result<QByteArray> bytes = read_bounded(path, limits.max_file_json_bytes);
    if (!bytes) {
      report.lose("unreadable files", bytes.error());
      continue;
    }
    const QString error = parse_voc(*bytes, file);
    if (!error.isEmpty()) {
      report.lose("unusable XML files", file.shown + ": " + error + ", skipped");
      continue;
    }
    for (const VocObject& object : file.objects)
      if (!object.name.isEmpty()) used.append(object.name);
    parsed.push_back(std::move(file));
  }
  return parsed;
}

// The picture a file names, inside the folder: beside the XML, in the matching folder under
// JPEGImages/, or at the top. Empty when none of them holds it.
QString find_voc_image(const VocFile& file, const QString& source, const QString& relative) {
  const QDir root(source);
  const QString xml_dir = QFileInfo(file.path).absolutePath();
  QString sub = root.relativeFilePath(xml_dir);
  if (sub == QLatin1String(".")) sub.clear();
  if (sub == QLatin1String("Annotations"))
    sub.clear();
  else if (sub.startsWith(QLatin1String("Annotations/")))
    sub = sub.mid(12);
  for (const QString& candidate :
       {QDir(xml_dir).filePath(relative),
        root.filePath("JPEGImages/" + (sub.isEmpty() ? "" : sub + "/") + relative),
        root.filePath("JPEGImages/" + relative), root.filePath(relative)}) {
    if (QFileInfo(candidate).isFile() && !relative_inside(source, candidate).isEmpty())
      return candidate;
  }
  return {};
}

// The objects of one file onto its image, each as a box.
void read_voc_objects(const VocFile& file, const QStringList& classes, Image& image,
                      Report& report) {
  int index = 0;
  for (const VocObject& voc : file.objects) {
    const QString where = QStringLiteral("%1: object %2").arg(file.shown).arg(++index);
    double x1, y1, x2, y2;
    const auto& b = voc.bndbox;
    const auto get = [&](const char* key, double& v) {
      const auto it = b.find(QString::fromLatin1(key));
      return it != b.end() && to_number(it->second, v);
    };
    if (voc.name.isEmpty()) {
      report.lose("objects without a name", where + ": no name, skipped");
      continue;
    }
    if (!get("xmin", x1) || !get("ymin", y1) || !get("xmax", x2) || !get("ymax", y2)) {
      report.lose("objects without a box", where + ": no complete numeric bndbox, skipped");
      continue;
    }
    Object object;
    object.class_id = int(classes.indexOf(voc.name));
    object.box = true;
    object.points =
        box_corners(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2));
    if (!clip_and_report(object, image, where, report)) continue;
    if (voc.difficult)
      report.change(
          "difficult flags dropped",
          where +
              QStringLiteral(" (%1): kept as an ordinary box; YOLO labels have no difficult flag")
                  .arg(voc.name));
    image.objects.push_back(std::move(object));
  }
}

// The image one file describes, with its objects; nothing when its file name points outside the
// folder or the picture is missing or unreadable (the loss is reported).
std::optional<Image> read_voc_image(const VocFile& file, const QString& source,
                                    const QStringList& classes, Report& report) {
  const QString relative = safe_relative_name(file.filename);
  if (relative.isEmpty()) {
    report.lose("file names outside the folder",
                QStringLiteral("%1: file name '%2' is empty or points outside the folder, skipped")
                    .arg(file.shown, file.filename));
    return std::nullopt;
  }
  const QString found = find_voc_image(file, source, relative);
  if (found.isEmpty()) {
    report.lose("missing images",
                QStringLiteral("%1: image %2 is missing, skipped with its %3 object(s)")
                    .arg(file.shown, file.filename)
                    .arg(file.objects.size()));
    return std::nullopt;
  }
  Image image;
  image.source_path = found;
  image.relative_path = relative_inside(source, found);
  if (image.relative_path.startsWith(QLatin1String("JPEGImages/")))
    image.relative_path = image.relative_path.mid(11);
  double width = 0, height = 0;
  QSize declared;
  if (to_number(file.width, width) && to_number(file.height, height) && width >= 1 && height >= 1 &&
      width < (1 << 30) && height < (1 << 30))
    declared = QSize(int(width), int(height));
  if (!settle_image_size(image, declared, image_size(found), report, file.shown, file.filename))
    return std::nullopt;
  read_voc_objects(file, classes, image, report);
  return image;
}

}  // namespace

ReadResult read_voc(const QString& source, Report& report, const Limits& limits) {
  if (!QFileInfo(source).isDir()) {
    return fail(QStringLiteral("%1 is not a folder").arg(source));
  }
  QStringList used;
  const std::vector<VocFile> parsed = parse_voc_files(source, limits, used, report);
  if (parsed.empty()) {
    return fail(QStringLiteral("%1 holds no Pascal VOC XML file").arg(source));
  }
  Dataset dataset;
  const Result<QStringList> classes = folder_class_names(source);
  if (!classes) report.lose("unreadable files", classes.error());
  dataset.classes = ordered_classes(classes ? *classes : QStringList(), used);
  for (const VocFile& file : parsed)
    if (std::optional<Image> image = read_voc_image(file, source, dataset.classes, report))
      dataset.images.push_back(std::move(*image));
  return dataset;
}

bool write_voc(const Dataset& dataset, const QString& staging, Report& report, const StepFn& step) {
  const QDir out(staging);
  const int total = int(dataset.images.size());
  const bool complete = stage_images(
      dataset, out.filePath("JPEGImages"), report, step, "objects", [&](const Image& image, int) {
        QByteArray bytes;
        QXmlStreamWriter xml(&bytes);
        xml.setAutoFormatting(true);
        xml.setAutoFormattingIndent(2);
        xml.writeStartDocument();
        xml.writeStartElement("annotation");
        const QFileInfo info(image.relative_path);
        xml.writeTextElement("folder", "JPEGImages");
        xml.writeTextElement("filename", info.fileName());
        xml.writeStartElement("source");
        xml.writeTextElement("database", "Orvane Studio");
        xml.writeEndElement();
        xml.writeStartElement("size");
        xml.writeTextElement("width", QString::number(image.width));
        xml.writeTextElement("height", QString::number(image.height));
        xml.writeTextElement("depth", "3");
        xml.writeEndElement();
        xml.writeTextElement("segmented", "0");
        for (const Object& object : image.objects) {
          if (!object.box)
            report.change(
                "polygons written as boxes",
                QStringLiteral(
                    "%1: a %2 polygon is written as its bounding box; VOC has no polygons")
                    .arg(image.relative_path, dataset.classes.value(object.class_id)));
          const cv::Rect2d b = bounds_of(object.points);
          xml.writeStartElement("object");
          xml.writeTextElement("name", dataset.classes.value(object.class_id));
          xml.writeTextElement("pose", "Unspecified");
          xml.writeTextElement("truncated", "0");
          xml.writeTextElement("difficult", "0");
          xml.writeStartElement("bndbox");
          xml.writeTextElement("xmin", pixel_text(b.x));
          xml.writeTextElement("ymin", pixel_text(b.y));
          xml.writeTextElement("xmax", pixel_text(b.x + b.width));
          xml.writeTextElement("ymax", pixel_text(b.y + b.height));
          xml.writeEndElement();
          xml.writeEndElement();
        }
        xml.writeEndElement();
        xml.writeEndDocument();
        // The image keeps its sub-folder under Annotations/ too, so equal names in two folders
        // never share one XML file.
        write_staged(out.filePath("Annotations/" + with_suffix(image.relative_path, ".xml")),
                     bytes);
      });
  if (!complete) return false;
  write_staged(out.filePath("classes.txt"), classes_text(dataset.classes), true);
  return step(total, total, {});
}

}  // namespace orvane::interchange
