#include "annotator/image_folder.h"

#include <QDir>
#include <QSet>
#include <algorithm>

#include "imaging/image_files.h"

namespace orvane {

namespace {

bool is_image_name(const QString& name) { return has_image_extension(name); }

}  // namespace

ImageFolderListing scan_image_folder(const QString& folder) {
  ImageFolderListing listing;
  const QDir dir(folder);
  const QDir::Filters any = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
  // All names, for the label check (a label "exists" whatever its entry type), and the files among
  // them, for the images.
  const QStringList all_names = dir.entryList(any, QDir::Unsorted);
  const QSet<QString> names(all_names.begin(), all_names.end());
  const QStringList files =
      dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
  for (const QString& name : files) {
    if (is_image_name(name)) listing.image_paths.append(dir.filePath(name));
  }
  std::sort(listing.image_paths.begin(), listing.image_paths.end(),
            [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseSensitive) < 0; });
  listing.labelled.reserve(listing.image_paths.size());
  for (const QString& path : listing.image_paths) {
    const QString label = label_path_for(path);
    listing.labelled.push_back(names.contains(label.sliced(label.lastIndexOf('/') + 1)));
  }
  return listing;
}

QString image_row_text(const QString& image_path, bool labelled) {
  const QString name = image_path.sliced(image_path.lastIndexOf('/') + 1);
  return (labelled ? QStringLiteral("[✓] ") : QStringLiteral("[  ] ")) + name;
}

}  // namespace orvane
