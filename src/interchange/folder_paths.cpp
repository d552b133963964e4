#include "interchange/folder_paths.h"

#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <algorithm>
#include <cmath>
#include <map>

#include "files/atomic_file.h"
#include "files/label_format.h"
#include "interchange/formats.h"

namespace orvane::interchange {

QString safe_relative_name(QString name) {
  name.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || QDir::isAbsolutePath(name) ||
      (name.size() > 1 && name[1] == QLatin1Char(':')))
    return {};
  const QString clean = QDir::cleanPath(name);
  if (clean == QLatin1String(".") || clean == QLatin1String("..") ||
      clean.startsWith(QLatin1String("../")))
    return {};
  return clean;
}

QString relative_inside(const QString& root, const QString& path) {
  const QString relative = QDir(root).relativeFilePath(QFileInfo(path).absoluteFilePath());
  return safe_relative_name(relative);
}

QStringList list_files(const QString& root, const QStringList& suffixes) {
  std::map<QString, QString> by_relative;  // sorted by the relative path
  QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  const QDir base(root);
  while (it.hasNext()) {
    const QString path = it.next();
    const QString relative = base.relativeFilePath(path);
    // Hidden folders hold other tools' state (and a conversion's own staging folder).
    if (relative.startsWith(QLatin1Char('.')) || relative.contains(QLatin1String("/."))) continue;
    const QString lower = it.fileName().toLower();
    if (std::any_of(suffixes.begin(), suffixes.end(),
                    [&](const QString& s) { return lower.endsWith(s) && lower.size() > s.size(); }))
      by_relative.emplace(relative, path);
  }
  QStringList paths;
  for (const auto& [relative, path] : by_relative) paths.append(path);
  return paths;
}

QSize image_size(const QString& path) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  QSize size = reader.size();
  if (!size.isValid()) return {};
  if (reader.transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
  return size;
}

Result<QByteArray> read_bounded(const QString& path, qint64 max_bytes) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
  if (file.size() > max_bytes) {
    return fail(QStringLiteral("%1 is %2 MB, over the %3 MB limit for one file")
                    .arg(path)
                    .arg(file.size() >> 20)
                    .arg(max_bytes >> 20));
  }
  QByteArray data = file.readAll();
  if (file.error() != QFileDevice::NoError)
    return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
  return data;
}

namespace {

void make_parent(const QString& path) {
  const QString parent = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(parent))
    throw WriteError(QStringLiteral("Could not create %1").arg(parent).toStdString());
}

}  // namespace

void write_staged(const QString& path, const QByteArray& data, bool last) {
  make_parent(path);
  files::write_atomically(std::filesystem::path(QFile::encodeName(path).toStdString()),
                          std::string_view(data.constData(), std::size_t(data.size())),
                          last ? files::Durability::kSynced : files::Durability::kRenameOnly);
}

void copy_staged(const QString& from, const QString& to) {
  make_parent(to);
  QFile source(from);
  if (!source.copy(to))
    throw WriteError(QStringLiteral("Could not copy %1 to %2: %3")
                         .arg(from, to, source.errorString())
                         .toStdString());
}

bool stage_images(const Dataset& dataset, const QString& images_folder, Report& report,
                  const StepFn& step, const QString& unlabelled_note,
                  const std::function<void(const Image& image, int index)>& write) {
  const QDir out(images_folder);
  const int total = int(dataset.images.size());
  for (int i = 0; i < total; ++i) {
    const Image& image = dataset.images[i];
    if (!step(i, total, image.relative_path)) return false;
    copy_staged(image.source_path, out.filePath(image.relative_path));
    if (!image.annotated && !unlabelled_note.isEmpty())
      report.change("images without a label file",
                    QStringLiteral("%1: no label file; written as an image with no %2")
                        .arg(image.relative_path, unlabelled_note));
    write(image, i);
  }
  return true;
}

bool settle_image_size(Image& image, QSize declared, QSize real, Report& report,
                       const QString& shown, const QString& file_name) {
  const QSize size = declared.isValid() && !declared.isEmpty() ? declared : real;
  if (!size.isValid() || size.isEmpty()) {
    report.lose("unreadable images",
                QStringLiteral("%1: %2 has no size and is not a readable image, skipped")
                    .arg(shown, file_name));
    return false;
  }
  image.width = size.width();
  image.height = size.height();
  return true;
}

QString with_suffix(const QString& relative_path, const QString& suffix) {
  const QString label = QString::fromStdString(
      files::label_path_for(relative_path.toStdString()));  // ".txt" in place of the extension
  return label.left(label.size() - 4) + suffix;
}

double round_pixel(double value) {
  const double rounded = std::round(value * 1e9) / 1e9;
  return rounded == 0 ? 0.0 : rounded;  // never -0
}

double snap_normalized(double value) {
  // Integer over a power of ten, both exact: the division gives the double nearest to the decimal.
  const double snapped = std::round(value * 1e9) / 1e9;
  return snapped == 0 ? 0.0 : snapped;
}

namespace {

QStringList yaml_names(const QString& path, QString& error) {
  try {
    const YAML::Node root = YAML::LoadFile(QFile::encodeName(path).toStdString());
    const YAML::Node names = root["names"];
    QStringList classes;
    if (names.IsSequence()) {
      for (const auto& name : names) classes.append(QString::fromStdString(name.as<std::string>()));
    } else if (names.IsMap()) {
      std::map<long long, QString> by_id;
      for (const auto& entry : names)
        by_id[entry.first.as<long long>()] = QString::fromStdString(entry.second.as<std::string>());
      long long expected = 0;
      for (const auto& [id, name] : by_id) {
        if (id != expected++) {
          error =
              QStringLiteral("%1: class ids in names must run 0, 1, 2 ... without gaps").arg(path);
          return {};
        }
        classes.append(name);
      }
    }
    return classes;
  } catch (const YAML::Exception& e) {
    error = QStringLiteral("%1: %2").arg(path, QString::fromStdString(e.what()));
    return {};
  }
}

}  // namespace

Result<QStringList> folder_class_names(const QString& root) {
  const QDir dir(root);
  const QString classes_txt = dir.filePath(QStringLiteral("classes.txt"));
  if (QFileInfo::exists(classes_txt)) {
    const Result<QByteArray> text = read_bounded(classes_txt, qint64(64) << 20);
    if (!text) return fail(text.error());
    QStringList classes;
    for (const std::string& name : files::parse_class_names(text->toStdString()))
      classes.append(QString::fromStdString(name));
    return classes;
  }
  QStringList yamls =
      dir.entryList({QStringLiteral("*.yaml"), QStringLiteral("*.yml")}, QDir::Files, QDir::Name);
  yamls.removeOne(QStringLiteral("data.yaml"));
  if (QFileInfo::exists(dir.filePath(QStringLiteral("data.yaml"))))
    yamls.prepend(QStringLiteral("data.yaml"));
  for (const QString& name : yamls) {
    QString error;
    const QStringList classes = yaml_names(dir.filePath(name), error);
    if (!error.isEmpty()) return fail(error);
    if (!classes.isEmpty()) return classes;
  }
  return QStringList();
}

}  // namespace orvane::interchange
