#pragma once
// The dataset health check: images without a label file, label files without an image, likely
// duplicate objects (boxes overlapping by more than 90 % IoU) inside one label file, and label
// files whose class ids lie beyond classes.txt (training leaves their images out).

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "files/result.h"

namespace orvane::dataset {

// An object's bounding box in normalised coordinates.
struct Box {
  double x_min = 0, y_min = 0, x_max = 0, y_max = 0;
};

// Intersection over union of two boxes; 0 when they do not meet (touching edges meet with an
// empty intersection) and std::nullopt when both are degenerate and their union has no area.
std::optional<double> box_iou(const Box& a, const Box& b);

// The boxes of a label file's lines, in line order. Only lines with more than four tokens count
// (class id, then x y pairs); x values are tokens 1, 3, 5 ..., y values 2, 4, 6 .... std::nullopt
// when a coordinate is not a number.
std::optional<std::vector<Box>> label_boxes(const QStringList& lines);

// How many object pairs of one file overlap by IoU > 0.9. Pairs whose union has no area cannot be
// measured and are passed over.
int count_overlapping_pairs(const std::vector<Box>& boxes);

struct HealthReport {
  QStringList unannotated;  // image names without "stem.txt"
  QStringList orphaned;     // label names whose stem starts no image name
  QStringList overlaps;     // "name.txt (IoU > 90%)", one per overlapping pair
  // "name.txt (class 3)" or "name.txt (classes 3, 7)", one per label file with a class id that
  // is negative or not below the number of names in classes.txt; empty without classes.txt.
  QStringList unknown_classes;
  int class_count = -1;  // names in classes.txt; -1 when the folder has none (no class check)
  int labels_total = 0;    // label files to examine
  int labels_checked = 0;  // of those, the ones examined (all unless cancelled)
  bool cancelled = false;  // the stop flag ended the check early: the report is partial
};

// The class ids of `lines` (token 0 of each line, when it is a whole number) outside
// 0..class_count-1, each once, in ascending order.
std::vector<long long> class_ids_beyond(const QStringList& lines, int class_count);

// The report, or why the folder could not be listed.
using HealthResult = Result<HealthReport>;

// Examines the files directly inside `folder`, by name, in directory listing order. Label files
// that cannot be read or hold a non-numeric coordinate contribute no overlaps. Reads only.
// `progress(done, total)` follows the label files; when `stop` becomes true the check ends after
// the file in hand.
HealthResult check_dataset_health(const QString& folder,
                                  const std::function<void(int, int)>& progress = {},
                                  const std::atomic_bool* stop = nullptr);

// The report text shown to the operator ("🩺 Dataset QA Health Report: ..."). Label files with
// class ids beyond classes.txt add a count line and a sample only when there are any.
QString format_health_report(const HealthReport& report);

// "['a.png', 'b.png']": each item in single quotes (double quotes for an item holding a single
// quote and no double quote), separated by ", ".
QString format_name_list(const QStringList& names);

}  // namespace orvane::dataset
