#include "imaging/image_files.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace orvane {

const QStringList& supported_image_extensions() {
  static const QStringList exts{".jpg", ".jpeg", ".png", ".bmp", ".webp"};
  return exts;
}

bool has_image_extension(const QString& path, const QStringList& extensions) {
  const QString lower = path.toLower();
  return std::any_of(extensions.begin(), extensions.end(),
                     [&](const QString& ext) { return lower.endsWith(ext); });
}

QStringList list_images(const QString& folder, ListOrder order, const QStringList& extensions) {
  QStringList paths;
  const QDir dir(folder);
  const auto entries = dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Unsorted);
  for (const QFileInfo& info : entries) {
    if (has_image_extension(info.fileName(), extensions)) paths << dir.filePath(info.fileName());
  }
  if (order == ListOrder::CodePoint) {
    std::sort(paths.begin(), paths.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseSensitive) < 0; });
  }
  return paths;
}

QString label_path_for(const QString& image_path) {
  const QFileInfo info(image_path);
  const QString name = info.fileName();
  const qsizetype dot = name.lastIndexOf('.');
  const QString stem = dot > 0 ? name.left(dot) : name;
  const QString dir = image_path.left(image_path.size() - name.size());
  return dir + stem + ".txt";
}

}  // namespace orvane
