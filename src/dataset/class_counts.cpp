#include "dataset/class_counts.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "dataset/dataset_files.h"
#include "files/label_format.h"
#include "imaging/image_files.h"

namespace orvane::dataset {

int ClassCounts::total() const {
  int sum = 0;
  for (const ClassCount& c : counts) sum += c.count;
  return sum;
}

ClassCounts count_classes(const QStringList& image_paths, const QStringList& classes) {
  ClassCounts result;
  for (const QString& image : image_paths) {
    const QString label = label_path_for(image);
    if (!QFileInfo::exists(label)) continue;
    const Result<QStringList> lines = read_text_lines(label);
    if (!lines) {
      ++result.skipped_files;
      continue;
    }
    // The count's policy: a line whose class is not an integer is counted as skipped; an id
    // outside the list (or too long to be one) is simply not a listed class.
    for (const QString& line : *lines) {
      const files::LabelLine parsed = files::parse_label_line(line.toStdString());
      if (parsed.blank()) continue;
      if (!parsed.class_id && !parsed.class_overflow) {
        ++result.skipped_lines;
        continue;
      }
      if (!parsed.class_id) continue;
      const long long id = *parsed.class_id;
      if (id < 0 || id >= classes.size()) continue;
      const QString& name = classes[id];
      auto it = std::find_if(result.counts.begin(), result.counts.end(),
                             [&](const ClassCount& c) { return c.name == name; });
      if (it == result.counts.end())
        result.counts.push_back({name, 1});
      else
        ++it->count;
    }
  }
  return result;
}

std::vector<ClassCount> sorted_by_count(std::vector<ClassCount> counts) {
  std::stable_sort(counts.begin(), counts.end(),
                   [](const ClassCount& a, const ClassCount& b) { return a.count > b.count; });
  return counts;
}

QString count_row_text(const ClassCount& count) {
  return count.name + QStringLiteral(" (") + QString::number(count.count) + QLatin1Char(')');
}

QString skipped_note(const ClassCounts& counts) {
  QStringList parts;
  if (counts.skipped_lines > 0)
    parts << (counts.skipped_lines == 1
                  ? QStringLiteral("1 line whose class id is not an integer")
                  : QStringLiteral("%1 lines whose class id is not an integer")
                        .arg(counts.skipped_lines));
  if (counts.skipped_files > 0)
    parts << (counts.skipped_files == 1
                  ? QStringLiteral("1 unreadable label file")
                  : QStringLiteral("%1 unreadable label files").arg(counts.skipped_files));
  if (parts.isEmpty()) return {};
  return QStringLiteral("Skipped %1.").arg(parts.join(QStringLiteral(" and ")));
}

}  // namespace orvane::dataset
