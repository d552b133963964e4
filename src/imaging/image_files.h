#pragma once
// Which files are images, how folders are listed, and where an image's label file lives.

#include <QString>
#include <QStringList>

namespace orvane {

// ".jpg", ".jpeg", ".png", ".bmp", ".webp" (compared in lower case).
const QStringList& supported_image_extensions();

// True when the file's extension (from the last dot of its name; leading dots start none, so
// "..png" has no extension), lower-cased, is one of `extensions`.
bool has_image_extension(const QString& path,
                         const QStringList& extensions = supported_image_extensions());

enum class ListOrder { Directory, CodePoint };

// Image files directly inside `folder` (no sub-folders) as full paths. `Directory` keeps the
// order the file system lists them in; `CodePoint` sorts the full paths by plain code point.
QStringList list_images(const QString& folder, ListOrder order,
                        const QStringList& extensions = supported_image_extensions());

// "dir/car.left.JPG" -> "dir/car.left.txt": the extension replaced by ".txt" ("dir/.png" ->
// "dir/.png.txt"); see files/label_format.h.
QString label_path_for(const QString& image_path);

}  // namespace orvane
