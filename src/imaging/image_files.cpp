#include "imaging/image_files.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <string>
#include <vector>

#include "files/label_format.h"

namespace orvane {

const QStringList& supported_image_extensions() {
  static const QStringList exts = [] {
    QStringList list;
    for (const std::string& ext : files::image_extensions()) list << QString::fromStdString(ext);
    return list;
  }();
  return exts;
}

bool has_image_extension(const QString& path, const QStringList& extensions) {
  // The extension rule (leading dots start none: "..png" is no image) is the label module's.
  const QString ext =
      QString::fromStdString(std::string(files::file_extension(path.toStdString())));
  return !ext.isEmpty() && extensions.contains(ext.toLower());
}

QStringList list_images(const QString& folder, ListOrder order, const QStringList& extensions) {
  QStringList paths;
  const QDir dir(folder);
  const auto entries = dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Unsorted);
  for (const QFileInfo& info : entries) {
    if (has_image_extension(info.fileName(), extensions)) paths << dir.filePath(info.fileName());
  }
  if (order == ListOrder::CodePoint) {
    std::sort(paths.begin(), paths.end(), [](const QString& a, const QString& b) {
      return a.compare(b, Qt::CaseSensitive) < 0;
    });
  }
  return paths;
}

QString label_path_for(const QString& image_path) {
  return QString::fromStdString(files::label_path_for(image_path.toStdString()));
}

}  // namespace orvane
