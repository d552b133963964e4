#pragma once
// A split dataset as its data.yaml describes it, read for the dataset tools (class operations,
// duplicates, statistics): the class names and the images of each split, with their label files.
// Same forms as the engine reads: `path` (root, relative to the yaml's folder), `train`/`val`/
// `test` each a folder (listed with its sub-folders), a .txt list of images, or a list of those;
// `names` a list or an id -> name mapping.

#include <QString>
#include <QStringList>
#include <vector>

#include "files/result.h"

namespace orvane::dataset {

struct SplitSource {
  QString split;  // "train", "val" or "test"
  QString path;   // absolute: a folder, or a list file
  bool is_folder = true;
};

struct YamlDataset {
  QString yaml_path;  // absolute
  QStringList names;
  std::vector<SplitSource> sources;
};

// Fails naming the file for a missing or malformed data.yaml, names that are absent, or ids that
// do not run 0, 1, 2 ...; a split source that does not exist is skipped (test is often empty).
Result<YamlDataset> load_yaml_dataset(const QString& yaml_path);

// The images of one source, sorted by path within a folder, in file order for a list file.
QStringList split_images(const SplitSource& source);

// The label file of an image in a split: the last "images" folder of its path becomes "labels"
// and the extension ".txt" ("d/train/images/a.jpg" -> "d/train/labels/a.txt"); without an
// "images" folder, beside the image.
QString split_label_path(const QString& image_path);

// `yaml_text` with its top-level `names` (and `nc`, when present) replaced by `names`, every other
// line as it was (comments included). Falls back to a re-emitted document when the names block
// cannot be found by its lines. Fails when the text is not valid YAML.
Result<QByteArray> with_class_names(const QByteArray& yaml_text, const QStringList& names);

}  // namespace orvane::dataset
