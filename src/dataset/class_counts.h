#pragma once
// Objects per class over an image list, read from the images' label files.

#include <QString>
#include <QStringList>
#include <vector>

namespace orvane::dataset {

struct ClassCount {
  QString name;
  int count = 0;
};

struct ClassCounts {
  std::vector<ClassCount> counts;  // in the order each class was first met
  int skipped_lines = 0;           // lines whose class token is not an integer
  int skipped_files = 0;           // label files that exist but cannot be read
  int total() const;
};

// Reads the label file of every image in `image_paths` that has one. Token 0 of each non-blank
// line is the class id; ids outside `classes` are not counted.
ClassCounts count_classes(const QStringList& image_paths, const QStringList& classes);

// Largest count first; equal counts keep their first-met order.
std::vector<ClassCount> sorted_by_count(std::vector<ClassCount> counts);

// "nut (5)", as a row of the class distribution reads.
QString count_row_text(const ClassCount& count);

// "Skipped 2 lines whose class id is not an integer and 1 unreadable label file."; empty when
// nothing was skipped.
QString skipped_note(const ClassCounts& counts);

}  // namespace orvane::dataset
