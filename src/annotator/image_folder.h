#pragma once
// The annotator's view of an image folder: which images it holds, in which order, and which of them
// already have a label file. One directory listing answers both, so a folder of ten thousand
// images lists without touching any file.

#include <QString>
#include <QStringList>
#include <vector>

namespace orvane {

struct ImageFolderListing {
  QStringList image_paths;     // folder + name, sorted by plain code point ("A.jpg" < "a.jpg")
  std::vector<bool> labelled;  // labelled[i]: the label file of image_paths[i] exists
};

// Files directly inside `folder` whose extension (from the last dot; a leading dot does not start
// one), lower-cased, is a supported image extension. Missing folders list as empty.
ImageFolderListing scan_image_folder(const QString& folder);

// The image list's row text: "[✓] name" when the image has a label file, "[  ] name" otherwise.
QString image_row_text(const QString& image_path, bool labelled);

}  // namespace orvane
